#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "platform/Resolver.h"
#include "platform/SocketError.h"

namespace {

bool SetBlocking(int fd, bool blocking) {
    int nonBlocking = blocking ? 0 : 1;
    return ioctl(fd, FIONBIO, &nonBlocking) == 0;
}

std::optional<SocketAddress> ToSocketAddress(const sockaddr_in& sa) {
    return SocketAddress{FormatIPv4(sa.sin_addr), ntohs(sa.sin_port)};
}

// WinSock names an operation on a socket that was never created (or is closed) WSAENOTSOCK.
bool RequireOpen(int fd) {
    if (fd < 0) {
        SetLastSocketError(wsa::kNotSocket);
        return false;
    }
    return true;
}

}  // namespace

Socket::~Socket() {
    Close();
}

void Socket::SetInterrupts(std::shared_ptr<SocketInterrupt> stop, std::shared_ptr<SocketInterrupt> abort) {
    stop_ = std::move(stop);
    abort_ = std::move(abort);
}

bool Socket::Create(std::uint16_t port, int type, std::string_view localAddress) {
    if (IsOpen()) {
        SetLastSocketError(wsa::kInvalidArgument);
        return false;
    }
    if (type != kStream) {
        SetLastSocketError(10044);  // WSAESOCKTNOSUPPORT
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!localAddress.empty()) {
        const auto parsed = ParseDottedIPv4(localAddress);
        if (!parsed) {
            SetLastSocketError(wsa::kInvalidArgument);
            return false;
        }
        local.sin_addr = *parsed;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        SetLastSocketErrorFromErrno(errno);
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || !SetBlocking(fd, true)) {
        SetLastSocketErrorFromErrno(errno);
        ::close(fd);
        return false;
    }
    fd_.store(fd, std::memory_order_release);
    return true;
}

namespace {
// How long a watch on the answers waits between looks once only a preliminary reply has come: the
// connection is then awaited as usual, but a final reply that follows still ends the wait soon.
constexpr int kAnswerRecheckMs = 50;

enum class Answers { Final, PreliminaryOnly };

// What waits on `fd` so far: Final when the peer has closed, or when a line starts with a refusal (4xx,
// 5xx) or a completion (2xx) before any line that is not a preliminary reply (1xx); PreliminaryOnly
// otherwise. `seen` is how many bytes were looked at.
Answers PeekAnswers(int fd, std::size_t& seen) {
    char bytes[1024];
    const ssize_t n = ::recv(fd, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
        return Answers::Final;
    }
    seen = n > 0 ? static_cast<std::size_t>(n) : 0;
    bool lineStart = true;
    for (std::size_t i = 0; i < seen; ++i) {
        if (lineStart) {
            const char first = bytes[i];
            if (first == '2' || first == '4' || first == '5') {
                return Answers::Final;
            }
            if (first != '1') {
                return Answers::PreliminaryOnly;  // not a reply this watch understands; leave it
            }
        }
        lineStart = bytes[i] == '\n';
    }
    return Answers::PreliminaryOnly;
}
}  // namespace

Socket::WaitResult Socket::Wait(short events, int answersFd) {
    const int fd = Handle();
    if (fd < 0) {
        SetLastSocketError(wsa::kNotSocket);
        return WaitResult::Failed;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    bool preliminarySeen = false;
    for (;;) {
        if (Interrupted()) {
            return WaitResult::Failed;
        }
        std::array<pollfd, 4> fds{};
        nfds_t n = 0;
        fds[n++] = pollfd{fd, events, 0};
        for (const auto* interrupt : {stop_.get(), abort_.get()}) {
            if (interrupt != nullptr && interrupt->Fd() >= 0) {
                fds[n++] = pollfd{interrupt->Fd(), POLLIN, 0};
            }
        }
        const nfds_t interrupts = n;
        if (answersFd >= 0 && !preliminarySeen) {
            fds[n++] = pollfd{answersFd, POLLIN, 0};
        }
        int waitMs = -1;
        if (timeoutMs_ > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = left > 0 ? static_cast<int>(left) : 0;
        }
        if (preliminarySeen && (waitMs < 0 || waitMs > kAnswerRecheckMs)) {
            waitMs = kAnswerRecheckMs;
        }
        const int rc = poll(fds.data(), n, waitMs);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastSocketErrorFromErrno(errno);
            return WaitResult::Failed;
        }
        for (nfds_t i = 1; i < interrupts; ++i) {
            if (fds[i].revents != 0) {
                SetLastSocketError(wsa::kInterrupted);
                return WaitResult::Failed;
            }
        }
        // The socket first: a connection that came before the server's final reply is still taken.
        if (fds[0].revents != 0) {
            // Errors and hang-ups count as ready: the call that follows reports them with their own code.
            return WaitResult::Ready;
        }
        if (answersFd >= 0 && (preliminarySeen || (n > interrupts && fds[interrupts].revents != 0))) {
            std::size_t seen = 0;
            if (PeekAnswers(answersFd, seen) == Answers::Final) {
                SetLastSocketError(wsa::kConnectionRefused);
                return WaitResult::Answered;
            }
            // A preliminary reply: the connection may still come. The answers are looked at again now
            // and then, not polled, since the unread reply would wake every poll at once.
            preliminarySeen = true;
        }
        if (rc == 0 && timeoutMs_ > 0 && Clock::now() >= deadline) {
            SetLastSocketError(wsa::kTimedOut);
            return WaitResult::Failed;
        }
    }
}

bool Socket::Connect(std::string_view host, std::uint16_t port) {
    const int fd = Handle();
    if (fd < 0) {
        SetLastSocketError(wsa::kNotSocket);
        return false;
    }
    const auto address = ResolveIPv4(host);
    if (!address) {
        return false;  // the resolver stored the error
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr = *address;
    // Connect without blocking so that the wait can be bounded and interrupted, then back to blocking.
    if (!SetBlocking(fd, false)) {
        SetLastSocketErrorFromErrno(errno);
        return false;
    }
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            if (Wait(POLLOUT) == WaitResult::Failed) {
                SetBlocking(fd, true);
                return false;
            }
            socklen_t length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
    }
    SetBlocking(fd, true);
    if (error != 0) {
        SetLastSocketErrorFromErrno(error);
        return false;
    }
    return true;
}

bool Socket::Listen(int backlog) {
    if (!RequireOpen(Handle())) {
        return false;
    }
    if (::listen(Handle(), backlog) != 0) {
        SetLastSocketErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool Socket::Accept(Socket& peer) {
    bool refused = false;
    return AcceptWatching(peer, -1, refused);
}

bool Socket::Accept(Socket& peer, const Socket& answers, bool* refused) {
    bool answered = false;
    const bool accepted = AcceptWatching(peer, answers.Handle(), answered);
    if (refused != nullptr) {
        *refused = answered;
    }
    return accepted;
}

bool Socket::AcceptWatching(Socket& peer, int answersFd, bool& refused) {
    refused = false;
    if (!RequireOpen(Handle())) {
        return false;
    }
    if (peer.IsOpen()) {
        SetLastSocketError(wsa::kInvalidArgument);
        return false;
    }
    for (;;) {
        const WaitResult waited = Wait(POLLIN, answersFd);
        if (waited == WaitResult::Answered) {
            refused = true;
            return false;
        }
        if (waited == WaitResult::Failed) {
            return false;
        }
        const int fd = accept4(Handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            SetBlocking(fd, true);
            peer.fd_.store(fd, std::memory_order_release);
            return true;
        }
        // The connection may have gone again between the wake-up and the accept.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            SetLastSocketErrorFromErrno(errno);
            return false;
        }
    }
}

bool Socket::Interrupted() const {
    if ((stop_ && stop_->IsTriggered()) || (abort_ && abort_->IsTriggered())) {
        SetLastSocketError(wsa::kInterrupted);
        return true;
    }
    return false;
}

template <typename Io>
long Socket::RetryWhenReady(short events, Io io) {
    for (;;) {
        if (!IsOpen()) {
            SetLastSocketError(wsa::kNotSocket);
            return -1;
        }
        if (Interrupted()) {
            return -1;
        }
        const ssize_t done = io();
        if (done >= 0) {
            return static_cast<long>(done);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            SetLastSocketErrorFromErrno(errno);
            return -1;
        }
        if (Wait(events) == WaitResult::Failed) {
            return -1;
        }
    }
}

long Socket::Send(const void* data, std::size_t n, bool urgent) {
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (urgent ? MSG_OOB : 0);
    return RetryWhenReady(POLLOUT, [&] { return ::send(Handle(), data, n, flags); });
}

long Socket::Receive(void* data, std::size_t n) {
    // Data already waiting is taken without a poll; the wait only happens when there is none.
    return RetryWhenReady(POLLIN, [&] { return ::recv(Handle(), data, n, MSG_DONTWAIT); });
}

std::optional<int> Socket::BytesAvailable() {
    if (!RequireOpen(Handle())) {
        return std::nullopt;
    }
    int waiting = 0;
    if (ioctl(Handle(), FIONREAD, &waiting) != 0) {
        SetLastSocketErrorFromErrno(errno);
        return std::nullopt;
    }
    return waiting;
}

bool Socket::SetNoDelay(bool on) {
    if (!RequireOpen(Handle())) {
        return false;
    }
    const int value = on ? 1 : 0;
    if (setsockopt(Handle(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
        SetLastSocketErrorFromErrno(errno);
        return false;
    }
    return true;
}

std::optional<SocketAddress> Socket::LocalAddress() const {
    if (!RequireOpen(Handle())) {
        return std::nullopt;
    }
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (getsockname(Handle(), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetLastSocketErrorFromErrno(errno);
        return std::nullopt;
    }
    return ToSocketAddress(sa);
}

std::optional<SocketAddress> Socket::PeerAddress() const {
    if (!RequireOpen(Handle())) {
        return std::nullopt;
    }
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (getpeername(Handle(), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetLastSocketErrorFromErrno(errno);
        return std::nullopt;
    }
    return ToSocketAddress(sa);
}

void Socket::Close() {
    const int fd = fd_.exchange(-1, std::memory_order_acq_rel);
    if (fd >= 0) {
        ::close(fd);
    }
}
