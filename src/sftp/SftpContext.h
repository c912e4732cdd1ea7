#pragma once
// One SFTP session's state and what its request handlers may do with it: the URL and options, the SSH
// connection and its SFTP client, the views, the current folder, the user's abort and the failure kept
// for the page. SftpSession owns one; the pages never see it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "hosts/FtpUrl.h"
#include "sftp/SftpClient.h"
#include "sftp/SftpSession.h"
#include "sftp/SshConnection.h"
#include "views/SessionViews.h"

// What a handler's request came to: the session goes on after Done and Failed, and ends after Lost.
enum class SftpOutcome { Done, Failed, Lost };

class SftpContext {
  public:
    SftpContext(FtpUrl url, SessionViews views, SftpSessionOptions options);
    SftpContext(const SftpContext&) = delete;
    SftpContext& operator=(const SftpContext&) = delete;

    const FtpUrl& Url() const { return url_; }
    const SftpSessionOptions& Options() const { return options_; }
    const SessionViews& Views() const { return views_; }
    StatusView& Status() { return views_.status; }
    LogView& Log() { return views_.log; }
    HostView& Host() { return views_.host; }
    RemoteView& Remote() { return views_.remote; }
    TransferView& Transfers() { return views_.transfers; }

    // The logged-in connection and its SFTP client; set once by the login, null before.
    void Attach(std::unique_ptr<SshConnection> connection, std::unique_ptr<SftpClient> client);
    SshConnection& Connection() { return *connection_; }
    SftpClient& Client() { return *client_; }
    bool Attached() const { return client_ != nullptr; }
    // Ends the SFTP client, then the connection (saying goodbye unless it is gone); worker only.
    void Close();
    // The connection is gone (cut, cancelled, closed by the server): every later request would fail.
    bool ConnectionLost() const;

    // The server's absolute folder shown on the Remote page; empty before the first listing.
    const std::string& CurrentFolder() const { return currentFolder_; }
    void SetCurrentFolder(std::string folder) { currentFolder_ = std::move(folder); }

    // The user's abort of the running request (Escape) and the session's Stop; handed to transfers as
    // SftpTransferControl::abort. Any thread may set them.
    const std::atomic<bool>& AbortFlag() const { return abort_; }
    bool AbortRequested() const { return abort_.load(std::memory_order_acquire); }
    void RequestAbort() { abort_.store(true, std::memory_order_release); }
    // Worker: a new request begins.
    void ResetAbort();
    bool StopRequested() const { return stop_.load(std::memory_order_acquire); }
    void RequestStop();

    // A failure of the running request: `message` goes to the log, `words` (the message without its
    // "... " marker by default) is kept for the page until TakeFailure.
    void LogFailure(std::string_view message, std::string_view words = {});
    std::string TakeFailure();
    // Tells the Remote page why `what` failed ("Could not download a.bin: no such file
    // (SSH_FX_NO_SUCH_FILE)") with the kept failure; nothing after the user's abort or a lost connection.
    // Takes the kept failure either way.
    void ShowFailure(std::string_view what);

    // Milliseconds since an arbitrary start (32 bits, wrapping), for progress pacing and statistics.
    std::uint32_t Ticks() const;

  private:
    FtpUrl url_;
    SessionViews views_;
    SftpSessionOptions options_;
    std::unique_ptr<SshConnection> connection_;
    std::unique_ptr<SftpClient> client_;
    std::string currentFolder_;
    std::string failureNote_;
    std::atomic<bool> abort_{false};
    std::atomic<bool> stop_{false};
};
