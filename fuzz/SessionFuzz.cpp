// A whole session (login, directory change and listing, get, put, delete, abort, logoff) against a server
// whose every byte, on the control and the data connections, comes from the input. The session must end
// by itself within its time-outs, change nothing outside its download folder, send no line but the
// commands it logs, and leak nothing.
//
// Input: byte 0 holds flags (bit 0: passive mode, bit 1: Get in Image type, bit 2: the Remote page holds
// every directory in its cache), byte 1 the call of the session's views (a log line, a status, a progress
// step) at which the user presses Escape (0: never); the rest are the server's answers, one per command
// (the greeting first), separated by 0x01. In an answer, 0x02 separates the control bytes sent first, the
// bytes then sent on the data connection (the one the client opens after PASV, or one opened to the
// client after PORT) and the control bytes sent after the data connection was closed. "{p}" in an answer
// becomes the data listener as a PASV reply names it. WISP_FUZZ_TRACE=1 prints the session's log, for
// checking what a seed does.
//
// Speed: one thread, no sleeping. The session runs without a worker on the fuzzing thread, and the server
// takes its turn whenever the session calls its views: a command is answered when the session logs it
// (just before sending it), a passive data connection is served at the first call after the client
// connected, and the control connection is made, accepted and greeted the moment the session has created
// its socket (the session's own connect then finds it done). So when the session waits and nothing is
// ready, nothing will be: the wait can only end by its time-out, and it does so at once in virtual time
// (see VirtualTime below). An input costs only the CPU it takes, and takes the same path however loaded
// the machine is.
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/FtpContext.h"
#include "engine/FtpSession.h"
#include "engine/FtpSessionHandle.h"
#include "hosts/FtpUrl.h"
#include "listing/RemoteEntry.h"
#include "support/FtpSessionTesting.h"
#include "views/NullViews.h"

namespace fs = std::filesystem;

namespace {

// Virtual: a time-out costs nothing however long it is. Long enough that no CPU time spent after a user's
// abort eats the abort's grace (which is as long), short enough that a wait watching another connection
// looks at it only a few times.
constexpr int kTimeoutMs = 100;
// Real time: far beyond the CPU one session takes; only a wait without a bound gets there.
constexpr std::int64_t kSessionBoundMs = 5000;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "SessionFuzz: %s\n", what);
    std::abort();
}

// A descriptor closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int Get() const { return fd_; }

  private:
    int fd_;
};

// Virtual time for the session's waits. poll and clock_gettime are wrapped (this program's definitions
// come before the C library's): on the fuzzing thread, while a session runs, a poll that finds nothing
// ready returns at once as timed out, and the monotonic clock (std::chrono::steady_clock) moves on by the
// whole wait. The session then takes the same path as after a real time-out, without the sleep, which was
// more than half of each input's time. Everyone else, and this thread between sessions, gets the system's
// calls unchanged.
class VirtualTime {
  public:
    using Poll = int (*)(pollfd*, nfds_t, int);
    using Clock = int (*)(clockid_t, timespec*);

    static Poll RealPoll() {
        static const auto real = reinterpret_cast<Poll>(::dlsym(RTLD_NEXT, "poll"));
        return real;
    }
    static Clock RealClock() {
        static const auto real = reinterpret_cast<Clock>(::dlsym(RTLD_NEXT, "clock_gettime"));
        return real;
    }
    static bool On() { return on_; }
    static std::int64_t SkippedNs() { return skippedNs_; }
    // A wait of `ms` (negative: without a bound, moved on by a second at a time until the watchdog ends
    // the run) that nothing could end has passed.
    static void Skip(int ms) { skippedNs_ += std::int64_t{ms >= 0 ? ms : 1000} * 1'000'000; }

    // Virtual time for as long as it lives.
    class Session {
      public:
        Session() { on_ = true; }
        ~Session() { on_ = false; }
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;
    };

    // Fails the run unless a wait on a pipe nobody writes to returns at once with the clock a second on:
    // without the wrapping every stalled input would sleep out its time-outs.
    static void Check() {
        int ends[2];
        if (::pipe(ends) != 0) {
            Fail("no pipe");
        }
        const Fd reader(ends[0]);
        const Fd writer(ends[1]);
        const auto before = std::chrono::steady_clock::now();
        bool timedOut = false;
        {
            const Session session;
            const auto start = std::chrono::steady_clock::now();
            pollfd wait{reader.Get(), POLLIN, 0};
            timedOut = ::poll(&wait, 1, 1000) == 0 &&
                       std::chrono::steady_clock::now() - start >= std::chrono::seconds(1);
        }
        if (!timedOut || std::chrono::steady_clock::now() - before > std::chrono::milliseconds(500)) {
            Fail("virtual time is not in effect");
        }
    }

  private:
    static thread_local bool on_;
    static thread_local std::int64_t skippedNs_;
};

thread_local bool VirtualTime::on_ = false;
thread_local std::int64_t VirtualTime::skippedNs_ = 0;

// Every connection of the server closes with a reset (SO_LINGER 0, set on the listeners, whose connections
// inherit it, and on the connections it makes), as thousands of connections a second must leave no
// TIME_WAIT behind, which would use up the loopback's ports for everyone on the machine. Where the client
// must read what was sent and then the end, the end (shutdown) goes out first: a peer's receive queue
// keeps both, and the reset only frees the two sides.
void SetResetOnClose(int fd, bool reset) {
    const linger option{reset ? 1 : 0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

// Sends what the connection takes now. The client reads only once the server's turn is over, so waiting
// for room could only wait for nothing; a server that cannot get rid of its bytes just drops them.
void SendNow(int fd, std::string_view bytes) {
    while (fd >= 0 && !bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A listener that never blocks: the server only ever takes connections that are already there.
// Connections taken from it close with a reset; `control`: they also send each piece of the script at once
// (with Nagle's wait a second small piece would sit until the client acknowledges the first, which it
// delays past its time-outs) and keep the urgent Telnet DM before an ABOR in its place in the stream.
class Listener {
  public:
    explicit Listener(bool control) {
        fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        const int on = 1;
        if (fd_.Get() >= 0) {
            SetResetOnClose(fd_.Get(), true);
            if (control) {
                ::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                ::setsockopt(fd_.Get(), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
            }
        }
        if (fd_.Get() < 0 || ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_.Get(), 64) != 0 ||
            ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            Fail("no loopback listener");
        }
        port_ = ntohs(address.sin_port);
    }
    std::uint16_t Port() const { return port_; }
    Fd Accept() const { return Fd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)); }

  private:
    Fd fd_;
    std::uint16_t port_ = 0;
};

// Starts a connect on `fd` without waiting: on loopback the handshake is over when it returns.
bool StartConnect(int fd, std::uint16_t port) {
    const sockaddr_in address = Loopback(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
           errno == EINPROGRESS;
}

// A connection to a loopback port that is listening.
Fd ConnectTo(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.Get() < 0) {
        return Fd();
    }
    SetResetOnClose(fd.Get(), true);
    if (!StartConnect(fd.Get(), port)) {
        return Fd();
    }
    pollfd ready{fd.Get(), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (VirtualTime::RealPoll()(&ready, 1, 50) != 1 ||
        ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        return Fd();
    }
    return fd;
}

// The port of "PORT 127,0,0,1,p1,p2"; 0 for anything else (only loopback is ever connected to).
std::uint16_t PortTarget(std::string_view command) {
    unsigned h[4] = {}, p[2] = {};
    const std::string text(command);
    if (std::sscanf(text.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6 ||
        h[0] != 127 || h[1] != 0 || h[2] != 0 || h[3] != 1 || p[0] > 255 || p[1] > 255) {
        return 0;
    }
    return static_cast<std::uint16_t>(p[0] * 256 + p[1]);
}

// The parts of one answer: before the data, on the data connection (none: the server never touches it),
// after the data connection is closed.
struct AnswerParts {
    std::string_view before;
    std::optional<std::string_view> data;
    std::string_view after;
};

AnswerParts Split(std::string_view answer) {
    const std::size_t first = answer.find('\x02');
    if (first == std::string_view::npos) {
        return {answer, std::nullopt, {}};
    }
    const std::size_t second = answer.find('\x02', first + 1);
    const std::string_view data = answer.substr(
        first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1);
    return {answer.substr(0, first), data,
            second == std::string_view::npos ? std::string_view() : answer.substr(second + 1)};
}

// Aborts the run when one session outlives its bound: every wait of a session is bounded, so it must end
// by itself, and one that hangs would otherwise hold the fuzzer until libFuzzer's own time-out.
class Watchdog {
  public:
    Watchdog() {
        std::thread([this] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                const std::int64_t started = started_.load();
                if (started != 0 && NowMs() - started > kSessionBoundMs) {
                    Fail("the session did not end within its bound");
                }
            }
        }).detach();
    }
    void Start() { started_ = NowMs(); }
    void Stop() { started_ = 0; }

  private:
    std::atomic<std::int64_t> started_{0};
};

// Serves one session from its answers, on the fuzzing thread, whenever the session calls its views.
class ScriptedServer {
  public:
    // `answers` point into the input, which outlives the server.
    ScriptedServer(std::vector<std::string_view> answers, const Listener& control, const Listener& data)
        : answers_(std::move(answers)), controlListener_(control), dataListener_(data) {}

    // The session logged a command it is about to send.
    void OnCommand(BufferedSocket& client, std::string_view command) {
        Pump(client);
        logged_.append(command);
        logged_ += '\n';  // a command never holds one: the session refuses those
        if (pending_) {
            // The client never connected for the last transfer: the server gives up on it and sends what
            // follows the data, as after an accept that timed out.
            SendNow(control_.Get(), pending_->after);
            pending_.reset();
        }
        EndUpload();
        if (announced_) {
            ResetWaitingConnections();
        }
        if (next_ >= answers_.size()) {
            // Out of answers: the server goes away and the session ends. A plain close, as a server's (all
            // read first, or the close would be a reset): the command that follows it is answered by a
            // reset, which leaves no TIME_WAIT either.
            ReadCommands();
            SetResetOnClose(control_.Get(), false);
            control_.Reset();
            return;
        }
        Answer(answers_[next_++], command);
    }

    // Any other call of the session: what is due now is done. `client` is the session's control
    // connection. Each call costs system calls only for what is under way, as there are thousands of calls
    // a second; the commands wait in the connection's buffer (a session sends a few kilobytes at most)
    // until the server goes away or the session ends.
    void Pump(BufferedSocket& client) {
        // The client has taken these connections and the end of their data by now (a passive one was
        // connected, an active one accepted, before the session's next call): the reset frees both sides,
        // and the client still reads what was sent and then the end.
        ended_.clear();
        if (!controlTaken_ && client.IsOpen()) {
            TakeControl(client);
        }
        ServePending();
        DrainUpload();
    }

    // After the session: the last commands are checked and every connection is reset.
    void Finish() {
        ReadCommands();
        ended_.clear();
        pending_.reset();
        EndUpload();
        if (announced_) {
            ResetWaitingConnections();
        }
        control_.Reset();
    }

  private:
    // Views into the input, or into named_.
    struct Transfer {
        std::string_view data;
        std::string_view after;
        bool upload = false;
    };

    // The session has created its control socket and is about to connect it. The server connects it
    // first (the session's connect then finds the connection made), accepts it and sends the greeting:
    // the session reads right after connecting, with no call in between that would give the server its
    // turn.
    void TakeControl(BufferedSocket& client) {
        controlTaken_ = true;
        int blocking = 0;
        int nonBlocking = 1;
        const bool started = ::ioctl(client.Handle(), FIONBIO, &nonBlocking) == 0 &&
                             StartConnect(client.Handle(), controlListener_.Port());
        ::ioctl(client.Handle(), FIONBIO, &blocking);
        control_ = controlListener_.Accept();
        if (!started || control_.Get() < 0) {
            Fail("the control connection could not be made");
        }
        // No data connection can exist yet: the parts around the data go out one after the other.
        const AnswerParts greeting = Split(answers_.front());
        SendNow(control_.Get(), greeting.before);
        SendNow(control_.Get(), greeting.after);
    }

    void Answer(std::string_view scripted, std::string_view command) {
        const std::string_view verb = command.substr(0, command.find(' '));
        if (verb == "PASV") {
            passiveOpen_ = true;
            activePort_ = 0;
        } else if (verb == "PORT") {
            activePort_ = PortTarget(command);
        }
        const std::size_t token = scripted.find("{p}");
        if (token != std::string_view::npos && passiveOpen_) {
            announced_ = true;
            const std::uint16_t port = dataListener_.Port();
            named_ = scripted;
            named_.replace(token, 3,
                           "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256));
            scripted = named_;
        }
        const AnswerParts parts = Split(scripted);
        SendNow(control_.Get(), parts.before);
        if (!parts.data) {
            return;
        }
        const bool upload = verb == "STOR";
        if (activePort_ != 0) {
            Fd connection = ConnectTo(activePort_);
            Serve(connection, *parts.data, upload);
            SendNow(control_.Get(), parts.after);
        } else if (passiveOpen_) {
            // The client connects after sending the command; the first call after that serves it.
            pending_ = Transfer{*parts.data, parts.after, upload};
            ServePending();
        } else {
            SendNow(control_.Get(), parts.after);
        }
        activePort_ = 0;
        passiveOpen_ = false;
    }

    void Serve(Fd& connection, std::string_view data, bool upload) {
        // A data connection gets one send and its end, which goes out at once: no need for TCP_NODELAY.
        SendNow(connection.Get(), data);
        if (upload) {
            upload_ = std::move(connection);  // read as it arrives, until the client closes
        } else if (connection.Get() >= 0) {
            ::shutdown(connection.Get(), SHUT_WR);  // the end of the data
            ended_.push_back(std::move(connection));
        }
    }

    void ServePending() {
        if (!pending_) {
            return;
        }
        Fd connection = dataListener_.Accept();
        char peek = 0;
        while (connection.Get() >= 0 && ::recv(connection.Get(), &peek, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            // An earlier connection the client has given up on (closed): the reset frees its side. Sending
            // the data and the end there would leave it in TIME_WAIT.
            connection = dataListener_.Accept();
        }
        if (connection.Get() < 0) {
            return;
        }
        EndUpload();
        Serve(connection, pending_->data, pending_->upload);
        SendNow(control_.Get(), pending_->after);
        pending_.reset();
    }

    void DrainUpload() {
        char buffer[4096];
        while (upload_.Get() >= 0) {
            const ssize_t got = ::recv(upload_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == static_cast<ssize_t>(sizeof buffer)) {
                continue;
            }
            if (got > 0) {
                return;  // all there is for now; the end, if it came, is seen at the next look
            }
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                upload_.Reset();  // the client closed it first; the reset frees its side
            }
            return;
        }
    }

    void EndUpload() {
        DrainUpload();
        upload_.Reset();
    }

    // Connections to the data listener that nothing will serve any more (the answer had no data part, or
    // the transfer was given up on).
    void ResetWaitingConnections() {
        announced_ = false;
        while (dataListener_.Accept().Get() >= 0) {
            // each closes with a reset as it goes
        }
    }

    // Takes what the client sent on the control connection and checks each whole line.
    void ReadCommands() {
        char buffer[4096];
        while (control_.Get() >= 0) {
            const ssize_t got = ::recv(control_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got <= 0) {
                break;
            }
            received_.append(buffer, static_cast<std::size_t>(got));
            if (static_cast<std::size_t>(got) < sizeof buffer) {
                break;  // all there is: nobody else writes while this thread reads
            }
        }
        for (std::size_t end = received_.find("\r\n"); end != std::string::npos;
             end = received_.find("\r\n")) {
            CheckLine(std::string_view(received_).substr(0, end));
            received_.erase(0, end + 2);
        }
    }

    // Every line on the wire is the next command the session logged: nothing was injected, and the log
    // shows what went out. An ABOR may be logged without going out, when its request ended first.
    void CheckLine(std::string_view line) {
        while (line.size() >= 2 && line[0] == '\xff' && (line[1] == '\xf4' || line[1] == '\xf2')) {
            line.remove_prefix(2);  // the Telnet IP and DM before an urgent ABOR
        }
        std::string_view next = NextLogged();
        while (next == "ABOR" && line != "ABOR") {
            next = NextLogged();
        }
        if (loggedAt_ > logged_.size() || !Matches(next, line)) {
            Fail("the session sent a line it did not log");
        }
    }

    // The next command logged and not yet seen on the wire; past the end when there is none.
    std::string_view NextLogged() {
        const std::size_t end = logged_.find('\n', loggedAt_);
        if (end == std::string::npos) {
            loggedAt_ = logged_.size() + 1;
            return {};
        }
        const std::string_view next = std::string_view(logged_).substr(loggedAt_, end - loggedAt_);
        loggedAt_ = end + 1;
        return next;
    }

    static bool Matches(std::string_view logged, std::string_view sent) {
        // The log shows a password as one star per character.
        constexpr std::string_view kPass = "PASS ";
        if (logged.substr(0, kPass.size()) == kPass) {
            return sent.substr(0, kPass.size()) == kPass && sent.size() == logged.size();
        }
        return logged == sent;
    }

    std::vector<std::string_view> answers_;
    // The last answer that named the data listener, as sent: a pending transfer may point into it.
    std::string named_;
    std::size_t next_ = 1;  // the greeting goes out with the connection
    const Listener& controlListener_;
    const Listener& dataListener_;
    bool controlTaken_ = false;
    Fd control_;
    std::string received_;
    // The commands the session logged, each ended by a line feed, and where the next to be seen begins.
    std::string logged_;
    std::size_t loggedAt_ = 0;
    bool passiveOpen_ = false;
    // The data listener was named to the client since the last look for connections nobody serves.
    bool announced_ = false;
    std::uint16_t activePort_ = 0;
    std::optional<Transfer> pending_;
    Fd upload_;
    // Data connections whose end went out, reset at the session's next call.
    std::vector<Fd> ended_;
};

// The download folder and the file the session uploads, inside a folder of their own in which nothing
// else may change. A watch on both sees every name made there, so that an input costs one read instead of
// two directory scans (a scan's buffer alone is tens of kilobytes of fresh memory for ASan to fill).
class Folders {
  public:
    Folders() {
        // In memory where the system has a folder for it: thousands of downloads a second are created,
        // truncated and removed there.
        std::error_code ec;
        const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                                  ? fs::path("/dev/shm")
                                  : fs::temp_directory_path();
        std::string pattern = (base / "wisp-session-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            Fail("no temporary folder");
        }
        root_ = pattern;
        downloads_ = root_ / "downloads";
        upload_ = root_ / "upload.txt";
        fs::create_directory(downloads_);
        std::ofstream(upload_) << "upload\r\nbytes\n";
        watch_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        rootWatch_ =
            ::inotify_add_watch(watch_.Get(), root_.c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_MODIFY | IN_ATTRIB);
        downloadsWatch_ = ::inotify_add_watch(watch_.Get(), downloads_.c_str(), IN_CREATE | IN_MOVED_TO);
        if (rootWatch_ < 0 || downloadsWatch_ < 0) {
            Fail("no watch on the temporary folder");
        }
    }
    ~Folders() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;

    const fs::path& Downloads() const { return downloads_; }
    const fs::path& Upload() const { return upload_; }

    // After a session: nothing may have changed outside the download folder (no name may climb out of
    // it); what the session made in it is removed for the next one.
    void CheckAndClear() {
        alignas(inotify_event) char buffer[4096];
        bool overflow = false;
        for (ssize_t got = ::read(watch_.Get(), buffer, sizeof buffer); got > 0;
             got = ::read(watch_.Get(), buffer, sizeof buffer)) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    overflow = true;
                } else if (event->wd == rootWatch_) {
                    Fail("something changed outside the download folder");
                } else if (event->wd == downloadsWatch_ && event->len > 0) {
                    std::error_code ec;
                    fs::remove_all(downloads_ / event->name, ec);
                }
            }
        }
        if (overflow) {
            // The watch lost track: a scan of both folders tells what a name made there would.
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(root_, ec)) {
                if (entry.path() != downloads_ && entry.path() != upload_) {
                    Fail("something changed outside the download folder");
                }
            }
            for (const auto& entry : fs::directory_iterator(downloads_, ec)) {
                fs::remove_all(entry.path(), ec);
            }
        }
    }

  private:
    fs::path root_;
    fs::path downloads_;
    fs::path upload_;
    Fd watch_;
    int rootWatch_ = -1;
    int downloadsWatch_ = -1;
};

// The Remote page and the user as far as the session needs them: the user's requests come once the
// session has begun its first listing, and the user's Escape at a chosen call. Every call gives the server
// its turn first.
class FuzzViews : public NullViews {
  public:
    FuzzViews(ScriptedServer& server, const Folders& folders, std::uint8_t flags, int abortAtCall)
        : server_(server), folders_(folders), flags_(flags), abortAtCall_(abortAtCall) {
        trace_ = std::getenv("WISP_FUZZ_TRACE") != nullptr;
    }
    // The session's control connection, whose socket the server connects.
    void Attach(FtpSession& session) { client_ = &FtpSessionTesting::Context(session).Control(); }

    void SetStatus(std::optional<std::string_view>) override { Turn(); }
    void SetProgress(int) override { Turn(); }
    void LogMessage(std::string_view line) override {
        Trace("  ", line);
        Turn();
    }
    void LogTraffic(std::string_view line) override {
        Trace("", line);
        if (line.find('\r') != std::string_view::npos) {
            Fail("a traffic line holds a CR");  // a reply line never holds the CR that ended it
        }
        if (!line.empty() && line.front() == '<') {
            server_.OnCommand(*client_, line.substr(1));
            UserTurn();
        } else {
            Turn();
        }
    }
    using RemoteView::ShowFailure;
    void ShowFailure(SessionFailure what, std::string_view) override {
        if (what == SessionFailure::Connect) {
            Fail("the session could not connect to the scripted server");
        }
    }
    void ResetForSession(std::shared_ptr<FtpSessionHandle> session) override {
        handle_ = std::move(session);
        requestsDue_ = true;
    }
    void ResetAfterSession() override { handle_.reset(); }
    bool EnterDirectory(std::string_view) override { return (flags_ & 4) != 0; }
    RemoteEntry EntryAt(int index) override {
        static const RemoteEntry kEntries[] = {RemoteEntry("a.txt", 5, 0), RemoteEntry("../escape.txt", 5, 0),
                                               RemoteEntry("sub/b.bin", 5, 0), RemoteEntry("c d", 5, 0)};
        if (index < 0 || index >= static_cast<int>(std::size(kEntries))) {
            return RemoteEntry();
        }
        return kEntries[index];
    }

  private:
    void Trace(std::string_view indent, std::string_view line) const {
        if (trace_) {
            std::fprintf(stderr, "%3d %.*s%.*s\n", calls_ + 1, static_cast<int>(indent.size()), indent.data(),
                         static_cast<int>(line.size()), line.data());
        }
    }

    void Turn() {
        server_.Pump(*client_);
        UserTurn();
    }

    // After the server's turn, the user's: the requests once the session has begun, and the Escape at the
    // chosen call (a log line, a status or a progress step: also in the middle of a transfer).
    void UserTurn() {
        if (requestsDue_ && handle_) {
            requestsDue_ = false;
            std::unique_ptr<FtpRequestObject> get =
                std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0, 1, 2, 3});
            handle_->Enqueue(FtpRequestKind::Get, folders_.Downloads().string(), get, flags_ >> 1 & 1);
            std::unique_ptr<FtpRequestObject> put =
                std::make_unique<DroppedFiles>(std::vector<std::string>{folders_.Upload().string()});
            handle_->Enqueue(FtpRequestKind::Put, "", put, kImageType);
            std::unique_ptr<FtpRequestObject> dele =
                std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{3, 0});
            handle_->Enqueue(FtpRequestKind::Delete, "", dele, 0);
            handle_->Enqueue(FtpRequestKind::UpOneLevel);
            handle_->Enqueue(FtpRequestKind::Logoff);
        }
        if (++calls_ == abortAtCall_ && handle_) {
            // The Escape flushes the queue, Logoff included; then the user logs off again. Its own calls of
            // the views come back here, past the chosen one.
            handle_->Abort();
            handle_->Enqueue(FtpRequestKind::Logoff);
        }
    }

    ScriptedServer& server_;
    const Folders& folders_;
    const std::uint8_t flags_;
    const int abortAtCall_;
    bool trace_ = false;
    BufferedSocket* client_ = nullptr;
    int calls_ = 0;
    bool requestsDue_ = false;
    std::shared_ptr<FtpSessionHandle> handle_;
};

std::vector<std::string_view> SplitAnswers(std::string_view bytes) {
    std::vector<std::string_view> answers;
    for (;;) {
        const std::size_t cut = bytes.find('\x01');
        answers.emplace_back(bytes.substr(0, cut));
        if (cut == std::string_view::npos) {
            return answers;
        }
        bytes.remove_prefix(cut + 1);
    }
}

// What lives as long as the fuzzer: the watchdog's thread and the two listeners.
struct Fixture {
    Watchdog watchdog;
    Listener control{true};
    Listener data{false};
};

}  // namespace

extern "C" int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    if (!VirtualTime::On() || timeoutMs == 0) {
        return VirtualTime::RealPoll()(fds, count, timeoutMs);
    }
    const int ready = VirtualTime::RealPoll()(fds, count, 0);
    if (ready == 0) {
        VirtualTime::Skip(timeoutMs);
    }
    return ready;
}

extern "C" int clock_gettime(clockid_t clock, timespec* time) {
    const int result = VirtualTime::RealClock()(clock, time);
    if (result == 0 && clock == CLOCK_MONOTONIC && VirtualTime::On()) {
        const std::int64_t ns = time->tv_nsec + VirtualTime::SkippedNs();
        time->tv_sec += static_cast<time_t>(ns / 1'000'000'000);
        time->tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    return result;
}

// libFuzzer's entropic schedule (clang 14) walks its list of rare features for most features of every
// run, and a session touches some 25,000: measured, that bookkeeping took about as much CPU as the sessions
// themselves, and the same minute without it runs 1.6 to 2 times as many inputs and covers as much. So it
// is off unless the command line names it.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> arguments(*argv, *argv + *argc);
    static char entropicOff[] = "-entropic=0";
    for (const char* argument : arguments) {
        if (std::string_view(argument).substr(0, 9) == "-entropic") {
            return 0;
        }
    }
    arguments.insert(arguments.begin() + 1, entropicOff);
    *argc = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    *argv = arguments.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 16 * 1024) {
        return 0;
    }
    static Fixture* const fixture = [] {
        VirtualTime::Check();
        return new Fixture;  // never destroyed: its thread runs to the end
    }();
    static Folders folders;  // removed at the end of the run
    ScriptedServer server(SplitAnswers(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2)),
                          fixture->control, fixture->data);
    FuzzViews views(server, folders, data[0], data[1]);
    TestSessionOptions options;
    options.passive = (data[0] & 1) != 0;
    options.controlTimeoutMs = kTimeoutMs;
    options.dataTimeoutMs = kTimeoutMs;
    FtpUrl url;
    if (!ParseUrl(url, "ftp://127.0.0.1:" + std::to_string(fixture->control.Port()) + "/pub/dir")) {
        Fail("the session's URL does not parse");
    }
    std::unique_ptr<FtpSession> session = FtpSessionTesting::CreateWithoutWorker(url, views.Views(), options);
    const std::shared_ptr<FtpSessionHandle> handle = session->Handle();
    views.Attach(*session);
    fixture->watchdog.Start();
    {
        const VirtualTime::Session virtualTime;
        FtpSessionTesting::RunOnThisThread(std::move(session));
    }
    fixture->watchdog.Stop();
    if (!handle->HasEnded()) {
        Fail("the session did not end");
    }
    server.Finish();
    folders.CheckAndClear();
    return 0;
}
