// A whole session (login, directory change and listing, get, put, delete, abort, logoff) against a server
// whose every byte, on the control and the data connections, comes from the input. The session must end
// by itself within its time-outs, write nothing outside its download folder, and leak nothing.
//
// Input: byte 0 holds flags (bit 0: passive mode), byte 1 the traffic line at which the user aborts
// (0: never); the rest are the server's answers, one per command received (the greeting first), separated
// by 0x01. In an answer, 0x02 separates the control bytes sent first, the bytes then sent on the data
// connection (opened by accepting after PASV, by connecting after PORT) and the control bytes sent after
// the data connection was closed. "{p}" in an answer becomes the data listener as a PASV reply names it.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/FtpSession.h"
#include "engine/FtpSessionHandle.h"
#include "views/NullViews.h"
#include "listing/RemoteEntry.h"
#include "support/FtpSessionTesting.h"

namespace fs = std::filesystem;

namespace {

constexpr int kServerWaitMs = 20;
constexpr std::size_t kMaxUpload = 1 << 16;

// A descriptor closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
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

bool WaitFor(int fd, short events, int ms = kServerWaitMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) > 0;
}

void SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        if (!WaitFor(fd, POLLOUT)) {
            return;  // the client stopped reading; a hostile server would just go on
        }
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

int Listener(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::abort();
    }
    port = ntohs(address.sin_port);
    return fd;
}

int AcceptOne(int listener) {
    if (!WaitFor(listener, POLLIN)) {
        return -1;
    }
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

int ConnectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (!WaitFor(fd, POLLOUT)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The port of "PORT 127,0,0,1,p1,p2"; 0 for anything else (only loopback is ever connected to).
std::uint16_t PortTarget(const std::string& command) {
    unsigned h[4] = {}, p[2] = {};
    if (std::sscanf(command.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) !=
            6 ||
        h[0] != 127 || h[1] != 0 || h[2] != 0 || h[3] != 1 || p[0] > 255 || p[1] > 255) {
        return 0;
    }
    return static_cast<std::uint16_t>(p[0] * 256 + p[1]);
}

// Serves one control connection from the answers, then closes everything.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<std::string> answers) : answers_(std::move(answers)) {
        listener_.Reset(Listener(port_));
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        done_ = true;
        thread_.join();
    }
    std::uint16_t Port() const { return port_; }

  private:
    void Serve() {
        Fd control(AcceptOne(listener_.Get()));
        for (int i = 0; control.Get() < 0 && i < 50 && !done_; ++i) {
            control.Reset(AcceptOne(listener_.Get()));
        }
        if (control.Get() < 0) {
            return;
        }
        std::string pending;
        std::size_t next = 0;
        std::string verb = "greeting";
        std::string command;
        for (;;) {
            if (next >= answers_.size()) {
                return;  // out of answers: the server goes away and the session ends
            }
            Answer(control.Get(), answers_[next++], verb, command);
            // The next command line.
            for (;;) {
                const std::size_t lf = pending.find('\n');
                if (lf != std::string::npos) {
                    command = pending.substr(0, lf);
                    pending.erase(0, lf + 1);
                    while (!command.empty() && (command.back() == '\r' || command.front() == '\xff' ||
                                                command.front() == '\xf4' || command.front() == '\xf2')) {
                        if (command.back() == '\r') {
                            command.pop_back();
                        } else {
                            command.erase(0, 1);
                        }
                    }
                    verb = command.substr(0, command.find(' '));
                    break;
                }
                if (done_ || !WaitFor(control.Get(), POLLIN, 100)) {
                    return;
                }
                char buffer[1024];
                const ssize_t got = ::recv(control.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (got <= 0) {
                    return;
                }
                pending.append(buffer, static_cast<std::size_t>(got));
            }
        }
    }

    void Answer(int control, std::string answer, const std::string& verb, const std::string& command) {
        if (verb == "PASV") {
            passive_.Reset(Listener(dataPort_));
            activePort_ = 0;
        } else if (verb == "PORT") {
            activePort_ = PortTarget(command);
        }
        const std::size_t token = answer.find("{p}");
        if (token != std::string::npos && passive_.Get() >= 0) {
            answer.replace(
                token, 3,
                "127,0,0,1," + std::to_string(dataPort_ / 256) + "," + std::to_string(dataPort_ % 256));
        }
        const std::size_t first = answer.find('\x02');
        SendAll(control, std::string_view(answer).substr(0, first));
        if (first == std::string::npos) {
            return;
        }
        const std::size_t second = answer.find('\x02', first + 1);
        const std::string_view data = std::string_view(answer).substr(
            first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        Fd connection(activePort_ != 0 ? ConnectTo(activePort_)
                                       : (passive_.Get() >= 0 ? AcceptOne(passive_.Get()) : -1));
        if (connection.Get() >= 0) {
            SendAll(connection.Get(), data);
            if (verb == "STOR") {
                std::size_t received = 0;
                char buffer[4096];
                while (received < kMaxUpload && WaitFor(connection.Get(), POLLIN)) {
                    const ssize_t got = ::recv(connection.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
                    if (got <= 0) {
                        break;
                    }
                    received += static_cast<std::size_t>(got);
                }
            }
        }
        connection.Reset();
        passive_.Reset();
        activePort_ = 0;
        if (second != std::string::npos) {
            SendAll(control, std::string_view(answer).substr(second + 1));
        }
    }

    std::vector<std::string> answers_;
    Fd listener_;
    std::uint16_t port_ = 0;
    Fd passive_;
    std::uint16_t dataPort_ = 0;
    std::uint16_t activePort_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// The Remote page as far as the session needs it, and the user's Escape at a chosen traffic line.
class FuzzViews : public NullViews {
  public:
    explicit FuzzViews(int abortAtLine) : abortAtLine_(abortAtLine) {}
    void LogTraffic(std::string_view line) override {
        if (line.find('\r') != std::string_view::npos) {
            std::abort();  // a reply line never holds the CR that ended it
        }
        if (++lines_ == abortAtLine_) {
            std::shared_ptr<FtpSessionHandle> handle;
            {
                std::lock_guard lock(mutex_);
                handle = handle_;
            }
            if (handle) {
                // The user's Escape flushes the queue, Logoff included; then the user logs off again.
                handle->Abort();
                handle->Enqueue(FtpRequestKind::Logoff);
            }
        }
    }
    void ResetForSession(std::shared_ptr<FtpSessionHandle> session) override {
        std::lock_guard lock(mutex_);
        handle_ = std::move(session);
    }
    void ResetAfterSession() override {
        std::lock_guard lock(mutex_);
        handle_.reset();
    }
    RemoteEntry EntryAt(int index) override {
        static const char* const kNames[] = {"a.txt", "../escape.txt", "sub/b.bin", "c d"};
        if (index < 0 || index >= 4) {
            return RemoteEntry();
        }
        return RemoteEntry(kNames[index], 5, 0);
    }

  private:
    int abortAtLine_;
    int lines_ = 0;
    std::mutex mutex_;
    std::shared_ptr<FtpSessionHandle> handle_;
};

struct Folders {
    fs::path root;
    fs::path downloads;
    fs::path upload;
};

const Folders& TempFolders() {
    static const Folders folders = [] {
        std::string pattern = (fs::temp_directory_path() / "wisp-session-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        Folders f{pattern, fs::path(pattern) / "downloads", fs::path(pattern) / "upload.txt"};
        fs::create_directory(f.downloads);
        std::ofstream(f.upload) << "upload\r\nbytes\n";
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(TempFolders().root, ec);
        });
        return f;
    }();
    return folders;
}

std::vector<std::string> SplitAnswers(std::string_view bytes) {
    std::vector<std::string> answers;
    for (;;) {
        const std::size_t cut = bytes.find('\x01');
        answers.emplace_back(bytes.substr(0, cut));
        if (cut == std::string_view::npos) {
            return answers;
        }
        bytes.remove_prefix(cut + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 16 * 1024) {
        return 0;
    }
    const Folders& folders = TempFolders();
    ScriptedServer server(SplitAnswers(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2)));
    FuzzViews views(data[1]);
    TestSessionOptions options;
    options.passive = (data[0] & 1) != 0;
    options.controlTimeoutMs = 25;
    options.dataTimeoutMs = 25;
    auto handle = FtpSessionTesting::Start("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/pub/dir",
                                           views.Views(), options);
    std::unique_ptr<FtpRequestObject> get =
        std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0, 1, 2, 3});
    handle->Enqueue(FtpRequestKind::Get, folders.downloads.string(), get, data[0] >> 1 & 1);
    std::unique_ptr<FtpRequestObject> put =
        std::make_unique<DroppedFiles>(std::vector<std::string>{folders.upload});
    handle->Enqueue(FtpRequestKind::Put, "", put, kImageType);
    std::unique_ptr<FtpRequestObject> dele =
        std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{3, 0});
    handle->Enqueue(FtpRequestKind::Delete, "", dele, 0);
    handle->Enqueue(FtpRequestKind::UpOneLevel);
    handle->Enqueue(FtpRequestKind::Logoff);
    if (!handle->WaitEnded(std::chrono::seconds(20))) {
        std::abort();  // every wait of the session is bounded; it must end by itself
    }
    // Nothing may be written outside the download folder, and no name may climb out of it.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folders.root, ec)) {
        if (entry.path() != folders.downloads && entry.path() != folders.upload) {
            std::abort();
        }
    }
    for (const auto& entry : fs::directory_iterator(folders.downloads, ec)) {
        fs::remove_all(entry.path(), ec);
    }
    return 0;
}
