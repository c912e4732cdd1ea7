#pragma once
// Runs an FTP server that nobody here wrote (pyftpdlib, vsftpd or proftpd) on 127.0.0.1 (or ::1) with an
// ephemeral port and a private served folder, plain or with TLS, for tests against real servers; stopped and
// cleaned up when the object goes away.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/TempDir.h"
#include "support/TestCertificates.h"

class RealFtpServer {
  public:
    enum class Kind { Pyftpdlib, Vsftpd, Proftpd };
    // Plain FTP; explicit TLS (AUTH TLS required before USER, PROT P required before data); implicit TLS
    // (TLS from the first byte; vsftpd and proftpd, pyftpdlib has no such mode).
    enum class Tls { None, Explicit, Implicit };

    // Starts the server and waits (bounded) until it answers. Check Running(); Error() says why not. With
    // TLS, the server presents `certificate` of TestCertificates::Shared(). vsftpd and proftpd with TLS also
    // require every data connection to resume a TLS session of the control connection's. proftpd is not
    // installed (apt will not put it beside vsftpd): it is fetched from Debian's packages on first use.
    // `address`: "127.0.0.1", or "::1" (pyftpdlib and vsftpd, plain FTP).
    explicit RealFtpServer(Kind kind, Tls tls = Tls::None,
                           TestCertificates::Which certificate = TestCertificates::Which::Server,
                           std::string_view address = "127.0.0.1");
    // Stops the server's whole process group and waits for it; removes the served folder.
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    bool Running() const { return running_; }
    // The server's package could not be fetched (no mirror in reach): tests skip, in CI too.
    bool Unavailable() const { return unavailable_; }
    const std::string& Error() const { return error_; }
    Kind GetKind() const { return kind_; }
    Tls GetTls() const { return tls_; }
    // "pyftpdlib", "vsftpd", "proftpd (explicit TLS)", ...
    std::string Name() const;
    std::uint16_t Port() const { return port_; }
    // Where it listens: "127.0.0.1" or "::1".
    const std::string& Address() const { return address_; }
    bool IsIPv6() const { return address_ == "::1"; }

    // The folder served as "/" to anonymous users (and to the named account).
    const std::filesystem::path& Root() const { return root_; }
    // A folder inside the root, by its name relative to the root, into which anonymous users may upload,
    // overwrite and delete ("upload"; vsftpd refuses a root that anonymous users could write).
    static constexpr const char* kWritableFolder = "upload";
    std::filesystem::path WritablePath() const { return root_ / kWritableFolder; }

    // The named account (pyftpdlib only; vsftpd and proftpd serve anonymous users alone): "wisp" / "secret".
    bool HasNamedAccount() const { return kind_ == Kind::Pyftpdlib; }
    static constexpr const char* kUser = "wisp";
    static constexpr const char* kPassword = "secret";
    // A second named account (pyftpdlib only) whose login holds the URL's separators "@", ":" and "/".
    static constexpr const char* kOddUser = "a@b.example";
    static constexpr const char* kOddPassword = "p@ss:w/rd";

    // Files in the served folder, by path relative to the root. Files in the writable folder are given to
    // the anonymous user's system account so that it may overwrite and delete them.
    bool WriteFile(const std::filesystem::path& relative, std::string_view contents) const;
    // Writes TempDir::PatternBytes(size, seed) and returns those bytes ("" on failure).
    std::string WritePatternFile(const std::filesystem::path& relative, std::size_t size,
                                 unsigned seed = 1) const;
    std::optional<std::string> ReadFile(const std::filesystem::path& relative) const;
    bool Exists(const std::filesystem::path& relative) const;

    // The server's own log so far (for failure messages).
    std::string Log() const;
    // Every command line the server received so far (all sessions, in order), as its protocol log shows
    // them: "USER anonymous", "AUTH TLS"; the server masks PASS arguments.
    std::vector<std::string> ReceivedCommands() const;

    // True when the tests run in CI (environment CI=true): a server that cannot start is then a failure,
    // elsewhere a skip.
    static bool InCi();

  private:
    // The configuration of a server that forks a process per session, for its port, its first passive port
    // and the banner by which it is told from another server on that port.
    using ConfigMaker = std::string (RealFtpServer::*)(std::uint16_t port, unsigned pasvBase,
                                                       const std::string& banner) const;

    bool StartPyftpdlib();
    bool StartVsftpd();
    bool StartProftpd();
    // vsftpd and proftpd: runs as root and serves the root to the system's ftp account.
    bool PrepareAnonymousRoot();
    // Writes the configuration, starts `program` with `arguments` (the configuration's path last) and waits
    // until it greets with its banner; tries other ports while the chosen one was taken meanwhile.
    bool StartForkingServer(const std::string& program, std::vector<std::string> arguments,
                            ConfigMaker config);
    // Unpacks Debian's proftpd into the test cache (once per machine); false with unavailable_ set when
    // it cannot be fetched.
    bool FetchProftpd();
    bool SpawnInOwnGroup(const char* const argv[], int stdoutFd);
    // The greeting on a fresh connection (through TLS for implicit TLS); "" when nothing answered.
    std::string ProbeGreeting(std::uint16_t port) const;
    std::string VsftpdConfig(std::uint16_t port, unsigned pasvBase, const std::string& banner) const;
    // The TLS part of vsftpd's configuration ("" for plain FTP).
    std::string VsftpdTlsConfig() const;
    std::string ProftpdConfig(std::uint16_t port, unsigned pasvBase, const std::string& banner) const;
    // The server's own log files in dir_, besides what it wrote on stderr.
    std::vector<std::string> LogFiles() const;
    bool ChildExited();
    void Stop();

    Kind kind_;
    Tls tls_;
    TestCertificates::Which certificate_;
    std::string address_;
    TempDir dir_;
    std::filesystem::path root_;
    std::filesystem::path logPath_;
    std::string error_;
    bool running_ = false;
    bool unavailable_ = false;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;        // the child we started, until reaped
    pid_t group_ = -1;      // its process group, which outlives it while forked sessions remain
    int keepAliveFd_ = -1;  // write end of the child's stdin; closing it tells the child to exit
    uid_t ftpUid_ = 0;
    gid_t ftpGid_ = 0;
    std::string ftpUser_;
    std::string ftpGroup_;
    std::filesystem::path proftpdDir_;  // the unpacked packages: usr/sbin/proftpd, usr/lib/proftpd/
};

// In a test body: stop the test when the server did not start, as a failure in CI and as a skip elsewhere
// (and in CI too when its package could not be fetched).
#define WISP_REQUIRE_REAL_SERVER(server)                                                   \
    do {                                                                                   \
        if (!(server).Running()) {                                                         \
            if (RealFtpServer::InCi() && !(server).Unavailable()) {                        \
                FAIL() << (server).Name() << " did not start: " << (server).Error();       \
            } else {                                                                       \
                GTEST_SKIP() << (server).Name() << " did not start: " << (server).Error(); \
            }                                                                              \
        }                                                                                  \
    } while (false)
