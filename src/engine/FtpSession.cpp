#include "engine/FtpSession.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "engine/FtpDirectoryCommands.h"
#include "engine/FtpLogin.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpTransfers.h"
#include "engine/WinsockErrorName.h"
#include "platform/SocketError.h"

namespace {

constexpr int kReplyCode421 = FtpProtocol::kLostConnection;
// Fewer waiting bytes than this cannot be a reply ("nnn" CR LF); they are left for the next read.
constexpr int kExtraneousThreshold = 5;
// How long the reads of an aborted request may go on when the control connection has no time-out.
constexpr int kAbortGraceWithoutTimeoutMs = 60000;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ABOR as RFC 959 asks: Telnet IP as normal data, Telnet DM as urgent data, then the command. Inside TLS
// there is no urgent data (and Telnet bytes would only confuse a TLS server's command reader), so ABOR
// goes in-band alone; a server reads it between the blocks it sends.
std::vector<std::pair<std::string, bool>> AborPieces(bool tls) {
    if (tls) {
        return {{std::string("ABOR\r\n"), false}};
    }
    return {
        {std::string("\xff\xf4"), false}, {std::string("\xff\xf2"), true}, {std::string("ABOR\r\n"), false}};
}

// The reply code's value; 0 when it does not start with a digit.
int LeadingNumber(std::string_view code) {
    return static_cast<int>(FtpProtocol::LeadingNumber(code, 999).value_or(0));
}

// The traffic copy of a command: a password is shown as one '*' per character.
std::string TrafficCopy(std::string_view command) {
    std::string logged = "<";
    if (command.find("PASS ") != std::string_view::npos) {
        logged.append(command.substr(0, 5));
        logged.append(command.size() - 5, '*');
    } else {
        logged.append(command);
    }
    return logged;
}

}  // namespace

FtpSession::FtpSession(FtpUrl url, SessionViews views, FtpSessionOptions options)
    : url_(std::move(url)),
      passive_(options.passive),
      views_(views),
      options_(options),
      stopSignal_(std::make_shared<SocketInterrupt>()),
      abortSignal_(std::make_shared<SocketInterrupt>()) {
    // The free list holds the records in array order with its head on top of the stack, so the first
    // record is used first and a record given back is the next one taken.
    for (auto record = records_.rbegin(); record != records_.rend(); ++record) {
        freeRecords_[static_cast<std::size_t>(freeCount_++)] = &*record;
    }
    control_.SetTimeout(options_.controlTimeoutMs);
    // The control connection ends only with Stop; Abort must not break the reply that follows an ABOR.
    control_.SetInterrupts(stopSignal_);
    handle_ = std::shared_ptr<FtpSessionHandle>(new FtpSessionHandle(stopSignal_));
    handle_->session_ = this;
}

FtpSession::~FtpSession() {
    // A session made without a worker can be freed while its handle lives on.
    handle_->Detach();
}

std::shared_ptr<FtpSessionHandle> FtpSession::Start(std::string_view urlText, SessionViews views,
                                                    FtpSessionOptions options) {
    FtpUrl url;
    ParseUrl(url, urlText);  // the Host page accepted the text before
    return Start(std::move(url), views, options);
}

std::shared_ptr<FtpSessionHandle> FtpSession::Start(FtpUrl url, SessionViews views,
                                                    FtpSessionOptions options) {
    std::unique_ptr<FtpSession> session(new FtpSession(std::move(url), views, options));
    auto handle = session->handle_;
    std::lock_guard lock(handle->mutex_);
    handle->worker_ = std::thread(&FtpSession::Run, std::move(session));
    return handle;
}

std::unique_ptr<FtpSession> FtpSession::CreateWithoutWorker(FtpUrl url, SessionViews views,
                                                            FtpSessionOptions options) {
    return std::unique_ptr<FtpSession>(new FtpSession(std::move(url), views, options));
}

void FtpSession::Run(std::unique_ptr<FtpSession> session) {
    const auto handle = session->handle_;
    const SessionViews views = session->views_;
    session->SessionMain();
    if (!session->endReason_.empty()) {
        views.host.ShowFailure(SessionFailure::Lost, session->endReason_);
        views.remote.ShowFailure(session->endReason_);
    }
    // The pages drop their pointers while the session still exists; only then is it freed.
    views.host.ResetAfterSession();
    views.remote.ResetAfterSession();
    session.reset();
    handle->MarkEnded();
}

void FtpSession::SessionMain() {
    std::string connectionText;
    if (!stopRequested_ && FtpLogin::ConnectAndLogin(context_, connectionText)) {
        views_.host.ShowConnected(connectionText);
        views_.remote.ResetForSession(handle_);
        // The session opens in the URL's directory, or in its parent when that cannot be entered.
        Enqueue(FtpRequestKind::ChangeDir, url_.path, 1);
        ServeRequests();
    }
    {
        std::lock_guard lock(sendLock_);  // Abort may be writing an ABOR
        control_.Close();
    }
    DiscardPending();
    handle_->Detach();
}

void FtpSession::ServeRequests() {
    bool running = true;
    for (;;) {
        queued_.acquire();
        if (stopRequested_) {
            return;
        }
        abortRequested_ = false;
        abortAtMs_ = 0;
        // An ABOR that raced the end of the previous request must not make the check below skip the
        // answer it left behind and wait for one more reply.
        aborSent_ = false;
        abortSignal_->Reset();
        if (!DiscardExtraneousReplies()) {
            endReason_ = "Connection lost: " + context_.LastReplyInWords();
            return;
        }
        (void)context_.TakeFailure();  // a failure noted while idle belongs to no request
        FtpRequest* record = TakePending();
        if (record == nullptr) {
            continue;  // Abort flushed it after this count was taken
        }
        const int result = Dispatch(*record);
        if (record->kind == FtpRequestKind::Logoff) {
            running = false;
        }
        ReturnRecord(record);
        SettleOwedAbor();
        abortRequested_ = false;
        abortAtMs_ = 0;
        aborSent_ = false;
        abortSignal_->Reset();
        if (!running) {
            SendCommand("QUIT");  // its reply is not awaited
            return;
        }
        if (stopRequested_) {
            return;
        }
        if (result == kReplyCode421) {
            endReason_ = "Connection lost: " + context_.LastReplyInWords();
            return;
        }
    }
}

bool FtpSession::DiscardExtraneousReplies() {
    for (;;) {
        const auto waiting = control_.BytesAvailable();
        if (!waiting) {
            lastReadError_ = LastSocketError();
            views_.log.LogMessage("... CTL socket failure, WinSock err = " + WinsockErrorName());
            return false;
        }
        // Replies already taken into the connection's buffer wait there unseen by the system's count.
        if (*waiting + control_.Buffered() < kExtraneousThreshold) {
            return true;
        }
        views_.log.LogMessage("... (discarding extraneous response)");
        bool failed = false;
        ReadReplyNoting(nullptr, failed);
        if (failed) {
            // What follows cannot be told from what came before: the connection is done.
            return false;
        }
    }
}

FtpRequest* FtpSession::TakePending() {
    std::lock_guard lock(queueLock_);
    return pendingCount_ == 0 ? nullptr : PopPendingLocked();
}

FtpRequest* FtpSession::PopPendingLocked() {
    FtpRequest* record = pending_[static_cast<std::size_t>(pendingHead_)];
    pendingHead_ = (pendingHead_ + 1) % kPoolSize;
    --pendingCount_;
    return record;
}

int FtpSession::FlushPendingLocked() {
    int flushed = 0;
    while (pendingCount_ > 0) {
        FtpRequest* record = PopPendingLocked();
        record->text.clear();
        record->object.reset();
        freeRecords_[static_cast<std::size_t>(freeCount_++)] = record;
        ++flushed;
    }
    return flushed;
}

void FtpSession::ReturnRecord(FtpRequest* record) {
    // A handler that did not release its object leaves it to this.
    record->text.clear();
    record->object.reset();
    std::lock_guard lock(queueLock_);
    freeRecords_[static_cast<std::size_t>(freeCount_++)] = record;
}

int FtpSession::Dispatch(FtpRequest& request) {
    if (options_.handlerOverride && request.kind != FtpRequestKind::Logoff) {
        return options_.handlerOverride(context_, request);
    }
    switch (request.kind) {
        case FtpRequestKind::ChangeDir:
            return FtpDirectoryCommands::ChangeDirectory(context_, request.text, request.value);
        case FtpRequestKind::UpOneLevel:
            return FtpDirectoryCommands::ChangeDirectory(context_, "..", 0);
        case FtpRequestKind::Delete:
            return FtpDirectoryCommands::DeleteFiles(context_, request);
        case FtpRequestKind::Get:
            return FtpTransfers::GetFiles(context_, request);
        case FtpRequestKind::Put:
            return FtpTransfers::PutFiles(context_, request);
        case FtpRequestKind::Logoff:
            return 0;
    }
    return 0;
}

bool FtpSession::Enqueue(FtpRequestKind kind, std::string_view text,
                         std::unique_ptr<FtpRequestObject>& object, int value) {
    std::lock_guard lock(queueLock_);
    if (queueClosed_ || stopRequested_ || freeCount_ == 0) {
        return false;
    }
    FtpRequest* record = freeRecords_[static_cast<std::size_t>(--freeCount_)];
    record->kind = kind;
    record->text.assign(text);
    record->object = std::move(object);
    record->value = value;
    pending_[static_cast<std::size_t>((pendingHead_ + pendingCount_) % kPoolSize)] = record;
    ++pendingCount_;
    queued_.release();
    return true;
}

bool FtpSession::Enqueue(FtpRequestKind kind, std::string_view text, int value) {
    std::unique_ptr<FtpRequestObject> none;
    return Enqueue(kind, text, none, value);
}

void FtpSession::DiscardPending() {
    std::lock_guard lock(queueLock_);
    queueClosed_ = true;
    FlushPendingLocked();
}

void FtpSession::RequestStop() {
    std::lock_guard lock(queueLock_);
    if (stopRequested_.exchange(true)) {
        return;
    }
    // Handlers that loop over entries or blocks stop as they would for the user's abort.
    abortRequested_ = true;
    // Wakes a worker waiting for a request. Counts never exceed the queued records, so one more fits
    // unless all 64 are queued, and then the worker is not waiting.
    if (pendingCount_ < kPoolSize) {
        queued_.release();
    }
}

bool FtpSession::SendAborOnce() {
    // aborSent is set before the ABOR leaves, so the reply reader already skips a fast 426.
    if (!transferring_ || aborSent_.exchange(true)) {
        return false;
    }
    views_.log.LogTraffic("<ABOR");
    // The user-interface thread never waits on the connection: when the worker is writing, or the
    // server has stopped reading, the worker sends the ABOR (or its rest) itself.
    bool failed = false;
    {
        std::unique_lock lock(sendLock_, std::try_to_lock);
        if (!lock.owns_lock() || !aborOwed_.empty()) {
            aborDeferred_ = true;
        } else {
            aborOwed_ = AborPieces(usesTls_);
            failed = !SendOwedAborLocked(false);
        }
    }
    if (failed) {
        views_.log.LogMessage("... [CONTROL] Send failed, WinSock err = " + WinsockErrorName());
    }
    return true;
}

bool FtpSession::SendOwedAborLocked(bool wait) {
    while (!aborOwed_.empty()) {
        auto& [bytes, urgent] = aborOwed_.front();
        if (wait) {
            if (control_.SendAll(bytes.data(), bytes.size(), urgent) < 0) {
                aborOwed_.clear();
                return false;
            }
            bytes.clear();
        } else {
            const long sent = control_.SendWithoutWaiting(bytes.data(), bytes.size(), urgent);
            if (sent < 0) {
                aborOwed_.clear();
                return false;
            }
            bytes.erase(0, static_cast<std::size_t>(sent));
            if (!bytes.empty()) {
                aborDeferred_ = true;  // the worker finishes it
                return true;
            }
        }
        aborOwed_.erase(aborOwed_.begin());
    }
    return true;
}

void FtpSession::SendOwedAbor() {
    if (!aborDeferred_) {
        return;
    }
    bool failed = false;
    {
        std::lock_guard lock(sendLock_);
        if (aborDeferred_.exchange(false)) {
            if (aborOwed_.empty()) {
                aborOwed_ = AborPieces(usesTls_);
            }
            failed = !SendOwedAborLocked(true);
        }
    }
    if (failed) {
        views_.log.LogMessage("... [CONTROL] Send failed, WinSock err = " + WinsockErrorName());
    }
}

void FtpSession::SettleOwedAbor() {
    if (!aborDeferred_) {
        return;
    }
    {
        std::lock_guard lock(sendLock_);
        if (aborOwed_.empty()) {
            aborDeferred_ = false;  // nothing of it left: the request it was for has ended
            return;
        }
    }
    SendOwedAbor();
}

void FtpSession::Abort() {
    std::int64_t none = 0;
    abortAtMs_.compare_exchange_strong(none, NowMs());
    abortRequested_ = true;
    abortSignal_->Trigger();  // ends an active-mode accept and a transfer's data waits at once
    const bool sentFirst = SendAborOnce();
    int flushed = 0;
    {
        std::lock_guard lock(queueLock_);
        flushed = FlushPendingLocked();
        // Never blocks: when the worker has already taken a flushed request's count, it finds the queue
        // empty and waits again. After Stop the counts no longer matter and the wake-up must stay.
        for (int i = 0; i < flushed && !stopRequested_; ++i) {
            (void)queued_.try_acquire();
        }
    }
    const bool sentLate = SendAborOnce();  // a transfer that started while the queue was flushed
    // The worker clears aborSent as soon as the aborted request ends, which may already have happened.
    const bool terminated = sentFirst || sentLate || aborSent_;
    if (!terminated && flushed == 0) {
        return;
    }
    std::string report;
    if (terminated) {
        report = flushed > 0 ? "Transfer terminated, queue flushed" : "Transfer terminated";
    } else {
        report = "Queue flushed";
    }
    views_.status.SetStatus(report);
    views_.log.LogMessage(report);
    // The title shows it only until the worker clears its status; the page keeps it.
    views_.remote.ShowFailure(report);
}

bool FtpSession::SendCommand(std::string_view command, bool urgent) {
    // A line that does not fit, or that would end early and smuggle a second command, is never sent.
    switch (FtpProtocol::CheckCommandLine(command)) {
        case FtpProtocol::LineFault::Unsafe:
            context_.LogFailure("... command not sent: it holds a CR, LF or NUL character");
            return false;
        case FtpProtocol::LineFault::TooLong:
            context_.LogFailure("... command not sent: it is longer than 510 characters");
            return false;
        case FtpProtocol::LineFault::None:
            break;
    }
    SendOwedAbor();
    views_.log.LogTraffic(TrafficCopy(command));
    int sent = 0;
    {
        std::lock_guard lock(sendLock_);
        if (urgent && !usesTls_) {
            static constexpr char kTelnetIp[] = {'\xff', '\xf4'};
            static constexpr char kTelnetDm[] = {'\xff', '\xf2'};
            (void)control_.SendAll(kTelnetIp, sizeof kTelnetIp);
            (void)control_.SendAll(kTelnetDm, sizeof kTelnetDm, true);
        }
        sent = control_.SendLine(command);
    }
    if (sent < 0) {
        views_.log.LogMessage("... [CONTROL] Send failed, WinSock err = " + WinsockErrorName());
    }
    return true;
}

int FtpSession::ReadReply(FtpReply* reply) {
    bool failed = false;
    return ReadReplyNoting(reply, failed);
}

int FtpSession::ReadReplyNoting(FtpReply* reply, bool& failed) {
    SendOwedAbor();
    std::string code = "421";
    std::string line;
    bool after426 = false;
    for (;;) {
        bool firstLine = true;
        bool multiLine = false;
        std::string key;
        bool complete = false;
        while (!complete) {
            // After an abort the reply gets one control time-out to end, or a server that never ends it
            // (or keeps it trickling) would hold the worker for good.
            const std::int64_t abortAt = abortAtMs_;
            bool pastAbortBound = false;
            int length = -1;
            if (abortAt != 0) {
                const int grace =
                    options_.controlTimeoutMs > 0 ? options_.controlTimeoutMs : kAbortGraceWithoutTimeoutMs;
                const std::int64_t left = abortAt + grace - NowMs();
                if (left > 0) {
                    control_.SetTimeout(static_cast<int>(std::min<std::int64_t>(
                        left, options_.controlTimeoutMs > 0 ? options_.controlTimeoutMs : left)));
                    length = control_.ReadLine(line, kReplyLineSize);
                    control_.SetTimeout(options_.controlTimeoutMs);
                }
                pastAbortBound = NowMs() - abortAt >= grace;
            } else {
                length = control_.ReadLine(line, kReplyLineSize);
            }
            if (pastAbortBound && (length < 4 || line.compare(0, 4, key) != 0)) {
                length = -1;
                SetLastSocketError(wsa::kInterrupted);
            }
            if (length >= 4) {
                if (firstLine) {
                    code = line.substr(0, 3);
                    key = code + ' ';
                    multiLine = line[3] == '-';
                    firstLine = false;
                }
                views_.log.LogTraffic(">" + line);
                complete = line.compare(0, 4, key) == 0;
            } else if (length < 0 || !multiLine) {
                if (length >= 0) {
                    // A line too short to be a reply carries no socket error; name it rather than show a
                    // stale one.
                    SetLastSocketError(wsa::kInvalidArgument);
                }
                views_.log.LogTraffic("... [CONTROL] Receive failed, WinSock err = " + WinsockErrorName());
                lastReadError_ = LastSocketError();
                lastReply_ = FtpReply{};  // code 421, no line
                failed = true;
                if (reply != nullptr) {
                    reply->code = kReplyCode421;
                    reply->codeText = "421";
                }
                return kReplyCode421;
            }
            // A short line inside a multi-line reply is skipped unlogged.
        }
        // After ABOR the aborted transfer's 426 and a 225 are passed over for the reply that follows; but a
        // 426 is followed by the ABOR's own answer, which ends the read even when it is a 225 (some servers
        // answer 426 then 225), or the read would wait for a reply that never comes.
        if (aborSent_ && (code == "426" || (code == "225" && !after426))) {
            after426 = after426 || code == "426";
            continue;
        }
        break;
    }
    const int value = LeadingNumber(code);
    lastReadError_ = 0;
    lastReply_.code = value;
    lastReply_.codeText = code;
    lastReply_.lastLine = line;
    if (reply != nullptr) {
        reply->code = value;
        reply->codeText = code;
        reply->lastLine = line;
    }
    return value;
}

int FtpSession::Command(std::string_view command, FtpReply* reply) {
    if (!SendCommand(command)) {
        if (reply != nullptr) {
            reply->code = kCommandRefused;
            reply->codeText = "501";
        }
        return kCommandRefused;
    }
    return ReadReply(reply);
}

void FtpSession::PrepareDataSocket(Socket& socket, bool abortEnds) const {
    socket.SetTimeout(options_.dataTimeoutMs);
    socket.SetInterrupts(stopSignal_, abortEnds ? abortSignal_ : nullptr);
}
