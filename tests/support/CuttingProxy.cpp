#include "support/CuttingProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

int Listen(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int ConnectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

// The data port a 227 reply names: its last two numbers.
std::uint16_t PasvPort(const std::string& line) {
    const std::size_t open = line.find('(');
    unsigned h1 = 0, h2 = 0, h3 = 0, h4 = 0, p1 = 0, p2 = 0;
    if (open == std::string::npos ||
        std::sscanf(line.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
        return 0;
    }
    return static_cast<std::uint16_t>(p1 * 256 + p2);
}

}  // namespace

CuttingProxy::CuttingProxy(std::uint16_t serverPort) : serverPort_(serverPort) {
    listener_ = Listen(port_);
    if (listener_ >= 0) {
        Track(listener_);
        Spawn(std::jthread([this] { AcceptControl(); }));
    }
}

CuttingProxy::~CuttingProxy() {
    stopping_ = true;
    std::vector<std::jthread> threads;
    {
        std::lock_guard lock(mutex_);
        for (const int fd : sockets_) {
            ::shutdown(fd, SHUT_RDWR);
        }
        threads = std::move(threads_);
    }
    threads.clear();  // joins
    for (const int fd : sockets_) {
        ::close(fd);
    }
}

int CuttingProxy::Track(int fd) {
    std::lock_guard lock(mutex_);
    sockets_.push_back(fd);
    return fd;
}

void CuttingProxy::Spawn(std::jthread thread) {
    std::lock_guard lock(mutex_);
    threads_.push_back(std::move(thread));
}

void CuttingProxy::AcceptControl() {
    while (!stopping_) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        Track(client);
        const int server = ConnectLoopback(serverPort_);
        if (server < 0) {
            ::shutdown(client, SHUT_RDWR);
            continue;
        }
        Track(server);
        Spawn(std::jthread([this, client, server] { Pump(client, server, nullptr, -1, client); }));
        Spawn(std::jthread([this, client, server] { RelayControl(client, server); }));
    }
}

void CuttingProxy::RelayControl(int client, int server) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            if (line.starts_with("227 ")) {
                const std::uint16_t own = OpenDataListener(PasvPort(line));
                line = "227 Entering Passive Mode (127,0,0,1," + std::to_string(own / 256) + "," +
                       std::to_string(own % 256) + ").\r\n";
            }
            if (!SendAll(client, line.data(), line.size())) {
                break;
            }
        }
    }
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(server, SHUT_RDWR);
}

std::uint16_t CuttingProxy::OpenDataListener(std::uint16_t serverDataPort) {
    std::uint16_t port = 0;
    const int listener = Listen(port);
    if (listener < 0) {
        return 0;
    }
    Track(listener);
    Spawn(std::jthread([this, listener, serverDataPort] { RelayData(listener, serverDataPort); }));
    return port;
}

void CuttingProxy::RelayData(int listener, std::uint16_t serverDataPort) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::shutdown(listener, SHUT_RDWR);
    if (client < 0) {
        return;
    }
    Track(client);
    const int server = ConnectLoopback(serverDataPort);
    if (server < 0) {
        ::shutdown(client, SHUT_RDWR);
        return;
    }
    Track(server);
    const std::int64_t cutAt = cutAfter_.exchange(-1);
    std::jthread back([this, client, server, cutAt] { Pump(client, server, &dataBytes_, cutAt, client); });
    Pump(server, client, &dataBytes_, cutAt, client);
}

void CuttingProxy::Cut(int fd) {
    const linger reset{1, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::shutdown(fd, SHUT_RDWR);  // wakes the other direction's relay
    // The number goes on naming a harmless socket, so the relays and the destructor may still use it, while
    // the connection itself is closed (and reset) at once.
    const int spare = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (spare >= 0) {
        ::dup2(spare, fd);
        ::close(spare);
    }
}

void CuttingProxy::Pump(int from, int to, std::atomic<std::int64_t>* counted, std::int64_t cutAt,
                        int engine) {
    std::int64_t moved = 0;
    char buffer[16384];
    for (;;) {
        std::size_t want = sizeof buffer;
        if (cutAt >= 0 && static_cast<std::int64_t>(want) > cutAt - moved) {
            want = static_cast<std::size_t>(cutAt - moved);
        }
        if (cutAt >= 0 && want == 0) {
            // The engine's end is reset: a sender must not block on a peer that no longer reads. The server
            // keeps what reached it, as a server does whose client vanished after sending.
            ++cuts_;
            const int server = from == engine ? to : from;
            ::shutdown(server, SHUT_RDWR);
            Cut(engine);
            return;
        }
        const ssize_t got = ::recv(from, buffer, want, 0);
        if (got <= 0) {
            break;
        }
        if (!SendAll(to, buffer, static_cast<std::size_t>(got))) {
            break;
        }
        moved += got;
        if (counted != nullptr) {
            *counted += got;
        }
    }
    ::shutdown(to, SHUT_WR);
}
