#include "sftp/SshConnection.h"

#include <fcntl.h>
#include <libssh/libssh.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/Resolver.h"
#include "sftp/KnownHostsFile.h"

namespace {

using Clock = std::chrono::steady_clock;

struct KeyFree {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
using KeyPtr = std::unique_ptr<ssh_key_struct, KeyFree>;

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// What libssh hands the passphrase question, and what it learnt.
struct PassphraseAsk {
    SshPrompts* prompts = nullptr;
    std::string path;
    bool declined = false;
};

int AskPassphraseCallback(const char* /*prompt*/, char* buffer, size_t length, int /*echo*/, int /*verify*/,
                          void* userdata) {
    auto* ask = static_cast<PassphraseAsk*>(userdata);
    std::optional<std::string> answer = ask->prompts->AskPassphrase(ask->path);
    if (!answer || answer->size() + 1 > length) {
        ask->declined = true;
        return -1;
    }
    std::memcpy(buffer, answer->c_str(), answer->size() + 1);
    return 0;
}

std::string Fingerprint(ssh_key key) {
    unsigned char* hash = nullptr;
    size_t hashLength = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength) != SSH_OK) {
        return {};
    }
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength);
    ssh_clean_pubkey_hash(&hash);
    if (text == nullptr) {
        return {};
    }
    std::string fingerprint(text);
    ssh_string_free_char(text);
    return fingerprint;
}

std::string MethodsText(int methods) {
    std::string text;
    auto add = [&text](const char* name) { text += text.empty() ? name : std::string(", ") + name; };
    if ((methods & SSH_AUTH_METHOD_PUBLICKEY) != 0) {
        add("publickey");
    }
    if ((methods & SSH_AUTH_METHOD_PASSWORD) != 0) {
        add("password");
    }
    if ((methods & SSH_AUTH_METHOD_INTERACTIVE) != 0) {
        add("keyboard-interactive");
    }
    if ((methods & SSH_AUTH_METHOD_GSSAPI_MIC) != 0) {
        add("gssapi-with-mic");
    }
    return text.empty() ? "none" : text;
}

}  // namespace

SshConnectOptions SshConnectOptions::ForUser(std::string host, std::uint16_t port, std::string user,
                                             std::string password) {
    SshConnectOptions options;
    options.host = std::move(host);
    options.port = port;
    options.user = std::move(user);
    options.password = std::move(password);
    const char* home = std::getenv("HOME");
    std::string sshDir = std::string(home != nullptr ? home : "") + "/.ssh";
    options.userKnownHosts = sshDir + "/known_hosts";
    options.globalKnownHosts = "/etc/ssh/ssh_known_hosts";
    options.keyFiles = {sshDir + "/id_ed25519", sshDir + "/id_ecdsa", sshDir + "/id_rsa"};
    return options;
}

SshConnection::SshConnection(LogView& log, SshPrompts& prompts) : log_(log), prompts_(prompts) {}

SshConnection::~SshConnection() {
    Close();
}

bool SshConnection::IsOpen() const {
    return session_ != nullptr && ssh_is_connected(session_) != 0;
}

std::string SshConnection::ErrorText() const {
    if (session_ == nullptr) {
        return {};
    }
    const char* text = ssh_get_error(session_);
    return text != nullptr ? text : "";
}

void SshConnection::Cancel() {
    cancelled_.store(true, std::memory_order_release);
    interrupt_.Trigger();
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) {
        // libssh waits in poll on this socket: shutting it down wakes it with end of file at once.
        ::shutdown(fd_, SHUT_RDWR);
    }
}

std::int64_t SshConnection::QuietMs() const {
    std::lock_guard lock(fdMutex_);
    tcp_info info{};
    socklen_t length = sizeof info;
    if (fd_ < 0 || ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return -1;
    }
    return info.tcpi_last_data_recv;
}

std::string SshConnection::PeerEndpoint() const {
    std::lock_guard lock(fdMutex_);
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return {};
    }
    return BracketedEndpoint(host, static_cast<std::uint16_t>(std::atoi(service)));
}

void SshConnection::Close() {
    FreeSession();
}

void SshConnection::FreeSession() {
    int fd = -1;
    {
        std::lock_guard lock(fdMutex_);
        fd = fd_;
        fd_ = -1;
    }
    if (session_ == nullptr) {
        return;
    }
    // libssh closes a socket it was given only when it was not told goodbye: after ssh_disconnect the
    // socket is still ours to close.
    const bool sayGoodbye = ssh_is_connected(session_) != 0 && !Cancelled();
    if (sayGoodbye) {
        ssh_disconnect(session_);
    }
    ssh_free(session_);
    session_ = nullptr;
    if (sayGoodbye && fd >= 0) {
        ::close(fd);
    }
}

SshResult SshConnection::Fail(Failure failure, std::string reason) {
    failure_ = Cancelled() ? Failure::Cancelled : failure;
    if (Cancelled()) {
        reason = "Cancelled";
    }
    log_.LogMessage(reason);
    FreeSession();
    return SshResult::Failure(std::move(reason));
}

int SshConnection::ConnectSocket(const SshConnectOptions& options, std::string& reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string port = std::to_string(options.port);
    int status = ::getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        reason = "Cannot find " + options.host + ": " + ::gai_strerror(status);
        return -1;
    }
    std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    const auto deadline = Clock::now() + options.timeout;
    reason = "Cannot connect to " + options.host + " port " + port;
    for (addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
        int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address->ai_protocol);
        if (fd < 0) {
            continue;
        }
        int error = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = errno;
        }
        if (error == EINPROGRESS) {
            pollfd waits[2] = {{fd, POLLOUT, 0}, {interrupt_.Fd(), POLLIN, 0}};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            int ready = left.count() > 0
                            ? ::poll(waits, interrupt_.Fd() >= 0 ? 2 : 1, static_cast<int>(left.count()))
                            : 0;
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0 || Cancelled()) {
                error = ECANCELED;
            } else {
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            }
        }
        if (error == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        ::close(fd);
        reason += std::string(": ") + std::strerror(error);
        if (error == ECANCELED || error == ETIMEDOUT) {
            break;
        }
    }
    return -1;
}

SshResult SshConnection::Open(const SshConnectOptions& options) {
    Close();
    failure_ = Failure::None;
    loginMethod_.clear();
    serverBanner_.clear();
    hostKey_ = SshHostKey{options.host, options.port, {}, {}};
    log_.LogMessage("Connecting to " + options.host + " port " + std::to_string(options.port));
    std::string reason;
    int fd = ConnectSocket(options, reason);
    if (fd < 0) {
        return Fail(Failure::Network, reason);
    }
    session_ = ssh_new();
    if (session_ == nullptr) {
        ::close(fd);
        return Fail(Failure::Network, "Cannot start an SSH session");
    }
    {
        std::lock_guard lock(fdMutex_);
        fd_ = fd;
    }
    // From here libssh owns the socket and closes it with the session.
    socket_t socket = fd;
    int noConfig = 0;
    long timeoutSeconds = std::max<long>(1, static_cast<long>((options.timeout.count() + 999) / 1000));
    unsigned port = options.port;
    ssh_options_set(session_, SSH_OPTIONS_FD, &socket);
    ssh_options_set(session_, SSH_OPTIONS_HOST, options.host.c_str());
    ssh_options_set(session_, SSH_OPTIONS_PORT, &port);
    ssh_options_set(session_, SSH_OPTIONS_USER, options.user.c_str());
    // The user's ~/.ssh/config is not ours to follow; the caller says what is used.
    ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &noConfig);
    ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
    ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, options.userKnownHosts.c_str());
    ssh_options_set(session_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, options.globalKnownHosts.c_str());
    if (!options.agentSocket.empty()) {
        ssh_options_set(session_, SSH_OPTIONS_IDENTITY_AGENT, options.agentSocket.c_str());
    }
    if (Cancelled()) {
        return Fail(Failure::Cancelled, "Cancelled");
    }
    if (ssh_connect(session_) != SSH_OK) {
        return Fail(Failure::Network, "SSH connection to " + options.host + " failed: " + ErrorText());
    }
    const char* banner = ssh_get_serverbanner(session_);
    serverBanner_ = banner != nullptr ? banner : "";
    log_.LogMessage("Connected: " + serverBanner_);
    SshResult hostKey = CheckHostKey(options);
    if (!hostKey) {
        return hostKey;
    }
    return Authenticate(options);
}

SshResult SshConnection::CheckHostKey(const SshConnectOptions& options) {
    ssh_key rawKey = nullptr;
    if (ssh_get_server_publickey(session_, &rawKey) != SSH_OK) {
        return Fail(Failure::HostKeyCheck, "The server sent no host key: " + ErrorText());
    }
    KeyPtr key(rawKey);
    hostKey_.type = ssh_key_type_to_char(ssh_key_type(key.get()));
    hostKey_.fingerprint = Fingerprint(key.get());
    log_.LogMessage("Host key: " + hostKey_.type + " " + hostKey_.fingerprint);
    const std::string hostName = KnownHostsFile::HostName(options.host, options.port);
    switch (ssh_session_is_known_server(session_)) {
        case SSH_KNOWN_HOSTS_OK:
            log_.LogMessage("Host key known for " + hostName);
            return SshResult::Success();
        case SSH_KNOWN_HOSTS_CHANGED:
        case SSH_KNOWN_HOSTS_OTHER: {
            std::string where;
            for (const std::string& file : {options.userKnownHosts, options.globalKnownHosts}) {
                for (const KnownHostsFile::Entry& entry :
                     KnownHostsFile::Find(file, options.host, options.port)) {
                    where += (where.empty() ? "" : ", ") + entry.file + ":" + std::to_string(entry.line) +
                             " (" + entry.keyType + ")";
                }
            }
            if (where.empty()) {
                where = "a known_hosts file";
            }
            return Fail(Failure::HostKeyChanged,
                        "WARNING: the host key of " + hostName + " has changed; it is now " + hostKey_.type +
                            " " + hostKey_.fingerprint + ", the old key is at " + where +
                            ". Not logging in: remove the old key if the change is expected.");
        }
        case SSH_KNOWN_HOSTS_NOT_FOUND:
        case SSH_KNOWN_HOSTS_UNKNOWN:
            break;
        case SSH_KNOWN_HOSTS_ERROR:
        default:
            return Fail(Failure::HostKeyCheck,
                        "Cannot check the host key of " + hostName + ": " + ErrorText());
    }
    log_.LogMessage("The host key of " + hostName + " is not known");
    switch (prompts_.AskUnknownHostKey(hostKey_)) {
        case HostKeyAnswer::ConnectOnce:
            log_.LogMessage("Host key accepted for this connection");
            return SshResult::Success();
        case HostKeyAnswer::Always: {
            std::error_code ignored;
            std::filesystem::create_directories(std::filesystem::path(options.userKnownHosts).parent_path(),
                                                ignored);
            if (ssh_session_update_known_hosts(session_) != SSH_OK) {
                log_.LogMessage("Cannot add the host key to " + options.userKnownHosts + ": " + ErrorText());
            } else {
                log_.LogMessage("Host key added to " + options.userKnownHosts);
            }
            return SshResult::Success();
        }
        case HostKeyAnswer::Cancel:
            break;
    }
    return Fail(Failure::HostKeyUnknownRefused,
                "Host key of " + hostName + " not accepted; nothing was sent");
}

SshResult SshConnection::Authenticate(const SshConnectOptions& options) {
    int none = ssh_userauth_none(session_, nullptr);
    if (none == SSH_AUTH_ERROR) {
        return Fail(Failure::Network, "Login failed: " + ErrorText());
    }
    if (char* issue = ssh_get_issue_banner(session_); issue != nullptr) {
        log_.LogMessage(std::string("Server's banner: ") + issue);
        ssh_string_free_char(issue);
    }
    if (none == SSH_AUTH_SUCCESS) {
        loginMethod_ = "none";
    }
    bool broken = false;
    bool triedKeys = false;
    bool triedPassword = false;
    bool triedInteractive = false;
    // A partial success (a server wanting two methods) offers the rest again: go round until nothing is left.
    while (loginMethod_.empty() && !broken) {
        int methods = ssh_userauth_list(session_, nullptr);
        bool progressed = false;
        if ((methods & SSH_AUTH_METHOD_PUBLICKEY) != 0 && !triedKeys) {
            triedKeys = true;
            progressed = true;
            if (!TryAgent(options, broken) && !broken) {
                for (const std::string& path : options.keyFiles) {
                    if (TryKeyFile(path, broken) || broken) {
                        break;
                    }
                }
            }
        } else if ((methods & SSH_AUTH_METHOD_PASSWORD) != 0 && !triedPassword && !options.password.empty()) {
            triedPassword = true;
            progressed = true;
            TryPassword(options, broken);
        } else if ((methods & SSH_AUTH_METHOD_INTERACTIVE) != 0 && !triedInteractive &&
                   !options.password.empty()) {
            triedInteractive = true;
            progressed = true;
            TryKeyboardInteractive(options, broken);
        }
        if (!progressed) {
            return Fail(Failure::Login, "Login as " + options.user + " refused (the server offers " +
                                            MethodsText(methods) + ")");
        }
    }
    if (broken) {
        return Fail(Failure::Network, "Login failed: " + ErrorText());
    }
    log_.LogMessage("Logged in as " + options.user + " with " + loginMethod_);
    return SshResult::Success();
}

bool SshConnection::TryAgent(const SshConnectOptions& options, bool& broken) {
    if (!options.useAgent || (options.agentSocket.empty() && std::getenv("SSH_AUTH_SOCK") == nullptr)) {
        return false;
    }
    int result = ssh_userauth_agent(session_, nullptr);
    if (result == SSH_AUTH_SUCCESS) {
        loginMethod_ = "publickey (ssh-agent)";
        return true;
    }
    broken = result == SSH_AUTH_ERROR && ssh_is_connected(session_) == 0;
    return false;
}

bool SshConnection::TryKeyFile(const std::string& path, bool& broken) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
        return false;
    }
    // Offer the public half first: a key the server does not take is never decrypted, so its passphrase
    // is asked only when it would be used.
    ssh_key rawPublic = nullptr;
    if (ssh_pki_import_pubkey_file((path + ".pub").c_str(), &rawPublic) == SSH_OK) {
        KeyPtr publicKey(rawPublic);
        int offered = ssh_userauth_try_publickey(session_, nullptr, publicKey.get());
        if (offered != SSH_AUTH_SUCCESS) {
            broken = offered == SSH_AUTH_ERROR && ssh_is_connected(session_) == 0;
            return false;
        }
    }
    PassphraseAsk ask{&prompts_, path, false};
    ssh_key rawPrivate = nullptr;
    if (ssh_pki_import_privkey_file(path.c_str(), nullptr, AskPassphraseCallback, &ask, &rawPrivate) !=
        SSH_OK) {
        log_.LogMessage(ask.declined
                            ? "Key " + path + " skipped: no passphrase given"
                            : "Key " + path + " cannot be read (wrong passphrase or unknown format)");
        return false;
    }
    KeyPtr privateKey(rawPrivate);
    int result = ssh_userauth_publickey(session_, nullptr, privateKey.get());
    if (result == SSH_AUTH_SUCCESS) {
        loginMethod_ =
            "publickey (" + path + ", " + ssh_key_type_to_char(ssh_key_type(privateKey.get())) + ")";
        return true;
    }
    broken = result == SSH_AUTH_ERROR && ssh_is_connected(session_) == 0;
    return false;
}

bool SshConnection::TryPassword(const SshConnectOptions& options, bool& broken) {
    int result = ssh_userauth_password(session_, nullptr, options.password.c_str());
    if (result == SSH_AUTH_SUCCESS) {
        loginMethod_ = "password";
        return true;
    }
    broken = result == SSH_AUTH_ERROR && ssh_is_connected(session_) == 0;
    if (!broken) {
        log_.LogMessage("Password refused");
    }
    return false;
}

bool SshConnection::TryKeyboardInteractive(const SshConnectOptions& options, bool& broken) {
    bool passwordGiven = false;
    for (int round = 0; round < 8; ++round) {
        int result = ssh_userauth_kbdint(session_, nullptr, nullptr);
        if (result == SSH_AUTH_SUCCESS) {
            loginMethod_ = "keyboard-interactive";
            return true;
        }
        if (result != SSH_AUTH_INFO) {
            broken = result == SSH_AUTH_ERROR && ssh_is_connected(session_) == 0;
            return false;
        }
        int prompts = ssh_userauth_kbdint_getnprompts(session_);
        for (int i = 0; i < prompts; ++i) {
            char echo = 0;
            const char* prompt = ssh_userauth_kbdint_getprompt(session_, static_cast<unsigned>(i), &echo);
            // The password answers one hidden prompt once; asked again means it was wrong.
            if (echo != 0 || passwordGiven) {
                log_.LogMessage(std::string("Keyboard-interactive prompt not answered: ") +
                                (prompt != nullptr ? prompt : ""));
                return false;
            }
            passwordGiven = true;
            ssh_userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), options.password.c_str());
        }
    }
    return false;
}
