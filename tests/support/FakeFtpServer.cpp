#include "support/FakeFtpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "support/TestCertificates.h"

namespace {

using Clock = std::chrono::steady_clock;

// Owns one file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// SO_LINGER with a zero time: close() sends a reset instead of FIN.
constexpr linger kAbortiveLinger{1, 0};

void SetIntOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

// The loopback address of a family (127.0.0.1 or ::1), port 0.
sockaddr_storage LoopbackAddress(int family, socklen_t* length) {
    sockaddr_storage address{};
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        *length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        *length = sizeof v4;
    }
    return address;
}

std::uint16_t PortOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                                               : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// A listening TCP socket on the family's loopback address with a system-chosen port; invalid on failure.
Fd ListenLoopback(int family, int backlog, std::uint16_t* port) {
    Fd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        return {};
    }
    // Urgent bytes stay in the stream so the record shows them in order; accepted sockets inherit this.
    SetIntOption(fd.Get(), SOL_SOCKET, SO_OOBINLINE, 1);
    socklen_t length = 0;
    sockaddr_storage address = LoopbackAddress(family, &length);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd.Get(), backlog) != 0) {
        return {};
    }
    length = sizeof address;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    *port = PortOf(address);
    return fd;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string VerbOf(std::string_view line) {
    return Upper(line.substr(0, line.find(' ')));
}

// Removes Telnet commands (IAC x, IAC WILL/WONT/DO/DONT option) from a command line; IAC IAC is a data 255.
std::string StripTelnet(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        auto byte = static_cast<unsigned char>(raw[i]);
        if (byte != 255) {
            out += raw[i];
            continue;
        }
        if (i + 1 >= raw.size()) {
            break;
        }
        auto command = static_cast<unsigned char>(raw[++i]);
        if (command == 255) {
            out += raw[i];
        } else if (command >= 251 && command <= 254) {
            ++i;
        }
    }
    return out;
}

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

std::string Replace(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

struct FakeFtpServer::Step {
    enum class Kind {
        Send,
        Segments,
        Delay,
        Close,
        Reset,
        StopReading,
        Pasv,
        PasvListenOnly,
        DataOpen,
        DataSend,
        DataSegments,
        DataReceiveAll,
        DataClose,
        DataReset,
        StartTls,
        AwaitClientHello,
    };
    Kind kind;
    std::string text;     // bytes to send, or the 227 format
    std::string address;  // the address a 227 reply names
    std::vector<std::string> pieces;
    Ms duration{0};
};

class FakeFtpServer::Impl {
  public:
    explicit Impl(int family);
    ~Impl();

    // Everything below the mutex is shared with test threads.
    mutable std::mutex mutex;
    std::condition_variable changed;

    struct Expectation {
        bool verbOnly;
        std::string key;
        std::vector<Step> steps;
    };
    std::deque<Expectation> script;
    // A server that predates FEAT unless a test scripts it: the client's one FEAT after the login is
    // answered like any command such a server does not know, without being a problem.
    std::map<std::string, std::vector<Step>> fallbacks{
        {"FEAT", {Step{Step::Kind::Send, "500 FEAT not understood\r\n", {}, {}, {}}}}};
    std::vector<Step> otherwise{Step{Step::Kind::Send, "502 Unscripted command\r\n", {}, {}, {}}};
    std::vector<Step> greeting{Step{Step::Kind::Send, "220 FakeFtpServer ready\r\n", {}, {}, {}}};
    std::deque<std::vector<Step>> nowQueue;
    std::deque<std::string> pendingCommands;
    bool busy = false;
    bool connected = false;
    Ms segmentPause{30};
    Ms actionTimeout{5000};

    std::string controlBytes;
    std::vector<std::size_t> urgentOffsets;
    std::vector<std::string> commands;
    std::vector<std::string> dataReceived;
    std::size_t dataBytesSent = 0;
    int accepted = 0;
    int closed = 0;
    int dataOpened = 0;
    std::uint16_t pasvPort = 0;
    std::string lastPortTarget;
    std::vector<std::string> problems;
    std::filesystem::path tlsCertFile;
    std::filesystem::path tlsKeyFile;
    int tlsMinVersion = 0;
    int tlsMaxVersion = 0;
    int tlsHandshakes = 0;
    std::string tlsVersion;
    std::vector<std::string> tlsErrors;

    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};
    Fd wakeRead;
    Fd wakeWrite;

    void Wake() const {
        char byte = 1;
        [[maybe_unused]] auto ignored = ::write(wakeWrite.Get(), &byte, 1);
    }
    void Problem(std::string text) {
        std::lock_guard lock(mutex);
        problems.push_back(std::move(text));
        changed.notify_all();
    }
    bool WaitUntil(Ms timeout, const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }

  private:
    // State owned by the server thread alone.
    Fd listener_;
    Fd control_;
    Fd data_;
    Fd pasvListener_;
    bool controlEof_ = false;
    bool readingControl_ = true;
    std::string lineBuffer_;
    enum class DataMode { None, Passive, Active } dataMode_ = DataMode::None;
    const int family_;
    sockaddr_storage portTarget_{};
    std::unique_ptr<SSL, SslFree> tls_;  // set once the control connection speaks TLS
    bool rawControl_ = false;            // control bytes are recorded but not parsed (AwaitClientHello)
    std::thread thread_;

    void Run();
    void Accept();
    void CloseConnection();
    void Handle(const std::string& line);
    void RunSteps(const std::vector<Step>& steps);
    bool RunStep(const Step& step);

    // Waits up to `timeout` (negative: no limit) for `events` on `fd` (-1: none) while reading the control
    // connection. Returns the fd's revents, 0 on timeout or when something else happened, -1 when stopping.
    int PollOnce(int fd, short events, int timeoutMs);
    // Repeats PollOnce until the fd is ready or the deadline passes; revents, 0 on timeout, -1 when stopping.
    int WaitFd(int fd, short events, Clock::time_point deadline);
    bool Sleep(Ms duration);
    void ReadControl();

    bool SendControl(std::string_view bytes);
    bool SendTls(std::string_view bytes);
    bool StartTls();
    bool AwaitClientHello();
    void TlsFailed(std::string reason);
    bool SendOn(int fd, std::string_view bytes, bool isData, std::size_t commandsAtStart);
    bool OpenPasvListener();
    bool EnsureData();
    void ParsePort(std::string_view argument);
    void ParseEprt(std::string_view argument);
    Ms Timeout() const {
        std::lock_guard lock(mutex);
        return actionTimeout;
    }
    Ms Pause() const {
        std::lock_guard lock(mutex);
        return segmentPause;
    }
    std::size_t CommandCount() const {
        std::lock_guard lock(mutex);
        return commands.size();
    }
};

FakeFtpServer::Impl::Impl(int family) : family_(family) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead.Reset(fds[0]);
        wakeWrite.Reset(fds[1]);
    }
    listener_ = ListenLoopback(family_, 5, &port);
    if (!listener_.Valid() || !wakeRead.Valid()) {
        problems.push_back(std::string("cannot listen on ") + (family_ == AF_INET6 ? "::1" : "127.0.0.1") +
                           ": " + std::strerror(errno));
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

FakeFtpServer::Impl::~Impl() {
    stopping = true;
    if (thread_.joinable()) {
        Wake();
        thread_.join();
    }
}

void FakeFtpServer::Impl::Run() {
    // A TLS write to a client that has gone would otherwise end the test process with SIGPIPE (OpenSSL
    // writes without MSG_NOSIGNAL); blocked here, the write fails with EPIPE instead.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!stopping) {
        if (!control_.Valid()) {
            if (PollOnce(listener_.Get(), POLLIN, -1) > 0) {
                Accept();
            }
            continue;
        }
        std::optional<std::vector<Step>> now;
        std::optional<std::string> command;
        {
            std::lock_guard lock(mutex);
            if (!nowQueue.empty()) {
                now = std::move(nowQueue.front());
                nowQueue.pop_front();
                busy = true;
            } else if (!pendingCommands.empty()) {
                command = std::move(pendingCommands.front());
                pendingCommands.pop_front();
                busy = true;
            }
        }
        if (now) {
            RunSteps(*now);
        } else if (command) {
            Handle(*command);
        } else if (controlEof_) {
            CloseConnection();
            continue;
        } else {
            PollOnce(-1, 0, -1);
            continue;
        }
        std::lock_guard lock(mutex);
        busy = false;
        changed.notify_all();
    }
    if (control_.Valid()) {
        CloseConnection();
    }
}

void FakeFtpServer::Impl::Accept() {
    Fd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.Valid()) {
        return;
    }
    SetIntOption(fd.Get(), SOL_SOCKET, SO_OOBINLINE, 1);
    // Scripted segments must leave as separate TCP segments.
    SetIntOption(fd.Get(), IPPROTO_TCP, TCP_NODELAY, 1);
    control_ = std::move(fd);
    controlEof_ = false;
    readingControl_ = true;
    rawControl_ = false;
    lineBuffer_.clear();
    std::vector<Step> steps;
    {
        std::lock_guard lock(mutex);
        ++accepted;
        connected = true;
        busy = true;
        steps = greeting;
        changed.notify_all();
    }
    RunSteps(steps);
    std::lock_guard lock(mutex);
    busy = false;
    changed.notify_all();
}

void FakeFtpServer::Impl::CloseConnection() {
    data_.Reset();
    pasvListener_.Reset();
    dataMode_ = DataMode::None;
    tls_.reset();
    rawControl_ = false;
    control_.Reset();
    std::lock_guard lock(mutex);
    connected = false;
    ++closed;
    pasvPort = 0;
    pendingCommands.clear();
    nowQueue.clear();
    changed.notify_all();
}

void FakeFtpServer::Impl::Handle(const std::string& line) {
    std::string verb = VerbOf(line);
    std::vector<Step> steps;
    {
        std::lock_guard lock(mutex);
        auto fallback = fallbacks.find(verb);
        bool expected = !script.empty() &&
                        (script.front().verbOnly ? script.front().key == verb : script.front().key == line);
        if (expected) {
            steps = std::move(script.front().steps);
            script.pop_front();
        } else if (fallback != fallbacks.end()) {
            steps = fallback->second;
        } else {
            std::string text = "unscripted command '" + line + "'";
            if (!script.empty()) {
                text += " while expecting '" + script.front().key + "'";
            }
            problems.push_back(text);
            steps = otherwise;
        }
    }
    if (verb == "PORT") {
        ParsePort(line.size() > 5 ? std::string_view(line).substr(5) : std::string_view());
    } else if (verb == "EPRT") {
        ParseEprt(line.size() > 5 ? std::string_view(line).substr(5) : std::string_view());
    }
    RunSteps(steps);
}

void FakeFtpServer::Impl::RunSteps(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (stopping || !RunStep(step)) {
            return;
        }
    }
}

// Returns false when the rest of the chain cannot run (control connection gone, stopping).
bool FakeFtpServer::Impl::RunStep(const Step& step) {
    using Kind = Step::Kind;
    if (!control_.Valid()) {
        Problem("step after the control connection closed");
        return false;
    }
    switch (step.kind) {
        case Kind::Send:
            SendControl(step.text);
            return true;
        case Kind::Segments:
            for (std::size_t i = 0; i < step.pieces.size(); ++i) {
                if (i > 0 && !Sleep(Pause())) {
                    return false;
                }
                SendControl(step.pieces[i]);
            }
            return true;
        case Kind::Delay:
            return Sleep(step.duration);
        case Kind::Close: {
            // FIN first (after TLS's close_notify, best effort), then wait (bounded) for the client's close
            // so that late bytes from it do not turn our close into a reset.
            if (tls_) {
                ERR_clear_error();
                SSL_shutdown(tls_.get());
            }
            ::shutdown(control_.Get(), SHUT_WR);
            auto deadline = Clock::now() + std::min(Timeout(), Ms(1000));
            while (!controlEof_ && readingControl_) {
                auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
                if (left <= 0 || PollOnce(-1, 0, static_cast<int>(left)) < 0) {
                    break;
                }
            }
            CloseConnection();
            return false;
        }
        case Kind::Reset:
            ::setsockopt(control_.Get(), SOL_SOCKET, SO_LINGER, &kAbortiveLinger, sizeof kAbortiveLinger);
            CloseConnection();
            return false;
        case Kind::StopReading:
            readingControl_ = false;
            return true;
        case Kind::Pasv:
        case Kind::PasvListenOnly: {
            if (!OpenPasvListener()) {
                return true;
            }
            if (step.kind == Kind::Pasv) {
                std::uint16_t listening;
                {
                    std::lock_guard lock(mutex);
                    listening = pasvPort;
                }
                SendControl(FormatPasv(step.text, step.address, listening));
            }
            return true;
        }
        case Kind::DataOpen:
            EnsureData();
            return true;
        case Kind::DataSend:
            if (EnsureData()) {
                SendOn(data_.Get(), step.text, true, CommandCount());
            }
            return true;
        case Kind::DataSegments:
            if (EnsureData()) {
                std::size_t atStart = CommandCount();
                for (std::size_t i = 0; i < step.pieces.size(); ++i) {
                    if (i > 0 && !Sleep(Pause())) {
                        return false;
                    }
                    if (!SendOn(data_.Get(), step.pieces[i], true, atStart)) {
                        break;
                    }
                }
            }
            return true;
        case Kind::DataReceiveAll: {
            if (!EnsureData()) {
                return true;
            }
            std::string received;
            auto deadline = Clock::now() + Timeout();
            bool timedOut = false;
            for (;;) {
                int ready = WaitFd(data_.Get(), POLLIN, deadline);
                if (ready < 0) {
                    return false;
                }
                if (ready == 0) {
                    timedOut = true;
                    break;
                }
                char buffer[16384];
                ssize_t n = ::recv(data_.Get(), buffer, sizeof buffer, 0);
                if (n > 0) {
                    received.append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    break;
                }
            }
            std::lock_guard lock(mutex);
            dataReceived.push_back(std::move(received));
            if (timedOut) {
                problems.push_back("data receive: the client did not close the data connection in time");
            }
            changed.notify_all();
            return true;
        }
        case Kind::DataClose:
            data_.Reset();
            return true;
        case Kind::DataReset:
            if (data_.Valid()) {
                ::setsockopt(data_.Get(), SOL_SOCKET, SO_LINGER, &kAbortiveLinger, sizeof kAbortiveLinger);
                data_.Reset();
            }
            return true;
        case Kind::StartTls:
            return StartTls();
        case Kind::AwaitClientHello:
            return AwaitClientHello();
    }
    return true;
}

int FakeFtpServer::Impl::PollOnce(int fd, short events, int timeoutMs) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {wakeRead.Get(), POLLIN, 0};
    int controlIndex = -1;
    if (control_.Valid() && !controlEof_ && readingControl_) {
        controlIndex = static_cast<int>(count);
        // POLLPRI: urgent data pending also wakes us, although it is read inline.
        fds[count++] = {control_.Get(), POLLIN | POLLPRI, 0};
    }
    int fdIndex = -1;
    if (fd >= 0) {
        fdIndex = static_cast<int>(count);
        fds[count++] = {fd, events, 0};
    }
    int n = ::poll(fds, count, timeoutMs);
    if (stopping) {
        return -1;
    }
    if (n <= 0) {
        return 0;
    }
    if (fds[0].revents != 0) {
        char drain[64];
        while (::read(wakeRead.Get(), drain, sizeof drain) > 0) {
        }
    }
    if (controlIndex >= 0 && fds[controlIndex].revents != 0) {
        ReadControl();
    }
    return fdIndex >= 0 ? fds[fdIndex].revents : 0;
}

int FakeFtpServer::Impl::WaitFd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        if (left <= 0) {
            return 0;
        }
        int ready = PollOnce(fd, events, static_cast<int>(left));
        if (ready != 0) {
            return ready;
        }
    }
}

bool FakeFtpServer::Impl::Sleep(Ms duration) {
    return WaitFd(-1, 0, Clock::now() + duration) >= 0;
}

void FakeFtpServer::Impl::ReadControl() {
    for (;;) {
        char buffer[4096];
        ssize_t n = 0;
        int atMark = 0;
        if (tls_) {
            // Until the library wants more from the socket, so that nothing decrypted waits in its buffer
            // while we poll the socket.
            ERR_clear_error();
            std::size_t count = 0;
            if (SSL_read_ex(tls_.get(), buffer, sizeof buffer, &count) == 1) {
                n = static_cast<ssize_t>(count);
            } else {
                int reason = SSL_get_error(tls_.get(), 0);
                if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
                    return;
                }
                n = 0;  // close_notify, a reset or a protocol error: the connection is over
            }
        } else {
            // With SO_OOBINLINE a read stops just before the urgent byte, so "at the mark" before a read
            // means the read's first byte is the urgent one.
            ::ioctl(control_.Get(), SIOCATMARK, &atMark);
            n = ::recv(control_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            }
        }
        if (n <= 0) {
            controlEof_ = true;
            std::lock_guard lock(mutex);
            changed.notify_all();
            return;
        }
        std::lock_guard lock(mutex);
        if (atMark != 0) {
            urgentOffsets.push_back(controlBytes.size());
        }
        controlBytes.append(buffer, static_cast<std::size_t>(n));
        if (rawControl_) {
            changed.notify_all();
            continue;
        }
        lineBuffer_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end = lineBuffer_.find('\n'); end != std::string::npos;
             end = lineBuffer_.find('\n')) {
            std::string_view raw(lineBuffer_.data(), end);
            if (!raw.empty() && raw.back() == '\r') {
                raw.remove_suffix(1);
            }
            std::string line = StripTelnet(raw);
            commands.push_back(line);
            pendingCommands.push_back(std::move(line));
            lineBuffer_.erase(0, end + 1);
        }
        changed.notify_all();
    }
}

bool FakeFtpServer::Impl::SendControl(std::string_view bytes) {
    // Replies going nowhere are the client's business (it may have closed on purpose), not a script fault.
    return tls_ ? SendTls(bytes) : SendOn(control_.Get(), bytes, false, 0);
}

bool FakeFtpServer::Impl::SendTls(std::string_view bytes) {
    auto deadline = Clock::now() + Timeout();
    while (!bytes.empty()) {
        ERR_clear_error();
        std::size_t written = 0;
        if (SSL_write_ex(tls_.get(), bytes.data(), bytes.size(), &written) == 1) {
            bytes.remove_prefix(written);
            continue;
        }
        int reason = SSL_get_error(tls_.get(), 0);
        if (reason != SSL_ERROR_WANT_WRITE && reason != SSL_ERROR_WANT_READ) {
            return false;
        }
        // Waiting to read goes through PollOnce's own reading of the control connection.
        int ready =
            reason == SSL_ERROR_WANT_WRITE ? WaitFd(control_.Get(), POLLOUT, deadline) : PollOnce(-1, 0, 20);
        if (ready < 0 || !tls_) {
            return false;
        }
        if (Clock::now() >= deadline) {
            Problem("control send timed out");
            return false;
        }
    }
    return true;
}

void FakeFtpServer::Impl::TlsFailed(std::string reason) {
    {
        std::lock_guard lock(mutex);
        tlsErrors.push_back(std::move(reason));
        changed.notify_all();
    }
    // What is left of the connection is of no use to either side.
    tls_.reset();
    CloseConnection();
}

bool FakeFtpServer::Impl::StartTls() {
    if (tls_) {
        Problem("StartTls on a connection that already speaks TLS");
        return true;
    }
    std::filesystem::path certFile;
    std::filesystem::path keyFile;
    int minVersion = 0;
    int maxVersion = 0;
    {
        std::lock_guard lock(mutex);
        certFile = tlsCertFile;
        keyFile = tlsKeyFile;
        minVersion = tlsMinVersion;
        maxVersion = tlsMaxVersion;
        // A client must wait for our answer before it starts TLS; anything it sent before is not
        // protected and must not be obeyed.
        if (!lineBuffer_.empty() || !pendingCommands.empty()) {
            problems.push_back("the client sent plain bytes before the TLS handshake; dropped");
            pendingCommands.clear();
        }
    }
    lineBuffer_.clear();
    if (certFile.empty()) {
        const TestCertificates& certificates = TestCertificates::Shared();
        if (!certificates.Valid()) {
            Problem("no test certificate for StartTls: " + certificates.Error());
            CloseConnection();
            return false;
        }
        certFile = certificates.ServerCert();
        keyFile = certificates.ServerKey();
    }
    const std::shared_ptr<SSL_CTX> context = MakeTlsServerContext(certFile, keyFile);
    if (!context || (minVersion != 0 && SSL_CTX_set_min_proto_version(context.get(), minVersion) != 1) ||
        (maxVersion != 0 && SSL_CTX_set_max_proto_version(context.get(), maxVersion) != 1)) {
        Problem("cannot set up the TLS server side: " + OpensslErrorText());
        CloseConnection();
        return false;
    }
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    tls_.reset(SSL_new(context.get()));
    if (!tls_ || SSL_set_fd(tls_.get(), control_.Get()) != 1) {
        Problem("cannot set up the TLS server side: " + OpensslErrorText());
        CloseConnection();
        return false;
    }
    // The handshake reads the control connection itself; PollOnce must not read it meanwhile.
    bool wasReading = readingControl_;
    readingControl_ = false;
    auto deadline = Clock::now() + Timeout();
    for (;;) {
        ERR_clear_error();
        int result = SSL_accept(tls_.get());
        if (result == 1) {
            break;
        }
        int reason = SSL_get_error(tls_.get(), result);
        if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
            std::string text = OpensslErrorText();
            TlsFailed("handshake failed: " + (text.empty() ? std::string("the connection closed") : text));
            return false;
        }
        int ready = WaitFd(control_.Get(), reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            TlsFailed("handshake timed out");
            return false;
        }
    }
    readingControl_ = wasReading;
    {
        std::lock_guard lock(mutex);
        ++tlsHandshakes;
        tlsVersion = SSL_get_version(tls_.get());
        changed.notify_all();
    }
    // The client may have sent its first command in the same packets as the handshake's end.
    if (readingControl_) {
        ReadControl();
    }
    return true;
}

bool FakeFtpServer::Impl::AwaitClientHello() {
    std::size_t start;
    {
        std::lock_guard lock(mutex);
        // Bytes read but not yet cut into lines are the start of what the client sent after our answer.
        start = controlBytes.size() - lineBuffer_.size();
        if (!pendingCommands.empty()) {
            problems.push_back("the client sent commands before its TLS handshake");
            pendingCommands.clear();
        }
    }
    lineBuffer_.clear();
    rawControl_ = true;
    // A TLS record header is 5 bytes: type 22 (handshake), then the version's major byte 3.
    auto deadline = Clock::now() + Timeout();
    auto received = [&] {
        std::lock_guard lock(mutex);
        return controlBytes.size() - start;
    };
    while (received() < 5 && !controlEof_) {
        auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        if (left <= 0) {
            Problem("the client did not start a TLS handshake in time");
            return true;
        }
        if (PollOnce(-1, 0, static_cast<int>(left)) < 0) {
            return false;
        }
    }
    std::lock_guard lock(mutex);
    if (controlBytes.size() - start < 2 || controlBytes[start] != 0x16 || controlBytes[start + 1] != 0x03) {
        problems.push_back("the client sent something other than a TLS handshake: '" +
                           controlBytes.substr(start, 40) + "'");
    }
    return true;
}

bool FakeFtpServer::Impl::SendOn(int fd, std::string_view bytes, bool isData, std::size_t commandsAtStart) {
    auto deadline = Clock::now() + Timeout();
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            if (isData) {
                std::lock_guard lock(mutex);
                dataBytesSent += static_cast<std::size_t>(n);
                changed.notify_all();
            }
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        // A client that sent a command (ABOR) while we could not send has stopped reading this transfer.
        if (isData && CommandCount() > commandsAtStart) {
            return false;
        }
        int ready = WaitFd(fd, POLLOUT, isData ? std::min(deadline, Clock::now() + Ms(20)) : deadline);
        if (ready < 0) {
            return false;
        }
        if (ready == 0 && Clock::now() >= deadline) {
            Problem(isData ? "data send timed out" : "control send timed out");
            return false;
        }
    }
    return true;
}

bool FakeFtpServer::Impl::OpenPasvListener() {
    data_.Reset();
    std::uint16_t listening = 0;
    pasvListener_ = ListenLoopback(family_, 1, &listening);
    dataMode_ = DataMode::Passive;
    std::lock_guard lock(mutex);
    pasvPort = pasvListener_.Valid() ? listening : 0;
    if (!pasvListener_.Valid()) {
        problems.push_back("cannot open the passive listener");
    }
    return pasvListener_.Valid();
}

bool FakeFtpServer::Impl::EnsureData() {
    if (data_.Valid()) {
        return true;
    }
    auto deadline = Clock::now() + Timeout();
    if (dataMode_ == DataMode::Passive) {
        if (!pasvListener_.Valid()) {
            Problem("data step without a passive listener");
            return false;
        }
        int ready = WaitFd(pasvListener_.Get(), POLLIN, deadline);
        if (ready <= 0) {
            if (ready == 0) {
                Problem("the client did not connect to the passive listener in time");
            }
            return false;
        }
        data_.Reset(::accept4(pasvListener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!data_.Valid()) {
            Problem(std::string("passive accept failed: ") + std::strerror(errno));
            return false;
        }
        // One connection per PASV, as servers do.
        pasvListener_.Reset();
        std::lock_guard lock(mutex);
        pasvPort = 0;
    } else if (dataMode_ == DataMode::Active) {
        // Only loopback is ever connected, whatever the client asked for.
        const bool loopback =
            portTarget_.ss_family == AF_INET6
                ? IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(portTarget_).sin6_addr)
                : (ntohl(reinterpret_cast<const sockaddr_in&>(portTarget_).sin_addr.s_addr) >> 24) == 127;
        if (!loopback) {
            Problem("PORT names a non-loopback address; not connecting");
            return false;
        }
        Fd fd(::socket(portTarget_.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const socklen_t targetLength =
            portTarget_.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        int result = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&portTarget_), targetLength);
        if (result != 0 && errno != EINPROGRESS) {
            Problem(std::string("active connect failed: ") + std::strerror(errno));
            return false;
        }
        if (result != 0) {
            int ready = WaitFd(fd.Get(), POLLOUT, deadline);
            if (ready <= 0) {
                if (ready == 0) {
                    Problem("active connect timed out");
                }
                return false;
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                Problem(std::string("active connect failed: ") + std::strerror(error));
                return false;
            }
        }
        data_ = std::move(fd);
    } else {
        Problem("data step before any PASV or PORT");
        return false;
    }
    SetIntOption(data_.Get(), IPPROTO_TCP, TCP_NODELAY, 1);
    std::lock_guard lock(mutex);
    ++dataOpened;
    changed.notify_all();
    return true;
}

void FakeFtpServer::Impl::ParsePort(std::string_view argument) {
    data_.Reset();
    pasvListener_.Reset();
    dataMode_ = DataMode::Active;
    unsigned values[6];
    int count = 0;
    unsigned current = 0;
    bool inNumber = false;
    bool valid = true;
    for (char c : argument) {
        if (c >= '0' && c <= '9') {
            current = current * 10 + static_cast<unsigned>(c - '0');
            valid = valid && current <= 255;
            inNumber = true;
        } else if (c == ',' && inNumber && count < 5) {
            values[count++] = current;
            current = 0;
            inNumber = false;
        } else {
            valid = false;
        }
    }
    if (inNumber && count == 5) {
        values[count++] = current;
    }
    std::lock_guard lock(mutex);
    pasvPort = 0;
    if (!valid || count != 6) {
        portTarget_ = {};
        lastPortTarget.clear();
        problems.push_back("malformed PORT argument '" + std::string(argument) + "'");
        return;
    }
    portTarget_ = {};
    auto& target = reinterpret_cast<sockaddr_in&>(portTarget_);
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl((values[0] << 24) | (values[1] << 16) | (values[2] << 8) | values[3]);
    target.sin_port = htons(static_cast<std::uint16_t>(values[4] * 256 + values[5]));
    lastPortTarget = std::to_string(values[0]) + "." + std::to_string(values[1]) + "." +
                     std::to_string(values[2]) + "." + std::to_string(values[3]) + ":" +
                     std::to_string(values[4] * 256 + values[5]);
}

void FakeFtpServer::Impl::ParseEprt(std::string_view argument) {
    data_.Reset();
    pasvListener_.Reset();
    dataMode_ = DataMode::Active;
    // "<d>proto<d>address<d>port<d>" with any delimiter, as a server reads it.
    std::vector<std::string> fields;
    if (argument.size() >= 2) {
        const char delimiter = argument.front();
        std::string field;
        for (char c : argument.substr(1)) {
            if (c == delimiter) {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        if (!field.empty()) {
            fields.clear();  // no closing delimiter
        }
    }
    sockaddr_storage target{};
    bool valid = fields.size() == 3 && !fields[2].empty() && fields[2].size() <= 5 &&
                 fields[2].find_first_not_of("0123456789") == std::string::npos;
    const unsigned long port = valid ? std::stoul(fields[2]) : 0;
    valid = valid && port > 0 && port <= 65535;
    if (valid && fields[0] == "2") {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        valid = ::inet_pton(AF_INET6, fields[1].c_str(), &v6.sin6_addr) == 1;
    } else if (valid && fields[0] == "1") {
        auto& v4 = reinterpret_cast<sockaddr_in&>(target);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        valid = ::inet_pton(AF_INET, fields[1].c_str(), &v4.sin_addr) == 1;
    } else {
        valid = false;
    }
    std::lock_guard lock(mutex);
    pasvPort = 0;
    portTarget_ = valid ? target : sockaddr_storage{};
    if (!valid) {
        lastPortTarget.clear();
        problems.push_back("malformed EPRT argument '" + std::string(argument) + "'");
        return;
    }
    lastPortTarget = fields[0] == "2" ? "[" + fields[1] + "]:" + fields[2] : fields[1] + ":" + fields[2];
}

// --- Actions ---

FakeFtpServer::Actions::Actions(FakeFtpServer* server, Target target, std::string key)
    : server_(server), target_(target), key_(std::move(key)) {}

FakeFtpServer::Actions::Actions(Actions&& other) noexcept
    : server_(other.server_),
      target_(other.target_),
      key_(std::move(other.key_)),
      steps_(std::move(other.steps_)) {
    other.server_ = nullptr;
}

FakeFtpServer::Actions::~Actions() {
    if (server_ != nullptr) {
        server_->Commit(target_, std::move(key_), std::move(steps_));
    }
}

FakeFtpServer::Actions& FakeFtpServer::Actions::Add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

using Kind = FakeFtpServer::Step::Kind;

FakeFtpServer::Actions& FakeFtpServer::Actions::Reply(std::string bytes) {
    return Add({Kind::Send, std::move(bytes), {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Line(std::string_view text) {
    return Add({Kind::Send, std::string(text) + "\r\n", {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Segments(std::vector<std::string> pieces) {
    return Add({Kind::Segments, {}, {}, std::move(pieces), {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Delay(Ms duration) {
    return Add({Kind::Delay, {}, {}, {}, duration});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Close() {
    return Add({Kind::Close, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Reset() {
    return Add({Kind::Reset, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::StopReading() {
    return Add({Kind::StopReading, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Pasv(std::string format, std::string namedAddress) {
    return Add({Kind::Pasv, std::move(format), std::move(namedAddress), {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::PasvListenOnly() {
    return Add({Kind::PasvListenOnly, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataOpen() {
    return Add({Kind::DataOpen, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataSend(std::string bytes) {
    return Add({Kind::DataSend, std::move(bytes), {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataSegments(std::vector<std::string> pieces) {
    return Add({Kind::DataSegments, {}, {}, std::move(pieces), {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataReceiveAll() {
    return Add({Kind::DataReceiveAll, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataClose() {
    return Add({Kind::DataClose, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataReset() {
    return Add({Kind::DataReset, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::StartTls() {
    return Add({Kind::StartTls, {}, {}, {}, {}});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::AwaitClientHello() {
    return Add({Kind::AwaitClientHello, {}, {}, {}, {}});
}

// --- FakeFtpServer ---

FakeFtpServer::FakeFtpServer() : impl_(std::make_unique<Impl>(AF_INET)) {}

FakeFtpServer::FakeFtpServer(std::string_view loopbackAddress)
    : impl_(std::make_unique<Impl>(loopbackAddress == "::1" ? AF_INET6 : AF_INET)) {}
FakeFtpServer::~FakeFtpServer() = default;

std::uint16_t FakeFtpServer::Port() const {
    return impl_->port;
}

FakeFtpServer::Actions FakeFtpServer::OnConnect() {
    return Actions(this, Actions::Target::OnConnect, {});
}
FakeFtpServer::Actions FakeFtpServer::Expect(std::string line) {
    return Actions(this, Actions::Target::Expect, std::move(line));
}
FakeFtpServer::Actions FakeFtpServer::ExpectVerb(std::string verb) {
    return Actions(this, Actions::Target::ExpectVerb, Upper(verb));
}
FakeFtpServer::Actions FakeFtpServer::OnVerb(std::string verb) {
    return Actions(this, Actions::Target::OnVerb, Upper(verb));
}
FakeFtpServer::Actions FakeFtpServer::Otherwise() {
    return Actions(this, Actions::Target::Otherwise, {});
}
FakeFtpServer::Actions FakeFtpServer::Now() {
    return Actions(this, Actions::Target::Now, {});
}

void FakeFtpServer::Commit(Actions::Target target, std::string key, std::vector<Step> steps) {
    std::lock_guard lock(impl_->mutex);
    switch (target) {
        case Actions::Target::Expect:
            impl_->script.push_back({false, std::move(key), std::move(steps)});
            break;
        case Actions::Target::ExpectVerb:
            impl_->script.push_back({true, std::move(key), std::move(steps)});
            break;
        case Actions::Target::OnVerb:
            impl_->fallbacks[key] = std::move(steps);
            break;
        case Actions::Target::Otherwise:
            impl_->otherwise = std::move(steps);
            break;
        case Actions::Target::OnConnect:
            impl_->greeting = std::move(steps);
            break;
        case Actions::Target::Now:
            if (!impl_->connected) {
                impl_->problems.push_back("Now() actions dropped: no control connection");
                break;
            }
            impl_->nowQueue.push_back(std::move(steps));
            impl_->Wake();
            break;
    }
    impl_->changed.notify_all();
}

void FakeFtpServer::SetTlsCertificate(std::filesystem::path certFile, std::filesystem::path keyFile) {
    std::lock_guard lock(impl_->mutex);
    impl_->tlsCertFile = std::move(certFile);
    impl_->tlsKeyFile = std::move(keyFile);
}

void FakeFtpServer::SetTlsVersions(int minVersion, int maxVersion) {
    std::lock_guard lock(impl_->mutex);
    impl_->tlsMinVersion = minVersion;
    impl_->tlsMaxVersion = maxVersion;
}

void FakeFtpServer::SetSegmentPause(Ms pause) {
    std::lock_guard lock(impl_->mutex);
    impl_->segmentPause = pause;
}

void FakeFtpServer::SetActionTimeout(Ms timeout) {
    std::lock_guard lock(impl_->mutex);
    impl_->actionTimeout = timeout;
}

FakeFtpServer::Ms FakeFtpServer::ActionTimeout() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->actionTimeout;
}

namespace {
template <typename T, typename Impl>
T Copy(const Impl& impl, const T& value) {
    std::lock_guard lock(impl.mutex);
    return value;
}
}  // namespace

std::string FakeFtpServer::ControlBytes() const {
    return Copy(*impl_, impl_->controlBytes);
}
std::vector<std::size_t> FakeFtpServer::UrgentOffsets() const {
    return Copy(*impl_, impl_->urgentOffsets);
}
std::vector<std::string> FakeFtpServer::Commands() const {
    return Copy(*impl_, impl_->commands);
}
std::vector<std::string> FakeFtpServer::DataReceived() const {
    return Copy(*impl_, impl_->dataReceived);
}
std::size_t FakeFtpServer::DataBytesSent() const {
    return Copy(*impl_, impl_->dataBytesSent);
}
int FakeFtpServer::ConnectionsAccepted() const {
    return Copy(*impl_, impl_->accepted);
}
int FakeFtpServer::ConnectionsClosed() const {
    return Copy(*impl_, impl_->closed);
}
int FakeFtpServer::DataConnectionsOpened() const {
    return Copy(*impl_, impl_->dataOpened);
}
std::uint16_t FakeFtpServer::PasvPort() const {
    return Copy(*impl_, impl_->pasvPort);
}
std::string FakeFtpServer::LastPortTarget() const {
    return Copy(*impl_, impl_->lastPortTarget);
}
std::vector<std::string> FakeFtpServer::Problems() const {
    return Copy(*impl_, impl_->problems);
}
int FakeFtpServer::TlsHandshakes() const {
    return Copy(*impl_, impl_->tlsHandshakes);
}
std::string FakeFtpServer::TlsVersion() const {
    return Copy(*impl_, impl_->tlsVersion);
}
std::vector<std::string> FakeFtpServer::TlsErrors() const {
    return Copy(*impl_, impl_->tlsErrors);
}

bool FakeFtpServer::ScriptDone() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->script.empty() && !impl_->busy && impl_->pendingCommands.empty() && impl_->nowQueue.empty();
}

bool FakeFtpServer::WaitForCommand(std::string_view text, Ms timeout) {
    bool byVerb = text.find(' ') == std::string_view::npos;
    std::string verb = Upper(text);
    return impl_->WaitUntil(timeout, [&] {
        for (const std::string& line : impl_->commands) {
            if (line == text || (byVerb && VerbOf(line) == verb)) {
                return true;
            }
        }
        return false;
    });
}

bool FakeFtpServer::WaitForCommandCount(std::size_t n, Ms timeout) {
    return impl_->WaitUntil(timeout, [&] { return impl_->commands.size() >= n; });
}

bool FakeFtpServer::WaitForControlBytes(std::size_t n, Ms timeout) {
    return impl_->WaitUntil(timeout, [&] { return impl_->controlBytes.size() >= n; });
}

bool FakeFtpServer::WaitForConnection(int n, Ms timeout) {
    return impl_->WaitUntil(timeout, [&] { return impl_->accepted >= n; });
}

bool FakeFtpServer::WaitForClose(Ms timeout) {
    return impl_->WaitUntil(timeout, [&] { return impl_->accepted > 0 && impl_->closed >= impl_->accepted; });
}

bool FakeFtpServer::WaitForDataReceived(std::size_t n, Ms timeout) {
    return impl_->WaitUntil(timeout, [&] { return impl_->dataReceived.size() >= n; });
}

bool FakeFtpServer::WaitForScriptDone(Ms timeout) {
    return impl_->WaitUntil(timeout, [&] {
        return impl_->script.empty() && !impl_->busy && impl_->pendingCommands.empty() &&
               impl_->nowQueue.empty();
    });
}

bool FakeFtpServer::WaitForTlsHandshake(int n, Ms timeout) {
    impl_->WaitUntil(timeout,
                     [&] { return impl_->tlsHandshakes + static_cast<int>(impl_->tlsErrors.size()) >= n; });
    return TlsHandshakes() >= n;
}

std::string FakeFtpServer::FormatPasv(std::string_view format, std::string_view namedAddress,
                                      std::uint16_t port) {
    std::string parts[4];
    std::size_t index = 0;
    for (char c : namedAddress) {
        if (c == '.') {
            if (++index == 4) {
                break;
            }
        } else {
            parts[index] += c;
        }
    }
    std::string text(format);
    text = Replace(text, "{h1}", parts[0]);
    text = Replace(text, "{h2}", parts[1]);
    text = Replace(text, "{h3}", parts[2]);
    text = Replace(text, "{h4}", parts[3]);
    text = Replace(text, "{p1}", std::to_string(port / 256));
    text = Replace(text, "{p2}", std::to_string(port % 256));
    text = Replace(text, "{port}", std::to_string(port));
    return text;
}
