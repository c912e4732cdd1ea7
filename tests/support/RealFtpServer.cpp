#include "support/RealFtpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "support/TlsTestClient.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// pyftpdlib is a module of the system's Python; a python3 earlier on PATH may lack it.
constexpr const char* kSystemPython = "/usr/bin/python3";
constexpr const char* kVsftpd = "/usr/sbin/vsftpd";
constexpr auto kStartBound = std::chrono::seconds(15);
// Where Debian's proftpd is unpacked unless WISP_PROFTPD_DIR names another folder.
constexpr const char* kProftpdCache = WISP_SOURCE_DIR "/.cache/proftpd";

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Closes a descriptor if open and marks it closed.
void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// The loopback address of one family ("127.0.0.1" or "::1") with a port.
sockaddr_storage Loopback(bool ipv6, std::uint16_t port, socklen_t* length) {
    sockaddr_storage address{};
    if (ipv6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_port = htons(port);
        *length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4.sin_port = htons(port);
        *length = sizeof v4;
    }
    return address;
}

// A port that was free on the loopback address a moment ago (for servers that must be told their port).
std::uint16_t FreeLoopbackPort(bool ipv6) {
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    socklen_t length = 0;
    sockaddr_storage address = Loopback(ipv6, 0, &length);
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                          : reinterpret_cast<sockaddr_in&>(address).sin_port);
    }
    ::close(fd);
    return port;
}

// Connects to the loopback address's port and reads the greeting (bounded); "" when nothing answered.
std::string ReadGreeting(bool ipv6, std::uint16_t port) {
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    socklen_t length = 0;
    sockaddr_storage address = Loopback(ipv6, port, &length);
    std::string greeting;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
        auto deadline = Clock::now() + Ms(3000);
        while (greeting.find('\n') == std::string::npos) {
            auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) {
                break;
            }
            char buffer[512];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            greeting.append(buffer, static_cast<std::size_t>(n));
        }
        static constexpr char kQuit[] = "QUIT\r\n";
        ::send(fd, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL);
    }
    ::close(fd);
    return greeting;
}

// Every process descended from `root` now (vsftpd's sessions leave our process group with setsid, so the
// group alone does not reach them).
std::vector<pid_t> Descendants(pid_t root) {
    std::map<pid_t, std::vector<pid_t>> children;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // /proc/<pid>/stat: "pid (comm) state ppid ..."; comm may hold spaces and parentheses.
        std::string stat = TempDir::ReadFileAt(entry.path() / "stat").value_or("");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size()) {
            continue;
        }
        pid_t parent = static_cast<pid_t>(std::atoi(stat.c_str() + close + 4));
        children[parent].push_back(static_cast<pid_t>(std::atoi(name.c_str())));
    }
    std::vector<pid_t> found;
    std::vector<pid_t> pending{root};
    while (!pending.empty()) {
        pid_t pid = pending.back();
        pending.pop_back();
        for (pid_t child : children[pid]) {
            found.push_back(child);
            pending.push_back(child);
        }
    }
    return found;
}

// The environment without variables that would point the system Python at another installation.
std::vector<char*> ChildEnvironment() {
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PYTHONHOME=", 11) != 0 && std::strncmp(*entry, "PYTHONPATH=", 11) != 0) {
            env.push_back(*entry);
        }
    }
    env.push_back(nullptr);
    return env;
}

}  // namespace

RealFtpServer::RealFtpServer(Kind kind, Tls tls, TestCertificates::Which certificate,
                             std::string_view address)
    : kind_(kind),
      tls_(tls),
      certificate_(certificate),
      address_(address),
      dir_(kind == Kind::Pyftpdlib ? "wisp-pyftpd"
           : kind == Kind::Vsftpd  ? "wisp-vsftpd"
                                   : "wisp-proftpd") {
    if (!dir_.Valid()) {
        error_ = ErrnoText("cannot create a temporary folder");
        return;
    }
    if (IsIPv6() && (kind == Kind::Proftpd || tls == Tls::Implicit)) {
        error_ = "only pyftpdlib and vsftpd without implicit TLS are started on ::1";
        return;
    }
    if (tls == Tls::Implicit && kind == Kind::Pyftpdlib) {
        error_ = "pyftpdlib has no implicit TLS mode";
        return;
    }
    if (tls != Tls::None && !TestCertificates::Shared().Valid()) {
        error_ = "no test certificates: " + TestCertificates::Shared().Error();
        return;
    }
    root_ = dir_ / "root";
    logPath_ = dir_ / "server.log";
    std::error_code error;
    fs::create_directories(root_ / kWritableFolder, error);
    if (error) {
        error_ = "cannot create the served folder: " + error.message();
        return;
    }
    switch (kind) {
        case Kind::Pyftpdlib:
            running_ = StartPyftpdlib();
            break;
        case Kind::Vsftpd:
            running_ = StartVsftpd();
            break;
        case Kind::Proftpd:
            running_ = StartProftpd();
            break;
    }
    if (!running_) {
        std::string log = Log();
        if (!log.empty()) {
            error_ += "; server log: " + log.substr(0, 2000);
        }
        Stop();
    }
}

RealFtpServer::~RealFtpServer() {
    Stop();
}

std::string RealFtpServer::Name() const {
    std::string name = kind_ == Kind::Pyftpdlib ? "pyftpdlib" : kind_ == Kind::Vsftpd ? "vsftpd" : "proftpd";
    if (tls_ == Tls::Explicit) {
        name += " (explicit TLS)";
    } else if (tls_ == Tls::Implicit) {
        name += " (implicit TLS)";
    }
    if (IsIPv6()) {
        name += " on ::1";
    }
    return name;
}

bool RealFtpServer::InCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

bool RealFtpServer::SpawnInOwnGroup(const char* const argv[], int stdoutFd) {
    int keepAlive[2];
    if (::pipe2(keepAlive, O_CLOEXEC) != 0) {
        error_ = ErrnoText("pipe");
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, keepAlive[0], 0);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Its own process group, so that stopping it also stops every process it forked.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> env = ChildEnvironment();
    int result =
        ::posix_spawn(&pid_, argv[0], &actions, &attributes, const_cast<char* const*>(argv), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(keepAlive[0]);
    if (result != 0) {
        pid_ = -1;
        ::close(keepAlive[1]);
        error_ = std::string("cannot start ") + argv[0] + ": " + std::strerror(result);
        return false;
    }
    keepAliveFd_ = keepAlive[1];
    group_ = pid_;
    return true;
}

bool RealFtpServer::ChildExited() {
    if (pid_ < 0) {
        return true;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
    }
    return false;
}

void RealFtpServer::Stop() {
    running_ = false;
    // Before the watcher learns of our end (closing its stdin) and the tree starts to fall apart.
    std::vector<pid_t> descendants = pid_ >= 0 ? Descendants(pid_) : std::vector<pid_t>();
    CloseFd(keepAliveFd_);
    if (group_ < 0) {
        return;
    }
    ::kill(-group_, SIGTERM);
    for (pid_t pid : descendants) {
        ::kill(pid, SIGTERM);
    }
    auto deadline = Clock::now() + Ms(3000);
    while (!ChildExited() && Clock::now() < deadline) {
        std::this_thread::sleep_for(Ms(10));
    }
    // Whatever is left (a process that ignored SIGTERM) goes now.
    ::kill(-group_, SIGKILL);
    for (pid_t pid : descendants) {
        ::kill(pid, SIGKILL);
    }
    if (pid_ >= 0) {
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    group_ = -1;
}

bool RealFtpServer::StartPyftpdlib() {
    if (::access(kSystemPython, X_OK) != 0) {
        error_ = std::string(kSystemPython) + " is missing";
        return false;
    }
    std::string script = std::string(WISP_SOURCE_DIR) + "/tests/support/pyftpd_launcher.py";
    std::string root = root_.string();
    std::string log = (dir_ / "pyftpdlib.log").string();
    std::string cert;
    std::string key;
    std::vector<const char*> argv = {kSystemPython, "-u",        script.c_str(),
                                     root.c_str(),  log.c_str(), address_.c_str()};
    if (tls_ == Tls::Explicit) {
        cert = TestCertificates::Shared().CertFile(certificate_).string();
        key = TestCertificates::Shared().KeyFile(certificate_).string();
        argv.insert(argv.end(), {cert.c_str(), key.c_str()});
    }
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = ErrnoText("pipe");
        return false;
    }
    bool spawned = SpawnInOwnGroup(argv.data(), out[1]);
    ::close(out[1]);
    if (!spawned) {
        ::close(out[0]);
        return false;
    }
    // The launcher prints the port it listens on, then serves.
    std::string line;
    auto deadline = Clock::now() + kStartBound;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) {
            error_ = "pyftpdlib did not report its port in time";
            break;
        }
        char buffer[64];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            error_ =
                "pyftpdlib exited before listening (are python3-pyftpdlib and python3-openssl installed?)";
            break;
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.find('\n') == std::string::npos) {
        return false;
    }
    int port = std::atoi(line.c_str());
    if (port <= 0 || port > 65535) {
        error_ = "pyftpdlib reported a bad port: " + line;
        return false;
    }
    port_ = static_cast<std::uint16_t>(port);
    if (ProbeGreeting(port_).rfind("220", 0) != 0) {
        error_ = "pyftpdlib does not greet on port " + std::to_string(port_);
        return false;
    }
    return true;
}

bool RealFtpServer::PrepareAnonymousRoot() {
    if (::geteuid() != 0) {
        error_ = Name() + " needs root (running as uid " + std::to_string(::geteuid()) + ")";
        return false;
    }
    passwd* ftp = ::getpwnam("ftp");
    group* ftpGroup = ftp != nullptr ? ::getgrgid(ftp->pw_gid) : nullptr;
    if (ftp == nullptr || ftpGroup == nullptr) {
        error_ = "there is no system user 'ftp' for anonymous sessions";
        return false;
    }
    ftpUid_ = ftp->pw_uid;
    ftpGid_ = ftp->pw_gid;
    ftpUser_ = ftp->pw_name;
    ftpGroup_ = ftpGroup->gr_name;
    // vsftpd refuses an anonymous root that the ftp user can write: the root belongs to root, and only a
    // folder inside it to ftp.
    fs::path empty = dir_ / "empty";
    std::error_code error;
    fs::create_directory(empty, error);
    if (::chmod(dir_.Path().c_str(), 0755) != 0 || ::chmod(root_.c_str(), 0755) != 0 ||
        ::chmod(empty.c_str(), 0755) != 0 || ::chown(WritablePath().c_str(), ftpUid_, ftpGid_) != 0 ||
        ::chmod(WritablePath().c_str(), 0755) != 0) {
        error_ = ErrnoText("cannot prepare the served folder");
        return false;
    }
    return true;
}

bool RealFtpServer::StartForkingServer(const std::string& program, std::vector<std::string> arguments,
                                       ConfigMaker config) {
    const std::string name = Name();
    std::random_device random;
    const std::string configPath = (dir_ / "server.conf").string();
    arguments.push_back(configPath);
    // A shell keeps the server company and ends it when our end of its stdin closes, so a test process that
    // dies never leaves a server behind; the shell itself ends when the server does.
    std::vector<const char*> argv = {
        "/bin/sh", "-c",
        "exec 3<&0; \"$@\" </dev/null & server=$!; "
        "(cat <&3 >/dev/null; kill $server 2>/dev/null) & exec 3<&-; wait $server",
        "sh", program.c_str()};
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    // A chosen port may be taken by someone else before the server binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::uint16_t port = FreeLoopbackPort(IsIPv6());
        // Passive ports below the system's ephemeral range, at a random place so that parallel servers
        // rarely meet; the servers try other ports of their range when one is busy.
        unsigned pasvBase = 10000 + random() % 20000;
        std::string banner = "Wisp test " + name.substr(0, name.find(' ')) + " " + std::to_string(random());
        if (port == 0 || !TempDir::WriteFileAt(configPath, (this->*config)(port, pasvBase, banner))) {
            error_ = "cannot write the configuration of " + name;
            return false;
        }
        if (!SpawnInOwnGroup(argv.data(), -1)) {
            return false;
        }
        auto deadline = Clock::now() + kStartBound;
        while (Clock::now() < deadline && !ChildExited()) {
            if (ProbeGreeting(port).find(banner) != std::string::npos) {
                port_ = port;
                return true;
            }
            std::this_thread::sleep_for(Ms(50));
        }
        bool exited = pid_ < 0;
        Stop();
        if (!exited) {
            error_ = name + " did not answer on port " + std::to_string(port) + " in time";
            return false;
        }
        error_ = name + " exited at start";
        if (Log().find("bind") == std::string::npos) {
            return false;
        }
    }
    return false;
}

bool RealFtpServer::StartVsftpd() {
    if (::access(kVsftpd, X_OK) != 0) {
        error_ = std::string(kVsftpd) + " is missing (apt-get install vsftpd)";
        return false;
    }
    return PrepareAnonymousRoot() && StartForkingServer(kVsftpd, {}, &RealFtpServer::VsftpdConfig);
}

std::string RealFtpServer::VsftpdConfig(std::uint16_t port, unsigned pasvBase,
                                        const std::string& banner) const {
    fs::path empty = dir_ / "empty";
    // vsftpd listens on one family: IPv6 alone with listen_ipv6, IPv4 alone with listen.
    const std::string listen = IsIPv6() ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                                        : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n";
    return listen + "listen_port=" + std::to_string(port) +
           "\n"
           "background=NO\n"
           "ftpd_banner=" +
           banner +
           "\n"
           "anonymous_enable=YES\n"
           "no_anon_password=YES\n"
           "anon_root=" +
           root_.string() +
           "\n"
           "write_enable=YES\n"
           "anon_upload_enable=YES\n"
           "anon_mkdir_write_enable=YES\n"
           "anon_other_write_enable=YES\n"
           "anon_world_readable_only=NO\n"
           "anon_umask=022\n"
           "local_enable=NO\n"
           "pasv_enable=YES\n" +
           std::string(IsIPv6() ? "" : "pasv_address=127.0.0.1\n") +
           "pasv_min_port=" + std::to_string(pasvBase) +
           "\n"
           "pasv_max_port=" +
           std::to_string(pasvBase + 99) +
           "\n"
           "port_enable=YES\n"
           "connect_from_port_20=NO\n"
           // ABOR sent as urgent data during a transfer is read at once instead of after the transfer.
           "async_abor_enable=YES\n"
           "seccomp_sandbox=NO\n"
           "secure_chroot_dir=" +
           empty.string() +
           "\n"
           // The protocol log, for the commands a test asks about and for failure messages.
           "xferlog_enable=YES\n"
           "xferlog_std_format=NO\n"
           "log_ftp_protocol=YES\n"
           "vsftpd_log_file=" +
           (dir_ / "vsftpd.log").string() +
           "\n"
           // Sessions a test left open end on their own before long.
           "idle_session_timeout=120\n"
           "data_connection_timeout=120\n"
           "dirmessage_enable=NO\n"
           "use_localtime=NO\n"
           "tcp_wrappers=NO\n" +
           VsftpdTlsConfig();
}

std::string RealFtpServer::VsftpdTlsConfig() const {
    if (tls_ == Tls::None) {
        return {};
    }
    // Our vsftpd serves anonymous users alone, so the anon_ forms are what make TLS compulsory; the local_
    // ones are there for completeness. The built-in cipher list (DES-CBC3-SHA) is one OpenSSL 3 no longer
    // offers.
    const TestCertificates& certificates = TestCertificates::Shared();
    return "ssl_enable=YES\n"
           "allow_anon_ssl=YES\n"
           "force_anon_logins_ssl=YES\n"
           "force_anon_data_ssl=YES\n"
           "force_local_logins_ssl=YES\n"
           "force_local_data_ssl=YES\n"
           "require_ssl_reuse=YES\n"
           "ssl_ciphers=HIGH\n"
           "ssl_sslv2=NO\n"
           "ssl_sslv3=NO\n"
           "ssl_tlsv1=YES\n"
           "debug_ssl=YES\n"
           "rsa_cert_file=" +
           certificates.CertFile(certificate_).string() +
           "\n"
           "rsa_private_key_file=" +
           certificates.KeyFile(certificate_).string() + "\n" +
           (tls_ == Tls::Implicit ? "implicit_ssl=YES\n" : "");
}

bool RealFtpServer::FetchProftpd() {
    const char* chosen = std::getenv("WISP_PROFTPD_DIR");
    proftpdDir_ = chosen != nullptr && *chosen != '\0' ? fs::path(chosen) : fs::path(kProftpdCache);
    const fs::path binary = proftpdDir_ / "usr/sbin/proftpd";
    if (::access(binary.c_str(), X_OK) == 0) {
        return true;
    }
    const std::string script = std::string(WISP_SOURCE_DIR) + "/tests/support/fetch_proftpd.sh";
    const std::string folder = proftpdDir_.string();
    const char* argv[] = {"/bin/bash", script.c_str(), folder.c_str(), nullptr};
    const fs::path output = dir_ / "fetch.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    std::vector<char*> env = ChildEnvironment();
    const int result =
        ::posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), env.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (result != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        ::access(binary.c_str(), X_OK) != 0) {
        unavailable_ = true;
        error_ = TempDir::ReadFileAt(output).value_or("");
        if (error_.empty()) {
            error_ = "proftpd could not be fetched into " + folder;
        }
        while (!error_.empty() && error_.back() == '\n') {
            error_.pop_back();
        }
        return false;
    }
    return true;
}

bool RealFtpServer::StartProftpd() {
    if (!FetchProftpd() || !PrepareAnonymousRoot()) {
        return false;
    }
    // -n: in the foreground; -q: no start-up chatter on stderr.
    return StartForkingServer((proftpdDir_ / "usr/sbin/proftpd").string(), {"-n", "-q", "-c"},
                              &RealFtpServer::ProftpdConfig);
}

std::string RealFtpServer::ProftpdConfig(std::uint16_t port, unsigned pasvBase,
                                         const std::string& banner) const {
    const auto quoted = [](const fs::path& path) { return "\"" + path.string() + "\""; };
    std::string config =
        "ServerType standalone\n"
        "ServerName \"Wisp test proftpd\"\n"
        "ServerIdent on \"" +
        banner +
        "\"\n"
        "DefaultServer on\n"
        "DefaultAddress 127.0.0.1\n"
        "SocketBindTight on\n"
        "UseIPv6 off\n"
        "Port " +
        std::to_string(port) +
        "\n"
        "PassivePorts " +
        std::to_string(pasvBase) + " " + std::to_string(pasvBase + 99) +
        "\n"
        "User " +
        ftpUser_ +
        "\n"
        "Group " +
        ftpGroup_ +
        "\n"
        "Umask 022\n"
        "PidFile " +
        quoted(dir_ / "proftpd.pid") +
        "\n"
        "ScoreboardFile " +
        quoted(dir_ / "proftpd.scoreboard") +
        "\n"
        "DelayTable none\n"
        "WtmpLog off\n"
        "UseReverseDNS off\n"
        "AuthPAM off\n"
        "RequireValidShell off\n"
        // Listings in UTC, as the tests read them.
        "TimesGMT on\n"
        "TimeoutIdle 120\n"
        "TimeoutNoTransfer 120\n"
        "SystemLog " +
        quoted(dir_ / "proftpd.log") +
        "\n"
        "TransferLog none\n"
        // Every command, for the commands a test asks about (PASS is masked by the server).
        "LogFormat commands \"%r\"\n"
        "ExtendedLog " +
        quoted(dir_ / "commands.log") +
        " ALL commands\n"
        "<Anonymous " +
        quoted(root_) +
        ">\n"
        "  User " +
        ftpUser_ +
        "\n"
        "  Group " +
        ftpGroup_ +
        "\n"
        "  UserAlias anonymous " +
        ftpUser_ +
        "\n"
        "  <Limit WRITE>\n"
        "    DenyAll\n"
        "  </Limit>\n"
        "  <Directory " +
        kWritableFolder +
        ">\n"
        "    AllowOverwrite on\n"
        "    <Limit WRITE>\n"
        "      AllowAll\n"
        "    </Limit>\n"
        "  </Directory>\n"
        "</Anonymous>\n";
    if (tls_ == Tls::None) {
        return config;
    }
    const TestCertificates& certificates = TestCertificates::Shared();
    // TLS on control and data connections alike, and (the module's default, left as it is) every data
    // connection must resume a TLS session of its control connection's.
    return config + "ModulePath " + quoted(proftpdDir_ / "usr/lib/proftpd") +
           "\n"
           "LoadModule mod_tls.c\n"
           "TLSEngine on\n"
           "TLSLog " +
           quoted(dir_ / "tls.log") +
           "\n"
           "TLSProtocol TLSv1.2 TLSv1.3\n"
           "TLSRequired on\n"
           "TLSECCertificateFile " +
           quoted(certificates.CertFile(certificate_)) +
           "\n"
           "TLSECCertificateKeyFile " +
           quoted(certificates.KeyFile(certificate_)) +
           "\n"
           "TLSVerifyClient off\n"
           "TLSRenegotiate none\n" +
           (tls_ == Tls::Implicit ? "TLSOptions UseImplicitSSL\n" : "");
}

std::string RealFtpServer::ProbeGreeting(std::uint16_t port) const {
    if (tls_ != Tls::Implicit) {
        return ReadGreeting(IsIPv6(), port);
    }
    // Readiness only: whichever certificate the server presents will do.
    TlsTestClient client(Ms(3000));
    if (!client.Connect(port) || !client.StartTls()) {
        return {};
    }
    std::string greeting = client.ReadReply();
    client.SendLine("QUIT");
    return greeting;
}

bool RealFtpServer::WriteFile(const fs::path& relative, std::string_view contents) const {
    fs::path path = root_ / relative;
    if (!TempDir::WriteFileAt(path, contents)) {
        return false;
    }
    // Files in the writable folder belong to the anonymous account, as if it had uploaded them.
    if (kind_ != Kind::Pyftpdlib && relative.begin() != relative.end() &&
        *relative.begin() == kWritableFolder) {
        for (fs::path p = path; p != WritablePath() && p.has_parent_path(); p = p.parent_path()) {
            if (::chown(p.c_str(), ftpUid_, ftpGid_) != 0) {
                return false;
            }
        }
    }
    return true;
}

std::string RealFtpServer::WritePatternFile(const fs::path& relative, std::size_t size, unsigned seed) const {
    std::string bytes = TempDir::PatternBytes(size, seed);
    return WriteFile(relative, bytes) ? bytes : std::string();
}

std::optional<std::string> RealFtpServer::ReadFile(const fs::path& relative) const {
    return TempDir::ReadFileAt(root_ / relative);
}

bool RealFtpServer::Exists(const fs::path& relative) const {
    std::error_code error;
    return fs::exists(root_ / relative, error);
}

std::vector<std::string> RealFtpServer::LogFiles() const {
    switch (kind_) {
        case Kind::Pyftpdlib:
            return {"pyftpdlib.log"};
        case Kind::Vsftpd:
            return {"vsftpd.log"};
        case Kind::Proftpd:
            return {"proftpd.log", "tls.log"};
    }
    return {};
}

std::string RealFtpServer::Log() const {
    std::string log = TempDir::ReadFileAt(logPath_).value_or("");
    for (const std::string& file : LogFiles()) {
        log += TempDir::ReadFileAt(dir_ / file).value_or("");
    }
    return log;
}

std::vector<std::string> RealFtpServer::ReceivedCommands() const {
    // vsftpd: ... FTP command: Client "127.0.0.1", "USER anonymous"
    // pyftpdlib: DEBUG:pyftpdlib:127.0.0.1:40000-[] <- USER anonymous
    // proftpd: USER anonymous
    if (kind_ == Kind::Proftpd) {
        std::vector<std::string> commands;
        std::string log = TempDir::ReadFileAt(dir_ / "commands.log").value_or("");
        for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos;
             start = end + 1) {
            commands.push_back(log.substr(start, end - start));
        }
        return commands;
    }
    bool vsftpd = kind_ == Kind::Vsftpd;
    std::string log = TempDir::ReadFileAt(dir_ / (vsftpd ? "vsftpd.log" : "pyftpdlib.log")).value_or("");
    std::string_view marker = vsftpd ? "FTP command: Client \"" : "] <- ";
    std::vector<std::string> commands;
    std::size_t start = 0;
    for (std::size_t end = log.find('\n'); end != std::string::npos;
         start = end + 1, end = log.find('\n', start)) {
        std::string_view line(log.data() + start, end - start);
        std::size_t at = line.find(marker);
        if (at == std::string_view::npos) {
            continue;
        }
        std::string_view command = line.substr(at + marker.size());
        if (vsftpd) {
            // Past the client's address, between the quotes that end the line.
            std::size_t open = command.find(", \"");
            if (open == std::string_view::npos || command.size() < open + 4 || command.back() != '"') {
                continue;
            }
            command = command.substr(open + 3, command.size() - open - 4);
        }
        commands.emplace_back(command);
    }
    return commands;
}
