#include "support/RealSshServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr auto kStartBound = std::chrono::seconds(10);

std::uint16_t FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// Reads the server's identification line, bounded; "" when nothing answered.
std::string ReadIdentification(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string text;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        pollfd wait{fd, POLLIN, 0};
        char buffer[256];
        if (::poll(&wait, 1, 2000) == 1) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                text.assign(buffer, static_cast<std::size_t>(got));
            }
        }
    }
    ::close(fd);
    return text;
}

std::vector<pid_t> Descendants(pid_t root) {
    std::vector<pid_t> found{root};
    // Each pass adds the children of what was found; sshd's tree is two or three levels deep.
    for (std::size_t scanned = 0; scanned < found.size(); ++scanned) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator("/proc", error)) {
            std::string name = entry.path().filename();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            std::getline(stat, line);
            std::size_t close = line.rfind(')');
            if (close == std::string::npos) {
                continue;
            }
            std::istringstream fields(line.substr(close + 2));
            char state = 0;
            pid_t parent = 0;
            fields >> state >> parent;
            if (parent == found[scanned]) {
                found.push_back(static_cast<pid_t>(std::stoi(name)));
            }
        }
    }
    return found;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

}  // namespace

int RealSshServer::Run(const std::vector<std::string>& argv, std::string* output,
                       const std::vector<std::string>& extraEnvironment) {
    char outputName[] = "/tmp/wisp-ssh-run-XXXXXX";
    int outputFd = ::mkstemp(outputName);
    if (outputFd < 0) {
        return -1;
    }
    ::unlink(outputName);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> environment(extraEnvironment);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        environment.emplace_back(*variable);
    }
    std::vector<char*> env;
    for (std::string& variable : environment) {
        env.push_back(variable.data());
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (spawned == 0) {
        int waited = 0;
        while (::waitpid(pid, &waited, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(waited) ? WEXITSTATUS(waited) : -1;
    }
    if (output != nullptr) {
        output->clear();
        char buffer[4096];
        ssize_t got = 0;
        ::lseek(outputFd, 0, SEEK_SET);
        while ((got = ::read(outputFd, buffer, sizeof buffer)) > 0) {
            output->append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(outputFd);
    return status;
}

RealSshServer::RealSshServer(std::vector<std::string> hostKeyTypes)
    : dir_("wisp-sshd"), hostKeyTypes_(std::move(hostKeyTypes)) {
    if (passwd* account = ::getpwuid(::geteuid()); account != nullptr) {
        user_ = account->pw_name;
    }
    if (::access(kSshd, X_OK) != 0) {
        missing_ = true;
        error_ = std::string(kSshd) + " is not installed (Debian package openssh-server)";
        return;
    }
    if (!dir_.Valid() || user_.empty()) {
        error_ = "no scratch folder or no user name";
        return;
    }
    // As root, sshd insists on its privilege separation folder (made by the package's service at boot).
    if (::geteuid() == 0) {
        ::mkdir("/run/sshd", 0755);
    }
    TempDir::WriteFileAt(dir_ / "authorized_keys", "");
    TempDir::WriteFileAt(dir_ / "known_hosts", "");
    if (MakeHostKeys()) {
        Start();
    }
}

RealSshServer::~RealSshServer() {
    Stop();
    StopAgent();
}

bool RealSshServer::MakeHostKeys() {
    ++generation_;
    for (const std::string& type : hostKeyTypes_) {
        fs::path key = dir_ / ("host_" + type);
        std::error_code ignored;
        fs::remove(key, ignored);
        fs::remove(key.string() + ".pub", ignored);
        std::string output;
        if (Run({"ssh-keygen", "-q", "-t", type, "-N", "", "-C", "host" + std::to_string(generation_), "-f",
                 key.string()},
                &output) != 0) {
            error_ = "ssh-keygen -t " + type + " failed: " + output;
            return false;
        }
    }
    return true;
}

bool RealSshServer::Start(std::uint16_t fixedPort) {
    const fs::path config = dir_ / "sshd_config";
    const fs::path log = dir_ / "sshd.log";
    // A port free a moment ago may be taken meanwhile by a parallel test: try a few.
    for (int attempt = 0; attempt < (fixedPort != 0 ? 1 : 5); ++attempt) {
        port_ = fixedPort != 0 ? fixedPort : FreeLoopbackPort();
        std::string text = "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\n";
        for (const std::string& type : hostKeyTypes_) {
            text += "HostKey " + (dir_ / ("host_" + type)).string() + "\n";
        }
        text += std::string("PidFile none\n") +
                (keyboardInteractiveOnly_ ? "UsePAM yes\nPasswordAuthentication no\n"
                                          : "UsePAM no\nPasswordAuthentication yes\n") +
                "StrictModes no\nAuthorizedKeysFile " + (dir_ / "authorized_keys").string() +
                "\nPermitRootLogin prohibit-password\nKbdInteractiveAuthentication yes\n"
                "Subsystem sftp internal-sftp\nLogLevel DEBUG1\nMaxStartups 100\n";
        if (!TempDir::WriteFileAt(config, text)) {
            error_ = "cannot write " + config.string();
            return false;
        }
        int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, logFd, 1);
        posix_spawn_file_actions_adddup2(&actions, logFd, 2);
        std::string configText = config.string();
        const char* argv[] = {kSshd, "-D", "-e", "-f", configText.c_str(), nullptr};
        pid_t pid = -1;
        int spawned = posix_spawn(&pid, kSshd, &actions, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(logFd);
        if (spawned != 0) {
            error_ = std::string("cannot run sshd: ") + std::strerror(spawned);
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + kStartBound;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            if (ReadIdentification(port_).rfind("SSH-", 0) == 0) {
                pid_ = pid;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        error_ = "sshd did not answer: " + Log();
    }
    return false;
}

void RealSshServer::Stop() {
    if (pid_ <= 0) {
        return;
    }
    for (pid_t pid : Descendants(pid_)) {
        ::kill(pid, SIGKILL);
    }
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void RealSshServer::Kill() {
    Stop();
}

void RealSshServer::Freeze() {
    if (pid_ > 0) {
        for (pid_t pid : Descendants(pid_)) {
            ::kill(pid, SIGSTOP);
        }
    }
}

void RealSshServer::Thaw() {
    if (pid_ > 0) {
        for (pid_t pid : Descendants(pid_)) {
            ::kill(pid, SIGCONT);
        }
    }
}

bool RealSshServer::ReplaceHostKeys() {
    std::uint16_t port = port_;
    Stop();
    // Same port, so that the client meets the new key under the name it knew the old one by.
    return MakeHostKeys() && Start(port);
}

bool RealSshServer::RestartWithKeyboardInteractiveOnly() {
    std::uint16_t port = port_;
    Stop();
    keyboardInteractiveOnly_ = true;
    return Start(port);
}

std::string RealSshServer::MakeClientKey(const std::string& name, const std::string& type,
                                         const std::string& passphrase) {
    fs::path key = dir_ / name;
    std::vector<std::string> argv = {"ssh-keygen", "-q", "-t", type, "-N",
                                     passphrase,   "-C", name, "-f", key.string()};
    if (type == "rsa") {
        argv.insert(argv.begin() + 4, {"-b", "2048"});
    }
    std::string output;
    if (Run(argv, &output) != 0) {
        error_ = "ssh-keygen failed: " + output;
        return {};
    }
    std::string authorized = TempDir::ReadFileAt(dir_ / "authorized_keys").value_or("");
    authorized += TempDir::ReadFileAt(key.string() + ".pub").value_or("");
    TempDir::WriteFileAt(dir_ / "authorized_keys", authorized);
    return key.string();
}

bool RealSshServer::AddToAgent(const std::string& keyPath) {
    if (agentPid_ <= 0) {
        agentSocket_ = (dir_ / "agent.sock").string();
        const char* argv[] = {"ssh-agent", "-D", "-a", agentSocket_.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&agentPid_, "ssh-agent", &actions, nullptr, const_cast<char* const*>(argv),
                         environ) != 0) {
            agentPid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 200 && agentPid_ > 0 && !fs::exists(agentSocket_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (agentPid_ <= 0 || !fs::exists(agentSocket_)) {
            error_ = "ssh-agent did not start";
            return false;
        }
    }
    std::string output;
    if (Run({"ssh-add", keyPath}, &output, {"SSH_AUTH_SOCK=" + agentSocket_}) != 0) {
        error_ = "ssh-add failed: " + output;
        return false;
    }
    return true;
}

void RealSshServer::StopAgent() {
    if (agentPid_ > 0) {
        ::kill(agentPid_, SIGTERM);
        ::waitpid(agentPid_, nullptr, 0);
        agentPid_ = -1;
    }
}

std::string RealSshServer::KnownHostsLine(const std::string& type) const {
    std::string publicKey = FirstLine(TempDir::ReadFileAt(dir_ / ("host_" + type + ".pub")).value_or(""));
    // "type base64 comment" -> "[127.0.0.1]:port type base64".
    std::size_t comment = publicKey.rfind(' ');
    return "[127.0.0.1]:" + std::to_string(port_) + " " + publicKey.substr(0, comment);
}

std::string RealSshServer::HostKeyFingerprint(const std::string& type) const {
    std::string output;
    if (Run({"ssh-keygen", "-lf", (dir_ / ("host_" + type + ".pub")).string()}, &output) != 0) {
        return {};
    }
    // "256 SHA256:xxxx comment (ED25519)".
    std::istringstream fields(output);
    std::string bits;
    std::string fingerprint;
    fields >> bits >> fingerprint;
    return fingerprint;
}

std::string RealSshServer::Log() const {
    return TempDir::ReadFileAt(dir_ / "sshd.log").value_or("");
}
