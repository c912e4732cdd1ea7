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
#include "platform/TlsConnection.h"
#include "platform/TlsContext.h"

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

Socket::Socket() = default;

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
// How long a watch on another connection waits between looks once it has decided to keep waiting on
// what came there: the connection is then awaited as usual, but what follows still ends the wait soon.
constexpr int kWatchRecheckMs = 50;
}  // namespace

Socket::WaitResult Socket::Wait(short events, const Socket* watched, const Watch* watch) {
    const int answersFd = watched != nullptr && watch != nullptr ? watched->Handle() : -1;
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
        if (preliminarySeen && (waitMs < 0 || waitMs > kWatchRecheckMs)) {
            waitMs = kWatchRecheckMs;
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
        // The socket first: a connection that came before the watch gave up is still taken.
        if (fds[0].revents != 0) {
            // Errors and hang-ups count as ready: the call that follows reports them with their own code.
            return WaitResult::Ready;
        }
        if (answersFd >= 0 && (preliminarySeen || (n > interrupts && fds[interrupts].revents != 0))) {
            char bytes[1024];
            const long got = watched->PeekWithoutWaiting(bytes, sizeof bytes);
            const std::string_view waiting(bytes, got > 0 ? static_cast<std::size_t>(got) : 0);
            if ((*watch)(waiting, got == 0) == WatchVerdict::GiveUp) {
                SetLastSocketError(wsa::kConnectionRefused);
                return WaitResult::Answered;
            }
            // Kept: what came there is looked at again now and then, not polled, since the unread bytes
            // would wake every poll at once.
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
    return AcceptWatching(peer, nullptr, nullptr, refused);
}

bool Socket::Accept(Socket& peer, const Socket& watched, const Watch& watch, bool* gaveUp) {
    bool answered = false;
    const bool accepted = AcceptWatching(peer, &watched, &watch, answered);
    if (gaveUp != nullptr) {
        *gaveUp = answered;
    }
    return accepted;
}

bool Socket::WaitReadable() {
    return Wait(POLLIN) == WaitResult::Ready;
}

bool Socket::AcceptWatching(Socket& peer, const Socket* watched, const Watch* watch, bool& refused) {
    refused = false;
    if (!RequireOpen(Handle())) {
        return false;
    }
    if (peer.IsOpen()) {
        SetLastSocketError(wsa::kInvalidArgument);
        return false;
    }
    for (;;) {
        const WaitResult waited = Wait(POLLIN, watched, watch);
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
    if (tls_) {
        return TlsRetry([&](std::size_t& count) { return tls_->Write(data, n, count); });
    }
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (urgent ? MSG_OOB : 0);
    return RetryWhenReady(POLLOUT, [&] { return ::send(Handle(), data, n, flags); });
}

long Socket::Receive(void* data, std::size_t n) {
    if (tls_) {
        auto* bytes = static_cast<char*>(data);
        const long first = TlsRetry([&](std::size_t& count) { return tls_->Read(bytes, n, count); });
        if (first <= 0) {
            return first;
        }
        // The library hands out one record (16 KiB at most) per call: take what else is ready without
        // waiting, so that a large block fills as a plain receive would. A close or a failure after
        // this is reported by the next receive.
        auto received = static_cast<std::size_t>(first);
        while (received < n) {
            std::size_t count = 0;
            if (tls_->Read(bytes + received, n - received, count) != TlsConnection::Step::Done) {
                break;
            }
            received += count;
        }
        return static_cast<long>(received);
    }
    // Data already waiting is taken without a poll; the wait only happens when there is none.
    return RetryWhenReady(POLLIN, [&] { return ::recv(Handle(), data, n, MSG_DONTWAIT); });
}

template <typename Step>
long Socket::TlsRetry(Step step) {
    for (;;) {
        if (!IsOpen()) {
            SetLastSocketError(wsa::kNotSocket);
            return -1;
        }
        if (Interrupted()) {
            return -1;
        }
        std::size_t count = 0;
        switch (step(count)) {
            case TlsConnection::Step::Done:
                return static_cast<long>(count);
            case TlsConnection::Step::Closed:
                return 0;
            case TlsConnection::Step::Failed:
                SetTlsFailure();
                return -1;
            case TlsConnection::Step::WantRead:
                if (Wait(POLLIN) == WaitResult::Failed) {
                    return -1;
                }
                break;
            case TlsConnection::Step::WantWrite:
                if (Wait(POLLOUT) == WaitResult::Failed) {
                    return -1;
                }
                break;
        }
    }
}

void Socket::SetTlsFailure() {
    tlsError_ = tls_ ? tls_->Error() : std::string("no TLS connection");
    if (tls_ && tls_->SystemError() != 0) {
        SetLastSocketErrorFromErrno(tls_->SystemError());
    } else {
        SetLastSocketError(wsa::kConnectionAborted);
    }
}

long Socket::SendWithoutWaiting(const void* data, std::size_t n, bool urgent) {
    if (!IsOpen()) {
        SetLastSocketError(wsa::kNotSocket);
        return -1;
    }
    if (tls_) {
        std::size_t count = 0;
        switch (tls_->Write(data, n, count)) {
            case TlsConnection::Step::Done:
                return static_cast<long>(count);
            case TlsConnection::Step::WantRead:
            case TlsConnection::Step::WantWrite:
                return 0;
            case TlsConnection::Step::Closed:
                SetLastSocketError(wsa::kConnectionReset);
                return -1;
            case TlsConnection::Step::Failed:
                SetTlsFailure();
                return -1;
        }
    }
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (urgent ? MSG_OOB : 0);
    for (;;) {
        const ssize_t sent = ::send(Handle(), data, n, flags);
        if (sent >= 0) {
            return static_cast<long>(sent);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        SetLastSocketErrorFromErrno(errno);
        return -1;
    }
}

long Socket::PeekWithoutWaiting(char* data, std::size_t n) const {
    if (tls_) {
        std::size_t count = 0;
        switch (tls_->Peek(data, n, count)) {
            case TlsConnection::Step::Done:
                return static_cast<long>(count);
            case TlsConnection::Step::Closed:
            case TlsConnection::Step::Failed:
                return 0;
            case TlsConnection::Step::WantRead:
            case TlsConnection::Step::WantWrite:
                return -1;
        }
    }
    return static_cast<long>(::recv(Handle(), data, n, MSG_PEEK | MSG_DONTWAIT));
}

bool Socket::StartTls(std::shared_ptr<TlsContext> context, std::string_view hostName, bool resume) {
    tlsError_.clear();
    if (!RequireOpen(Handle()) || tls_ || !context) {
        if (IsOpen()) {
            SetLastSocketError(wsa::kInvalidArgument);
        }
        tlsError_ = "no connection to start TLS on";
        return false;
    }
    std::string error;
    auto connection = TlsConnection::Create(std::move(context), Handle(), hostName, resume, error);
    if (!connection) {
        tlsError_ = error;
        SetLastSocketError(wsa::kConnectionAborted);
        return false;
    }
    tls_ = std::move(connection);
    const long done = TlsRetry([&](std::size_t& count) {
        count = 1;
        return tls_->Handshake();
    });
    if (done > 0) {
        return true;
    }
    if (done == 0) {  // never reported for a handshake; kept for completeness
        tlsError_ = "the server closed the connection during the handshake";
        SetLastSocketError(wsa::kConnectionReset);
    } else if (tlsError_.empty()) {
        tlsError_ =
            LastSocketError() == wsa::kTimedOut ? "the handshake timed out" : "the handshake was interrupted";
    }
    tls_.reset();  // no close_notify for a handshake that never finished
    return false;
}

bool Socket::EndTls(bool awaitPeer) {
    if (!tls_) {
        return true;
    }
    if (TlsRetry([&](std::size_t& count) {
            count = 1;
            return tls_->Shutdown();
        }) < 0) {
        return false;
    }
    if (!awaitPeer) {
        return true;
    }
    char discard[4096];
    for (;;) {
        const long received = Receive(discard, sizeof discard);
        if (received <= 0) {
            return received == 0;
        }
    }
}

void Socket::CloseAbortive() {
    tls_.reset();
    if (IsOpen()) {
        const linger abortive{1, 0};
        (void)::setsockopt(Handle(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    Close();
}

std::optional<int> Socket::BytesAvailable() {
    if (!RequireOpen(Handle())) {
        return std::nullopt;
    }
    if (tls_) {
        // Only a look at decrypted data tells replies from the protocol's own records (tickets).
        char bytes[4096];
        std::size_t count = 0;
        switch (tls_->Peek(bytes, sizeof bytes, count)) {
            case TlsConnection::Step::Done:
                return static_cast<int>(count);
            case TlsConnection::Step::WantRead:
            case TlsConnection::Step::WantWrite:
            case TlsConnection::Step::Closed:
                return 0;  // a closed connection shows in the next read, as on a plain socket
            case TlsConnection::Step::Failed:
                SetTlsFailure();
                return std::nullopt;
        }
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

namespace {

// One end's address of an open socket, through getsockname or getpeername.
template <typename Query>
std::optional<SocketAddress> EndAddress(int fd, Query query) {
    if (!RequireOpen(fd)) {
        return std::nullopt;
    }
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (query(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetLastSocketErrorFromErrno(errno);
        return std::nullopt;
    }
    return ToSocketAddress(sa);
}

}  // namespace

std::optional<SocketAddress> Socket::LocalAddress() const {
    return EndAddress(Handle(), ::getsockname);
}

std::optional<SocketAddress> Socket::PeerAddress() const {
    return EndAddress(Handle(), ::getpeername);
}

void Socket::Close() {
    if (tls_) {
        (void)tls_->Shutdown();  // one try: a close must not wait
        tls_.reset();
    }
    const int fd = fd_.exchange(-1, std::memory_order_acq_rel);
    if (fd >= 0) {
        ::close(fd);
    }
}
