#pragma once
// An IPv4 TCP socket over POSIX with the operations the FTP engine needs. Every failing call stores a
// WinSock-numbered last socket error; every blocking wait is bounded by an idle time-out and ends at
// once when an attached SocketInterrupt is triggered (WSAETIMEDOUT and WSAEINTR respectively).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SocketInterrupt.h"

struct SocketAddress {
    std::string address;  // dotted
    std::uint16_t port = 0;
};

class Socket {
  public:
    Socket() = default;
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Creates the socket and binds it to `localAddress` (empty: any) and `port` (0: the system picks),
    // in blocking mode. Only stream sockets are supported.
    bool Create(std::uint16_t port = 0, int type = kStream, std::string_view localAddress = {});
    // Resolves `host` (a dotted address is used unchanged) and connects, bounded by the time-out.
    bool Connect(std::string_view host, std::uint16_t port);
    bool Listen(int backlog = 5);
    // Waits (bounded) for a connection and hands it to `peer`, which must not be open.
    bool Accept(Socket& peer);
    // The same, but also gives up, with `*refused` set, as soon as `answers` (a connection the peer
    // speaks on) starts a line with '4' or '5', or with '2' (a final reply, also after preliminary '1'
    // lines), or closes: a server that answers the transfer without connecting never connects, and
    // waiting out the time-out would only hold the user up.
    bool Accept(Socket& peer, const Socket& answers, bool* refused);

    // One send of up to n bytes (urgent: as out-of-band data); the count sent, or -1.
    long Send(const void* data, std::size_t n, bool urgent = false);
    // One receive of up to n bytes; the count received, 0 when the peer has closed, or -1.
    long Receive(void* data, std::size_t n);
    // Bytes waiting unread in the system's receive queue (FIONREAD); nullopt on failure.
    std::optional<int> BytesAvailable();
    bool SetNoDelay(bool on);

    std::optional<SocketAddress> LocalAddress() const;
    std::optional<SocketAddress> PeerAddress() const;

    void Close();
    bool IsOpen() const { return fd_.load(std::memory_order_acquire) >= 0; }
    int Handle() const { return fd_.load(std::memory_order_acquire); }

    // Longest wait for any single step (connect, accept, data to arrive, room to send); 0 waits for ever.
    void SetTimeout(int milliseconds) { timeoutMs_ = milliseconds; }
    int Timeout() const { return timeoutMs_; }
    // Waits end with WSAEINTR while either of these is triggered.
    void SetInterrupts(std::shared_ptr<SocketInterrupt> stop,
                       std::shared_ptr<SocketInterrupt> abort = nullptr);

    static constexpr int kStream = 1;

  protected:
    enum class WaitResult { Ready, Failed, Answered };
    // Waits for `events` (poll flags) on the socket; on failure the last socket error says why. With an
    // `answersFd`, a refusal or a close arriving there ends the wait as Answered.
    WaitResult Wait(short events, int answersFd = -1);
    // True (with WSAEINTR stored) while an attached interrupt is triggered.
    bool Interrupted() const;
    // Runs one non-blocking send or receive (`io` returns what the system call did), waiting for
    // `events` and trying again while the socket is not ready.
    template <typename Io>
    long RetryWhenReady(short events, Io io);
    bool AcceptWatching(Socket& peer, int answersFd, bool& refused);

  private:
    std::atomic<int> fd_{-1};
    int timeoutMs_ = 0;
    std::shared_ptr<SocketInterrupt> stop_;
    std::shared_ptr<SocketInterrupt> abort_;
};
