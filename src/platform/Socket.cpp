#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// The unspecified address of a family ("0.0.0.0" or "::").
IpAddress LocalAny(int family) {
    IpAddress any;
    any.storage.ss_family = static_cast<sa_family_t>(family);
    any.length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return any;
}

void SetPort(IpAddress& address, std::uint16_t port) {
    if (address.IsIPv6()) {
        reinterpret_cast<sockaddr_in6&>(address.storage).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(address.storage).sin_port = htons(port);
    }
}

// A blocking stream socket of the address's family bound to it; -1 (last socket error set) on failure.
int BoundSocket(const IpAddress& local) {
    const int fd = socket(local.Family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        SetLastSocketErrorFromErrno(errno);
        return -1;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local.storage), local.length) != 0 ||
        !SetBlocking(fd, true)) {
        SetLastSocketErrorFromErrno(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int FamilyOf(int fd) {
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        return AF_UNSPEC;
    }
    return sa.ss_family;
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
    IpAddress local;
    if (localAddress.empty()) {
        local = LocalAny(AF_INET);
    } else {
        const auto parsed = ParseIpLiteral(localAddress);
        if (!parsed) {
            SetLastSocketError(wsa::kInvalidArgument);
            return false;
        }
        local = *parsed;
    }
    SetPort(local, port);
    const int fd = BoundSocket(local);
    if (fd < 0) {
        return false;
    }
    createdPort_ = port;
    createdWithAddress_ = !localAddress.empty();
    noDelay_ = false;
    fd_.store(fd, std::memory_order_release);
    return true;
}

int Socket::SocketForAttempt(int family) const {
    IpAddress local = LocalAny(family);
    SetPort(local, createdPort_);
    return BoundSocket(local);
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
    if (!RequireOpen(Handle())) {
        return false;
    }
    const auto addresses = ResolveAddresses(host);
    if (!addresses) {
        return false;  // the resolver stored the error
    }
    return Connect(*addresses, port);
}

namespace {

// One connection attempt under way.
struct Attempt {
    int fd = -1;
    bool own = false;  // the socket Create made, closed only with the Socket
};

// Starts a non-blocking connect on `fd`: 0 when it connected at once, EINPROGRESS when under way, else the
// errno of its failure.
int StartConnect(int fd, const IpAddress& address, std::uint16_t port) {
    IpAddress peer = address;
    SetPort(peer, port);
    if (!SetBlocking(fd, false)) {
        return errno;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer.storage), peer.length) == 0) {
        return 0;
    }
    return errno == EINTR ? EINPROGRESS : errno;
}

}  // namespace

bool Socket::Connect(const std::vector<IpAddress>& addresses, std::uint16_t port) {
    const int ownFd = Handle();
    if (!RequireOpen(ownFd)) {
        return false;
    }
    if (addresses.empty()) {
        SetLastSocketError(wsa::kNoData);
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs_);
    const int ownFamily = FamilyOf(ownFd);
    bool ownUsed = false;
    std::vector<Attempt> attempts;
    int lastError = 0;
    int winner = -1;
    std::size_t next = 0;
    auto nextStart = start;

    // Closes every attempt but the winner; the socket Create made stays until it is replaced.
    const auto finish = [&](int kept) {
        for (const Attempt& attempt : attempts) {
            if (attempt.fd != kept && !attempt.own) {
                ::close(attempt.fd);
            }
        }
        if (kept >= 0 && kept != ownFd) {
            fd_.store(kept, std::memory_order_release);
            ::close(ownFd);
            if (noDelay_) {
                const int on = 1;
                (void)setsockopt(kept, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
        }
        SetBlocking(Handle(), true);
    };

    for (;;) {
        if (Interrupted()) {
            finish(-1);
            return false;
        }
        auto now = Clock::now();
        // The next address starts when the earlier ones have had their head start, or at once when none
        // is still under way.
        while (winner < 0 && next < addresses.size() && (now >= nextStart || attempts.empty())) {
            const IpAddress& address = addresses[next++];
            int fd = -1;
            bool own = false;
            if (address.Family() == ownFamily && !ownUsed) {
                fd = ownFd;
                own = ownUsed = true;
            } else if (!createdWithAddress_) {
                fd = SocketForAttempt(address.Family());
            } else {
                SetLastSocketError(10047);  // WSAEAFNOSUPPORT: bound to an address of the other family
            }
            if (fd < 0) {
                lastError = LastSocketError();
                continue;
            }
            const int started = StartConnect(fd, address, port);
            if (started == 0) {
                attempts.push_back({fd, own});
                winner = fd;
            } else if (started == EINPROGRESS) {
                attempts.push_back({fd, own});
                nextStart = Clock::now() + std::chrono::milliseconds(kNextAttemptDelayMs);
            } else {
                lastError = WinsockCodeFromErrno(started);
                if (!own) {
                    ::close(fd);
                }
            }
        }
        if (winner >= 0) {
            finish(winner);
            return true;
        }
        if (attempts.empty()) {
            finish(-1);
            SetLastSocketError(lastError != 0 ? lastError : wsa::kTimedOut);
            return false;
        }
        std::vector<pollfd> fds;
        for (const Attempt& attempt : attempts) {
            fds.push_back(pollfd{attempt.fd, POLLOUT, 0});
        }
        const std::size_t firstInterrupt = fds.size();
        for (const auto* interrupt : {stop_.get(), abort_.get()}) {
            if (interrupt != nullptr && interrupt->Fd() >= 0) {
                fds.push_back(pollfd{interrupt->Fd(), POLLIN, 0});
            }
        }
        long waitMs = -1;
        if (timeoutMs_ > 0) {
            waitMs = std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        if (next < addresses.size()) {
            const long untilNext =
                std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(nextStart - now).count());
            waitMs = waitMs < 0 ? untilNext : std::min(waitMs, untilNext);
        }
        const int rc = poll(fds.data(), fds.size(), static_cast<int>(waitMs));
        if (rc < 0 && errno != EINTR) {
            lastError = WinsockCodeFromErrno(errno);
            finish(-1);
            SetLastSocketError(lastError);
            return false;
        }
        for (std::size_t i = firstInterrupt; rc > 0 && i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                finish(-1);
                SetLastSocketError(wsa::kInterrupted);
                return false;
            }
        }
        // Settled attempts leave the list; the first that connected wins.
        std::vector<Attempt> pending;
        for (std::size_t i = 0; rc > 0 && i < firstInterrupt; ++i) {
            if (fds[i].revents == 0) {
                pending.push_back(attempts[i]);
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(attempts[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
            if (error == 0 && winner < 0) {
                winner = attempts[i].fd;
                pending.push_back(attempts[i]);
            } else if (error != 0) {
                lastError = WinsockCodeFromErrno(error);
                if (!attempts[i].own) {
                    ::close(attempts[i].fd);
                }
                nextStart = Clock::now();  // a failure hands over to the next address at once
            } else {
                pending.push_back(attempts[i]);
            }
        }
        if (rc > 0) {
            attempts = std::move(pending);
        }
        if (winner >= 0) {
            finish(winner);
            return true;
        }
        if (timeoutMs_ > 0 && Clock::now() >= deadline) {
            finish(-1);
            SetLastSocketError(wsa::kTimedOut);
            return false;
        }
    }
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
    noDelay_ = on;  // a connect that makes the socket anew sets it again
    return true;
}

namespace {

// One end's address of an open socket, through getsockname or getpeername.
template <typename Query>
std::optional<SocketAddress> EndAddress(int fd, Query query) {
    if (!RequireOpen(fd)) {
        return std::nullopt;
    }
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    if (query(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        SetLastSocketErrorFromErrno(errno);
        return std::nullopt;
    }
    std::uint16_t port = 0;
    const auto address = AddressOf(sa, &port);
    if (!address) {
        SetLastSocketError(10047);  // WSAEAFNOSUPPORT
        return std::nullopt;
    }
    return SocketAddress{FormatIpAddress(*address), port};
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
