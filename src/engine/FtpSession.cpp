#include "engine/FtpSession.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "engine/FtpDirectoryCommands.h"
#include "engine/FtpFolderCommands.h"
#include "engine/FtpLogin.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpTransfers.h"
#include "engine/FtpTreeWalk.h"
#include "engine/FtpUploadTrees.h"
#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace {

constexpr int kReplyCode421 = FtpProtocol::kLostConnection;
// Fewer waiting bytes than this cannot be a reply ("nnn" CR LF); they are left for the next read.
constexpr int kExtraneousThreshold = 5;
// How often an idle worker looks at the clock for the keep-alive.
constexpr std::int64_t kKeepAliveLookMs = 1000;

}  // namespace

FtpSession::FtpSession(FtpUrl url, SessionViews views, FtpSessionOptions options)
    : context_(std::move(url), views, std::move(options)) {
    // The free list holds the records in array order with its head on top of the stack, so the first
    // record is used first and a record given back is the next one taken.
    for (auto record = records_.rbegin(); record != records_.rend(); ++record) {
        freeRecords_[static_cast<std::size_t>(freeCount_++)] = &*record;
    }
    handle_ = std::shared_ptr<FtpSessionHandle>(new FtpSessionHandle(context_.stopSignal_));
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
    return StartWorker(
        std::unique_ptr<FtpSession>(new FtpSession(std::move(url), views, std::move(options))));
}

std::shared_ptr<FtpSessionHandle> FtpSession::StartWorker(std::unique_ptr<FtpSession> session) {
    auto handle = session->handle_;
    std::lock_guard lock(handle->mutex_);
    handle->worker_ = std::thread(&FtpSession::Run, std::move(session));
    return handle;
}

void FtpSession::Run(std::unique_ptr<FtpSession> session) {
    const auto handle = session->handle_;
    const SessionViews views = session->context_.views_;
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
    if (!context_.StopRequested() && FtpLogin::ConnectAndLogin(context_, connectionText)) {
        context_.Host().ShowConnected(connectionText);
        context_.Remote().ResetForSession(handle_);
        // The session opens in the URL's directory, or in its parent when that cannot be entered.
        Enqueue(FtpRequestKind::ChangeDir, context_.Url().path, 1);
        ServeRequests();
    }
    {
        std::lock_guard lock(context_.sendLock_);  // Abort may be writing an ABOR
        context_.control_.Close();
    }
    DiscardPending();
    handle_->Detach();
}

bool FtpSession::AwaitRequest() {
    const FtpSessionOptions& options = context_.Options();
    if (options.keepAliveIdleMs <= 0) {
        queued_.acquire();
        return true;
    }
    for (;;) {
        if (context_.StopRequested()) {
            return true;
        }
        const std::uint32_t now = context_.Ticks();
        const std::int64_t quiet = static_cast<std::uint32_t>(now - lastCommandTicks_);
        const bool userAway = static_cast<std::uint32_t>(now - lastRequestTicks_) >=
                              static_cast<std::uint32_t>(std::max(options.keepAliveLimitMs, 0));
        if (!userAway && quiet >= options.keepAliveIdleMs) {
            // A reply the server sent meanwhile (often its own time-out) must not pass for NOOP's.
            if (!DiscardExtraneousReplies() || context_.Command("NOOP") == kReplyCode421) {
                if (!context_.StopRequested()) {
                    endReason_ = "Connection lost: " + context_.LastReplyInWords();
                }
                return context_.StopRequested();
            }
            lastCommandTicks_ = context_.Ticks();
            continue;
        }
        // Looks again at least every second, so a clock set by tests moves the wait along.
        const std::int64_t wait =
            userAway ? kKeepAliveLookMs
                     : std::min<std::int64_t>(options.keepAliveIdleMs - quiet, kKeepAliveLookMs);
        if (queued_.try_acquire_for(std::chrono::milliseconds(std::max<std::int64_t>(wait, 1)))) {
            return true;
        }
    }
}

void FtpSession::ServeRequests() {
    lastRequestTicks_ = lastCommandTicks_ = context_.Ticks();
    for (;;) {
        if (!AwaitRequest()) {
            return;
        }
        if (context_.StopRequested()) {
            return;
        }
        // Nothing of an earlier abort holds for the request about to run, nor for the stray replies
        // read before it.
        context_.abort_.Reset();
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
        lastRequestTicks_ = lastCommandTicks_ = context_.Ticks();
        const bool loggingOff = record->kind == FtpRequestKind::Logoff;
        ReturnRecord(record);
        context_.abort_.Settle();
        if (loggingOff) {
            context_.SendCommand("QUIT");  // its reply is not awaited
            return;
        }
        if (context_.StopRequested()) {
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
        BufferedSocket& control = context_.Control();
        const auto waiting = control.BytesAvailable();
        if (!waiting) {
            context_.lastReadError_ = LastSocketError();
            context_.views_.log.LogMessage("... CTL socket failure, WinSock err = " + WinsockErrorName());
            return false;
        }
        // Replies already taken into the connection's buffer wait there unseen by the system's count.
        if (*waiting + control.Buffered() < kExtraneousThreshold) {
            return true;
        }
        context_.views_.log.LogMessage("... (discarding extraneous response)");
        context_.ReadReply();
        if (context_.ConnectionFailed()) {
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

int FtpSession::FlushPendingLocked(std::vector<std::unique_ptr<FtpRequestObject>>& released) {
    int flushed = 0;
    while (pendingCount_ > 0) {
        FtpRequest* record = PopPendingLocked();
        record->text.clear();
        released.push_back(std::move(record->object));
        freeRecords_[static_cast<std::size_t>(freeCount_++)] = record;
        ++flushed;
    }
    return flushed;
}

void FtpSession::ReportNotRun(std::vector<std::unique_ptr<FtpRequestObject>>& released,
                              std::string_view reason) {
    for (const auto& object : released) {
        if (const auto* transfers = dynamic_cast<const TransferItems*>(object.get())) {
            for (const TransferItem& item : transfers->items) {
                if (item.row != 0) {
                    context_.Transfers().TransferEnded(item.row, TransferEnd::Stopped, reason);
                }
            }
        }
    }
    released.clear();
}

void FtpSession::ReturnRecord(FtpRequest* record) {
    // A handler that did not release its object leaves it to this.
    record->text.clear();
    record->object.reset();
    std::lock_guard lock(queueLock_);
    freeRecords_[static_cast<std::size_t>(freeCount_++)] = record;
}

int FtpSession::Dispatch(FtpRequest& request) {
    if (handlerOverride_ && request.kind != FtpRequestKind::Logoff) {
        return handlerOverride_(context_, request);
    }
    switch (request.kind) {
        case FtpRequestKind::ChangeDir:
            return FtpDirectoryCommands::ChangeDirectory(context_, request.text, request.value != 0);
        case FtpRequestKind::UpOneLevel:
            return FtpDirectoryCommands::ChangeDirectory(context_, "..", false);
        case FtpRequestKind::Delete:
            return FtpDirectoryCommands::DeleteFiles(context_, request);
        case FtpRequestKind::Get:
            return FtpTransfers::GetFiles(context_, request);
        case FtpRequestKind::Put:
            return FtpTransfers::PutFiles(context_, request);
        case FtpRequestKind::Logoff:
            return 0;
        case FtpRequestKind::MakeFolder:
            return FtpFolderCommands::MakeFolder(context_, request);
        case FtpRequestKind::Rename:
            return FtpFolderCommands::Rename(context_, request);
        case FtpRequestKind::WalkTrees:
            return FtpFolderCommands::WalkTrees(context_, request);
        case FtpRequestKind::RemoveTrees:
            return FtpFolderCommands::RemoveTrees(context_, request);
        case FtpRequestKind::WalkDownload:
            return FtpTreeWalk::WalkDownload(context_, request);
        case FtpRequestKind::WalkUpload:
            return FtpUploadTrees::WalkUpload(context_, request);
    }
    return 0;
}

bool FtpSession::Enqueue(FtpRequestKind kind, std::string_view text,
                         std::unique_ptr<FtpRequestObject>& object, int value) {
    std::lock_guard lock(queueLock_);
    if (queueClosed_ || context_.StopRequested() || freeCount_ == 0) {
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
    std::vector<std::unique_ptr<FtpRequestObject>> released;
    {
        std::lock_guard lock(queueLock_);
        queueClosed_ = true;
        FlushPendingLocked(released);
    }
    ReportNotRun(released, endReason_.empty() ? "The session ended before its turn"
                                              : "The session ended before its turn: " + endReason_);
}

void FtpSession::RequestStop() {
    std::lock_guard lock(queueLock_);
    if (context_.stopRequested_.exchange(true)) {
        return;
    }
    // Handlers that loop over entries or blocks stop as they would for the user's abort.
    context_.abort_.RequestStop();
    // Wakes a worker waiting for a request. Counts never exceed the queued records, so one more fits
    // unless all 64 are queued, and then the worker is not waiting.
    if (pendingCount_ < kPoolSize) {
        queued_.release();
    }
}

void FtpSession::Abort() {
    // The queue is emptied before the running request learns of the abort: a worker that ended that
    // request at once would otherwise take the next one before it was flushed.
    int flushed = 0;
    std::vector<std::unique_ptr<FtpRequestObject>> released;
    {
        std::lock_guard lock(queueLock_);
        flushed = FlushPendingLocked(released);
        // Never blocks: when the worker has already taken a flushed request's count, it finds the queue
        // empty and waits again. After Stop the counts no longer matter and the wake-up must stay.
        for (int i = 0; i < flushed && !context_.StopRequested(); ++i) {
            (void)queued_.try_acquire();
        }
    }
    ReportNotRun(released, "Stopped by the user");
    FtpAbort& abort = context_.abort_;
    const bool sent = abort.Request(context_.AbortGraceMs());
    // The worker forgets the ABOR as soon as the aborted request ends, which may already have happened.
    const bool terminated = sent || abort.AborBegun();
    if (!terminated && flushed == 0) {
        return;
    }
    std::string report;
    if (terminated) {
        report = flushed > 0 ? "Transfer terminated, queue flushed" : "Transfer terminated";
    } else {
        report = "Queue flushed";
    }
    const SessionViews& views = context_.views_;
    views.status.SetStatus(report);
    views.log.LogMessage(report);
    // The title shows it only until the worker clears its status; the page keeps it.
    views.remote.ShowFailure(report);
}
