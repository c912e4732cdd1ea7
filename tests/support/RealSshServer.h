#pragma once
// Runs Debian's OpenSSH server (/usr/sbin/sshd) on 127.0.0.1 at a free port as the current user, with host
// keys, authorized keys and a known_hosts file made in a folder of its own, and an ssh-agent of its own;
// for tests of the SFTP layer against a server nobody here wrote. Everything stops and goes with the object.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

class RealSshServer {
  public:
    // Starts sshd with host keys of `hostKeyTypes` ("ed25519", "ecdsa", "rsa") and waits (bounded) until it
    // answers. Check Running(); Error() says why not; Missing() when sshd is not installed.
    explicit RealSshServer(std::vector<std::string> hostKeyTypes = {"ed25519"});
    ~RealSshServer();
    RealSshServer(const RealSshServer&) = delete;
    RealSshServer& operator=(const RealSshServer&) = delete;

    bool Running() const { return pid_ > 0; }
    bool Missing() const { return missing_; }
    const std::string& Error() const { return error_; }
    std::uint16_t Port() const { return port_; }
    // The account logged in to: the user running the tests.
    const std::string& User() const { return user_; }
    // A scratch folder for files served and downloaded (sshd serves the whole file system, as the user).
    const TempDir& Dir() const { return dir_; }

    // A new client key pair in the scratch folder, its public half authorized; the private key's path, ""
    // on failure. `type`: "ed25519", "ecdsa", "rsa".
    std::string MakeClientKey(const std::string& name, const std::string& type,
                              const std::string& passphrase = "");
    // Starts an ssh-agent of its own and adds the key to it; false when either fails.
    bool AddToAgent(const std::string& keyPath);
    std::string AgentSocket() const { return agentSocket_; }

    // "[127.0.0.1]:port type base64" for the host key of `type`, as known_hosts holds it.
    std::string KnownHostsLine(const std::string& type) const;
    // `ssh-keygen -lf` of the host key of `type`: "SHA256:...".
    std::string HostKeyFingerprint(const std::string& type) const;
    // New host keys and a restart on the same port (a server whose key changed); false on failure.
    bool ReplaceHostKeys();
    // A restart on the same port that offers passwords only through keyboard-interactive, answered by
    // the system's PAM (as most servers do); false on failure.
    bool RestartWithKeyboardInteractiveOnly();
    // Kills sshd and every connection it serves at once (a cut connection).
    void Kill();
    // Stops sshd and every connection it serves (SIGSTOP): a server that goes silent without closing
    // anything. Thaw lets them go on.
    void Freeze();
    void Thaw();

    // sshd's log so far (LogLevel DEBUG1).
    std::string Log() const;

    // Runs a program, waiting for it; its exit status (-1 when it could not run) and its output.
    static int Run(const std::vector<std::string>& argv, std::string* output = nullptr,
                   const std::vector<std::string>& extraEnvironment = {});

  private:
    bool MakeHostKeys();
    // On `fixedPort`, or on a free one when 0.
    bool Start(std::uint16_t fixedPort = 0);
    void Stop();
    void StopAgent();

    TempDir dir_;
    std::vector<std::string> hostKeyTypes_;
    std::string user_;
    std::string error_;
    bool missing_ = false;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    pid_t agentPid_ = -1;
    std::string agentSocket_;
    int generation_ = 0;
    bool keyboardInteractiveOnly_ = false;
};

// In a test body: skip when sshd is not installed; a server that is installed but does not start fails.
#define WISP_REQUIRE_SSH_SERVER(server)                                              \
    do {                                                                             \
        if ((server).Missing()) {                                                    \
            GTEST_SKIP() << "OpenSSH's sshd is not installed: " << (server).Error(); \
        }                                                                            \
        if (!(server).Running()) {                                                   \
            FAIL() << "sshd did not start: " << (server).Error();                    \
        }                                                                            \
    } while (false)
