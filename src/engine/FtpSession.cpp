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
    // The pages drop their pointers while the session still exists; only then is it freed.
    views.ShowSessionEnded(session->endReason_);
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
        queue_.Wait();
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
        if (queue_.WaitFor(std::chrono::milliseconds(std::max<std::int64_t>(wait, 1)))) {
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
        FtpRequest* record = queue_.Take();
        if (record == nullptr) {
            continue;  // Abort flushed it after this count was taken
        }
        const int result = Dispatch(*record);
        lastRequestTicks_ = lastCommandTicks_ = context_.Ticks();
        const bool loggingOff = record->kind == FtpRequestKind::Logoff;
        queue_.Return(record);
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
    return !context_.StopRequested() && queue_.Enqueue(kind, text, object, value);
}

bool FtpSession::Enqueue(FtpRequestKind kind, std::string_view text, int value) {
    std::unique_ptr<FtpRequestObject> none;
    return Enqueue(kind, text, none, value);
}

void FtpSession::DiscardPending() {
    RequestQueue::Released released;
    queue_.Close(released);
    RequestQueue::ReportNotRun(context_.Transfers(), released,
                               endReason_.empty() ? "The session ended before its turn"
                                                  : "The session ended before its turn: " + endReason_);
}

void FtpSession::RequestStop() {
    queue_.Stop([this] {
        if (context_.stopRequested_.exchange(true)) {
            return false;
        }
        // Handlers that loop over entries or blocks stop as they would for the user's abort.
        context_.abort_.RequestStop();
        return true;
    });
}

void FtpSession::Abort() {
    // The queue is emptied before the running request learns of the abort: a worker that ended that
    // request at once would otherwise take the next one before it was flushed.
    RequestQueue::Released released;
    const int flushed = queue_.Flush(released);
    RequestQueue::ReportNotRun(context_.Transfers(), released, "Stopped by the user");
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
