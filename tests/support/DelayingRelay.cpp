#include "support/DelayingRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

DelayingRelay::DelayingRelay(std::uint16_t serverPort, std::chrono::milliseconds oneWay)
    : serverPort_(serverPort), oneWay_(oneWay) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    port_ = ntohs(address.sin_port);
    listener_ = Track(fd);
    std::lock_guard lock(mutex_);
    threads_.emplace_back([this] { Accept(); });
}

DelayingRelay::~DelayingRelay() {
    stopping_ = true;
    std::vector<std::jthread> threads;
    {
        std::lock_guard lock(mutex_);
        for (const int fd : sockets_) {
            ::shutdown(fd, SHUT_RDWR);
        }
        threads.swap(threads_);
    }
    threads.clear();  // joins
    for (const int fd : sockets_) {
        ::close(fd);
    }
}

int DelayingRelay::Track(int fd) {
    std::lock_guard lock(mutex_);
    sockets_.push_back(fd);
    return fd;
}

void DelayingRelay::Accept() {
    while (!stopping_) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        Track(client);
        const int server = Track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = Loopback(serverPort_);
        if (server < 0 ||
            ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::shutdown(client, SHUT_RDWR);
            continue;
        }
        NoDelay(client);
        NoDelay(server);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        threads_.emplace_back([this, client, server] { Carry(client, server); });
        threads_.emplace_back([this, client, server] { Carry(server, client); });
    }
}

void DelayingRelay::Carry(int from, int to) {
    // The reader stamps each chunk and never waits for the writer, so the delay adds to the round trip
    // without limiting what is in flight, as a long link with a wide window does.
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Chunk> chunks;
    bool ended = false;
    std::jthread writer([&] {
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return ended || !chunks.empty(); });
                if (chunks.empty()) {
                    break;
                }
                chunk = std::move(chunks.front());
                chunks.pop_front();
            }
            std::this_thread::sleep_until(chunk.due);
            const char* data = chunk.bytes.data();
            std::size_t left = chunk.bytes.size();
            while (left > 0) {
                const ssize_t sent = ::send(to, data, left, MSG_NOSIGNAL);
                if (sent <= 0) {
                    ::shutdown(from, SHUT_RDWR);
                    return;
                }
                data += sent;
                left -= static_cast<std::size_t>(sent);
            }
        }
        ::shutdown(to, SHUT_WR);
    });
    std::string buffer(256 * 1024, '\0');
    for (;;) {
        const ssize_t got = ::recv(from, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            break;
        }
        std::lock_guard lock(mutex);
        chunks.push_back({Clock::now() + oneWay_, buffer.substr(0, static_cast<std::size_t>(got))});
        changed.notify_one();
    }
    {
        std::lock_guard lock(mutex);
        ended = true;
    }
    changed.notify_one();
}
