#include "sftp/SftpSession.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "sftp/SftpClient.h"
#include "sftp/SftpContext.h"
#include "sftp/SftpFolderRequests.h"
#include "sftp/SftpTransferRequests.h"
#include "sftp/SshConnection.h"

namespace {

constexpr std::uint16_t kSshPort = 22;
// How often a worker waiting for the user's answer looks whether the session was stopped.
constexpr auto kAnswerPoll = std::chrono::milliseconds(100);
// How often an idle worker looks at the clock for the keep-alive.
constexpr std::int64_t kKeepAliveLookMs = 1000;

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint16_t PortOf(const FtpUrl& url) {
    if (url.port.empty()) {
        return kSshPort;
    }
    const long port = std::strtol(url.port.c_str(), nullptr, 10);
    return port > 0 && port <= 65535 ? static_cast<std::uint16_t>(port) : kSshPort;
}

SessionFailure FailureKind(SshConnection::Failure failure) {
    return failure == SshConnection::Failure::Login ? SessionFailure::Login : SessionFailure::Connect;
}

}  // namespace

SftpSession::SftpSession(FtpUrl url, SessionViews views, SftpSessionOptions options)
    : context_(std::make_unique<SftpContext>(std::move(url), views, std::move(options))) {
    // Stop reaches this session through RequestStop; the signal is the handle's and wakes nothing here.
    handle_ = std::shared_ptr<FtpSessionHandle>(new FtpSessionHandle(std::make_shared<SocketInterrupt>()));
    handle_->session_ = this;
}

SftpSession::~SftpSession() {
    handle_->Detach();
}

std::shared_ptr<FtpSessionHandle> SftpSession::Start(FtpUrl url, SessionViews views,
                                                     SftpSessionOptions options) {
    std::unique_ptr<SftpSession> session(new SftpSession(std::move(url), views, std::move(options)));
    auto handle = session->handle_;
    std::lock_guard lock(handle->mutex_);
    handle->worker_ = std::thread(&SftpSession::Run, std::move(session));
    return handle;
}

std::string SftpSession::FirstFolder(std::string_view urlPath) {
    if (urlPath.empty() || urlPath == "~") {
        return {};
    }
    if (urlPath.substr(0, 2) == "~/") {
        return std::string(urlPath.substr(2));  // relative: resolved in the login folder
    }
    return urlPath.front() == '/' ? std::string(urlPath) : "/" + std::string(urlPath);
}

void SftpSession::Run(std::unique_ptr<SftpSession> session) {
    const auto handle = session->handle_;
    const SessionViews views = session->context_->Views();
    session->SessionMain();
    // The pages drop their pointers while the session still exists; only then is it freed.
    views.ShowSessionEnded(session->endReason_);
    session.reset();
    handle->MarkEnded();
}

void SftpSession::SessionMain() {
    watchdog_ = std::jthread([this](std::stop_token stop) { Watch(stop); });
    std::string connectionText;
    if (!context_->StopRequested() && Connect(connectionText)) {
        context_->Host().ShowConnected(connectionText);
        context_->Remote().ResetForSession(handle_);
        // The session opens in the URL's folder, or in its parent when that cannot be entered.
        std::unique_ptr<FtpRequestObject> none;
        Enqueue(FtpRequestKind::ChangeDir, FirstFolder(context_->Url().path), none, 1);
        ServeRequests();
    }
    watchdog_.request_stop();
    watchWake_.notify_all();
    watchdog_.join();
    {
        std::lock_guard lock(connectionLock_);
        cancelTarget_ = nullptr;
    }
    // Says goodbye unless the connection is gone, and frees libssh's session on this thread.
    context_->Close();
    DiscardPending();
    handle_->Detach();
}

bool SftpSession::Connect(std::string& connectionText) {
    const FtpUrl& url = context_->Url();
    const SftpSessionOptions& options = context_->Options();
    SshConnectOptions connect =
        options.connect ? *options.connect
                        : SshConnectOptions::ForUser(url.host, PortOf(url), url.user, url.password);
    if (options.connect && !url.password.empty()) {
        connect.password = url.password;  // the Host page's password field, where filled
    }
    SshPrompts& prompts = *this;
    auto connection = std::make_unique<SshConnection>(context_->Log(), prompts);
    {
        std::lock_guard lock(connectionLock_);
        cancelTarget_ = connection.get();
        if (stopRequested_) {
            connection->Cancel();
        }
    }
    context_->Status().SetStatus("Connecting to " + connect.host);
    Arm();
    SshResult opened = connection->Open(connect);
    auto client = std::make_unique<SftpClient>(*connection);
    if (opened) {
        opened = client->Open();
    }
    Disarm();
    context_->Status().SetStatus(std::nullopt);
    const SshConnection::Failure failure = connection->LastFailure();
    const std::string endpoint = connection->PeerEndpoint();
    context_->Attach(std::move(connection), std::move(client));
    if (!opened) {
        if (!context_->StopRequested()) {
            const bool silent = silenced_.load();
            const SessionFailure kind = silent || failure != SshConnection::Failure::None
                                            ? (silent ? SessionFailure::Connect : FailureKind(failure))
                                            : SessionFailure::Login;  // logged in, but no SFTP
            const std::string reason =
                silent ? "The server did not answer for " + std::to_string(SilenceSeconds()) + " s"
                       : opened.reason;
            if (silent) {
                context_->Log().LogMessage(reason);
            }
            context_->Host().ShowFailure(kind, reason);
        }
        return false;
    }
    connectionText = "sftp://" + url.host + (endpoint.empty() ? "" : " " + endpoint);
    const std::string connected = "Connected to " + connectionText;
    context_->Status().SetStatus(connected);
    context_->Log().LogMessage(connected);
    return true;
}

bool SftpSession::AwaitRequest() {
    const int idleMs = context_->Options().keepAliveIdleMs;
    if (idleMs <= 0) {
        queue_.Wait();
        return true;
    }
    std::int64_t lastTalk = NowMs();
    for (;;) {
        if (context_->StopRequested()) {
            return true;
        }
        const std::int64_t quiet = NowMs() - lastTalk;
        if (quiet >= idleMs) {
            // A round trip, so that what the server sent meanwhile (its own keep-alive) is read too.
            Arm();
            const SftpStat stat = context_->Client().Stat(".");
            Disarm();
            if (!stat.result && context_->ConnectionLost()) {
                if (!context_->StopRequested()) {
                    endReason_ = LostReason();
                }
                return context_->StopRequested();
            }
            lastTalk = NowMs();
            continue;
        }
        const std::int64_t wait = std::min<std::int64_t>(idleMs - quiet, kKeepAliveLookMs);
        if (queue_.WaitFor(std::chrono::milliseconds(std::max<std::int64_t>(wait, 1)))) {
            return true;
        }
    }
}

void SftpSession::ServeRequests() {
    for (;;) {
        if (!AwaitRequest() || context_->StopRequested()) {
            return;
        }
        // Nothing of an earlier abort holds for the request about to run.
        context_->ResetAbort();
        (void)context_->TakeFailure();
        FtpRequest* record = queue_.Take();
        if (record == nullptr) {
            continue;  // Abort flushed it after this count was taken
        }
        const bool loggingOff = record->kind == FtpRequestKind::Logoff;
        running_.store(true);
        Arm();
        const SftpOutcome outcome = loggingOff ? SftpOutcome::Done : Dispatch(*record);
        Disarm();
        running_.store(false);
        queue_.Return(record);
        if (loggingOff || context_->StopRequested()) {
            return;
        }
        if (outcome == SftpOutcome::Lost || context_->ConnectionLost()) {
            endReason_ = LostReason();
            context_->Log().LogMessage(endReason_);
            return;
        }
    }
}

SftpOutcome SftpSession::Dispatch(FtpRequest& request) {
    SftpContext& context = *context_;
    switch (request.kind) {
        case FtpRequestKind::ChangeDir:
            return SftpFolderRequests::ChangeDirectory(context, request.text, request.value != 0);
        case FtpRequestKind::UpOneLevel:
            return SftpFolderRequests::ChangeDirectory(context, "..", false);
        case FtpRequestKind::Delete:
            return SftpFolderRequests::DeleteFiles(context, request);
        case FtpRequestKind::MakeFolder:
            return SftpFolderRequests::MakeFolder(context, request);
        case FtpRequestKind::Rename:
            return SftpFolderRequests::Rename(context, request);
        case FtpRequestKind::WalkTrees:
            return SftpFolderRequests::WalkTrees(context, request);
        case FtpRequestKind::RemoveTrees:
            return SftpFolderRequests::RemoveTrees(context, request);
        case FtpRequestKind::Get:
            return SftpTransferRequests::GetFiles(context, request);
        case FtpRequestKind::Put:
            return SftpTransferRequests::PutFiles(context, request);
        case FtpRequestKind::WalkDownload:
            return SftpTransferRequests::WalkDownload(context, request);
        case FtpRequestKind::WalkUpload:
            return SftpTransferRequests::WalkUpload(context, request);
        case FtpRequestKind::Logoff:
            break;
    }
    return SftpOutcome::Done;
}

std::string SftpSession::LostReason() const {
    if (silenced_.load()) {
        return "Connection lost: the server did not answer for " + std::to_string(SilenceSeconds()) + " s";
    }
    std::string why = context_->Attached() ? context_->Connection().ErrorText() : std::string();
    return "Connection lost: " + (why.empty() ? std::string("the server closed the connection") : why);
}

int SftpSession::SilenceSeconds() const {
    return (context_->Options().silenceTimeoutMs + 999) / 1000;
}

bool SftpSession::Enqueue(FtpRequestKind kind, std::string_view text,
                          std::unique_ptr<FtpRequestObject>& object, int value) {
    return !context_->StopRequested() && queue_.Enqueue(kind, text, object, value);
}

void SftpSession::DiscardPending() {
    RequestQueue::Released released;
    queue_.Close(released);
    RequestQueue::ReportNotRun(context_->Transfers(), released,
                               endReason_.empty() ? "The session ended before its turn"
                                                  : "The session ended before its turn: " + endReason_);
}

void SftpSession::RequestStop() {
    bool first = false;
    queue_.Stop([&] {
        first = !context_->StopRequested();
        context_->RequestStop();
        return first;
    });
    if (!first) {
        return;
    }
    std::lock_guard lock(connectionLock_);
    stopRequested_ = true;
    if (cancelTarget_ != nullptr) {
        cancelTarget_->Cancel();
    }
}

void SftpSession::Abort() {
    // The queue is emptied before the running request learns of the abort: a worker that ended that
    // request at once would otherwise take the next one before it was flushed.
    RequestQueue::Released released;
    const int flushed = queue_.Flush(released);
    RequestQueue::ReportNotRun(context_->Transfers(), released, "Stopped by the user");
    const bool terminated = running_.load();
    context_->RequestAbort();
    if (!terminated && flushed == 0) {
        return;
    }
    std::string report;
    if (terminated) {
        report = flushed > 0 ? "Transfer terminated, queue flushed" : "Transfer terminated";
    } else {
        report = "Queue flushed";
    }
    const SessionViews& views = context_->Views();
    views.status.SetStatus(report);
    views.log.LogMessage(report);
    // The title shows it only until the worker clears its status; the page keeps it.
    views.remote.ShowFailure(report);
}

HostKeyAnswer SftpSession::AskUnknownHostKey(const SshHostKey& key) {
    struct Pending {
        std::mutex mutex;
        std::condition_variable given;
        std::optional<HostKeyAnswer> answer;
    };
    auto pending = std::make_shared<Pending>();
    // The user may think as long as they like: the watchdog waits with the worker.
    Disarm();
    context_->Host().AskHostKey(key, [pending](HostKeyAnswer answer) {
        std::lock_guard lock(pending->mutex);
        if (!pending->answer) {
            pending->answer = answer;
        }
        pending->given.notify_all();
    });
    HostKeyAnswer answer = HostKeyAnswer::Cancel;
    {
        std::unique_lock lock(pending->mutex);
        while (!pending->answer && !context_->StopRequested()) {
            pending->given.wait_for(lock, kAnswerPoll);
        }
        if (pending->answer && !context_->StopRequested()) {
            answer = *pending->answer;
        }
    }
    Arm();
    return answer;
}

std::optional<std::string> SftpSession::AskPassphrase(const std::string& keyPath) {
    struct Pending {
        std::mutex mutex;
        std::condition_variable given;
        bool answered = false;
        std::optional<std::string> passphrase;
    };
    auto pending = std::make_shared<Pending>();
    Disarm();
    context_->Host().AskPassphrase(keyPath, [pending](std::optional<std::string> passphrase) {
        std::lock_guard lock(pending->mutex);
        if (!pending->answered) {
            pending->answered = true;
            pending->passphrase = std::move(passphrase);
        }
        pending->given.notify_all();
    });
    std::optional<std::string> passphrase;
    {
        std::unique_lock lock(pending->mutex);
        while (!pending->answered && !context_->StopRequested()) {
            pending->given.wait_for(lock, kAnswerPoll);
        }
        if (pending->answered && !context_->StopRequested()) {
            passphrase = std::move(pending->passphrase);
        }
    }
    Arm();
    return passphrase;
}

void SftpSession::Arm() {
    armedAtMs_.store(NowMs());
    watchWake_.notify_all();
}

void SftpSession::Disarm() {
    armedAtMs_.store(-1);
}

void SftpSession::Watch(std::stop_token stop) {
    const std::int64_t bound = std::max(context_->Options().silenceTimeoutMs, 1);
    // Often enough that the end comes soon after the bound, never busier than every 20 ms.
    const auto look = std::chrono::milliseconds(std::clamp<std::int64_t>(bound / 10, 20, 1000));
    std::unique_lock lock(watchLock_);
    while (!stop.stop_requested()) {
        watchWake_.wait_for(lock, stop, look, [] { return false; });
        const std::int64_t armedAt = armedAtMs_.load();
        if (armedAt < 0 || silenced_.load()) {
            continue;
        }
        std::int64_t silence = NowMs() - armedAt;
        std::int64_t quiet = -1;
        {
            std::lock_guard connection(connectionLock_);
            if (cancelTarget_ != nullptr) {
                quiet = cancelTarget_->QuietMs();
            }
        }
        if (quiet >= 0) {
            silence = std::min(silence, quiet);
        }
        if (silence >= bound) {
            silenced_.store(true);
            CancelConnection();
        }
    }
}

void SftpSession::CancelConnection() {
    std::lock_guard lock(connectionLock_);
    if (cancelTarget_ != nullptr) {
        cancelTarget_->Cancel();
    }
}
