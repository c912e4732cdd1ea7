#pragma once
// One connection to an SFTP server behind the same face as an FTP session: the pages get an
// FtpSessionHandle and queue the same requests; a worker thread of its own connects, checks the host
// key, logs in and serves the requests in order with SftpClient. Lifetime as FtpSession's. A watchdog
// thread ends a request the server stays silent in; it touches libssh only through SshConnection::Cancel.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/FtpSessionHandle.h"
#include "engine/RequestQueue.h"
#include "engine/SessionWorker.h"
#include "hosts/FtpUrl.h"
#include "sftp/SshConnectOptions.h"
#include "sftp/SshPrompts.h"
#include "views/SessionViews.h"

struct SftpSessionOptions {
    // After an upload the server's file gets the local file's time ("Keep file times on upload").
    bool keepUploadTimes = true;
    // A queued file that failed for a passing reason is tried again after each of these waits in turn.
    std::vector<int> retryDelaysMs = {1000, 5000, 15000};
    // While no request runs, an SSH keep-alive after this much quiet; 0: never.
    int keepAliveIdleMs = 60000;
    // Longest silence of the server while a request waits for it before the connection counts as lost.
    int silenceTimeoutMs = 60000;
    // Where to connect and which files to trust and try; unset: the URL's host, port and login with the
    // user's own ~/.ssh (SshConnectOptions::ForUser). Tests give the files of their own server.
    std::optional<SshConnectOptions> connect;
};

class SftpContext;
class SshConnection;
enum class SftpOutcome;

class SftpSession : public SessionWorker, private SshPrompts {
  public:
    static constexpr int kPoolSize = RequestQueue::kPoolSize;

    // Starts a session for an "sftp" URL (port 22 unless it names one) and its worker. The URL's path
    // is absolute on the server ("sftp://host/srv/ftp" opens /srv/ftp); "~" and "~/path" are in the
    // login folder, and an empty path is the login folder.
    static std::shared_ptr<FtpSessionHandle> Start(FtpUrl url, SessionViews views,
                                                   SftpSessionOptions options = {});
    ~SftpSession() override;
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value) override;
    // Sets the running request's abort, discards the queued requests and reports "Transfer terminated",
    // "Queue flushed" or both.
    void Abort() override;
    // Cancels the connection (any wait for the server ends at once) and ends the session.
    void RequestStop() override;

    // The folder the session opens in, as the first ChangeDir gets it, for a URL's path.
    static std::string FirstFolder(std::string_view urlPath);

  private:
    SftpSession(FtpUrl url, SessionViews views, SftpSessionOptions options);
    static void Run(std::unique_ptr<SftpSession> session);
    void SessionMain();
    // Connects, logs in and starts SFTP; false (the failure shown on the Host page) when it could not.
    bool Connect(std::string& connectionText);
    void ServeRequests();
    // Waits for the next request, keeping an idle session alive meanwhile; false when the connection
    // was lost on the way (endReason_ says why).
    bool AwaitRequest();
    SftpOutcome Dispatch(FtpRequest& request);
    // Why the connection counts as lost, for the pages.
    std::string LostReason() const;
    int SilenceSeconds() const;
    void DiscardPending();

    // SshPrompts, on the worker: the Host page asks the user; the worker waits until the answer or Stop.
    HostKeyAnswer AskUnknownHostKey(const SshHostKey& key) override;
    std::optional<std::string> AskPassphrase(const std::string& keyPath) override;

    // Worker: a wait for the server begins (the watchdog counts its silence) or ends.
    void Arm();
    void Disarm();
    void Watch(std::stop_token stop);
    // Any thread: ends every wait of the connection, if there is one yet.
    void CancelConnection();

    std::unique_ptr<SftpContext> context_;
    RequestQueue queue_;
    // The connection as Stop and the watchdog reach it; set and cleared by the worker under the lock.
    std::mutex connectionLock_;
    SshConnection* cancelTarget_ = nullptr;
    bool stopRequested_ = false;  // under connectionLock_
    // When the armed wait began (steady milliseconds), or -1 while the worker waits for no server.
    std::atomic<std::int64_t> armedAtMs_{-1};
    std::atomic<bool> silenced_{false};
    std::atomic<bool> running_{false};
    std::mutex watchLock_;
    std::condition_variable_any watchWake_;
    std::jthread watchdog_;
    // Worker: why the session ended when it was neither the user's Logoff nor Stop.
    std::string endReason_;
    std::shared_ptr<FtpSessionHandle> handle_;
};
