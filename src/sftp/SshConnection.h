#pragma once
// One SSH connection (RAII over libssh's session): TCP connect within a time-out, the server's banner, the
// host-key check against known_hosts with the user's answer for an unknown key, and the login (agent, key
// files, password, keyboard-interactive). Every call but Cancel belongs to one thread, as libssh requires.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/SocketInterrupt.h"
#include "sftp/SshConnectOptions.h"
#include "sftp/SshPrompts.h"
#include "sftp/SshResult.h"
#include "views/LogView.h"

struct ssh_session_struct;

class SshConnection {
  public:
    // Why Open failed, for a caller that treats some failures apart (a refused key is not retried).
    enum class Failure {
        None,
        Network,
        HostKeyUnknownRefused,
        HostKeyChanged,
        HostKeyCheck,
        Login,
        Cancelled
    };

    SshConnection(LogView& log, SshPrompts& prompts);
    ~SshConnection();
    SshConnection(const SshConnection&) = delete;
    SshConnection& operator=(const SshConnection&) = delete;

    // Connects, checks the host key and logs in; each failure is also a log line. Nothing is sent to log in
    // before the host key is accepted.
    SshResult Open(const SshConnectOptions& options);
    // From any thread: ends the connect or any wait for the server at once; the connection is then dead.
    void Cancel();
    bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // From any thread: milliseconds since the server last sent anything (the kernel's count), -1 while
    // there is no connected socket. A watchdog tells a silent server by it.
    std::int64_t QuietMs() const;
    // The server's address as the log writes endpoints ("[127.0.0.1:22]"); empty while not connected.
    std::string PeerEndpoint() const;
    // Sends the disconnect and frees the session; the destructor does it too.
    void Close();

    bool IsOpen() const;
    Failure LastFailure() const { return failure_; }
    // The server's identification ("SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u6").
    const std::string& ServerBanner() const { return serverBanner_; }
    const SshHostKey& HostKey() const { return hostKey_; }
    // "publickey (ssh-agent)", "publickey (/home/u/.ssh/id_ed25519)", "password", "keyboard-interactive".
    const std::string& LoginMethod() const { return loginMethod_; }
    // libssh's session for the SFTP layer on the same thread; null until Open has connected.
    ssh_session_struct* Native() const { return session_; }
    LogView& Log() const { return log_; }
    // libssh's last error text ("" when none).
    std::string ErrorText() const;

  private:
    SshResult Fail(Failure failure, std::string reason);
    // A connected TCP socket (blocking) or -1 with the reason in `reason`.
    int ConnectSocket(const SshConnectOptions& options, std::string& reason);
    SshResult CheckHostKey(const SshConnectOptions& options);
    SshResult Authenticate(const SshConnectOptions& options);
    // Each returns true when logged in; false to try the next method; sets `broken` when the connection
    // failed (then the login stops).
    bool TryAgent(const SshConnectOptions& options, bool& broken);
    bool TryKeyFile(const std::string& path, bool& broken);
    bool TryPassword(const SshConnectOptions& options, bool& broken);
    bool TryKeyboardInteractive(const SshConnectOptions& options, bool& broken);
    void FreeSession();

    LogView& log_;
    SshPrompts& prompts_;
    ssh_session_struct* session_ = nullptr;
    // The socket libssh runs over, for Cancel from another thread; -1 once closed.
    int fd_ = -1;
    mutable std::mutex fdMutex_;
    SocketInterrupt interrupt_;
    std::atomic<bool> cancelled_{false};
    Failure failure_ = Failure::None;
    std::string serverBanner_;
    SshHostKey hostKey_;
    std::string loginMethod_;
};
