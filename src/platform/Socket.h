#pragma once
// A TCP socket (IPv4 or IPv6) over POSIX with the operations a client protocol needs. Every failing call
// stores a WinSock-numbered last socket error; every blocking wait is bounded by an idle time-out and ends at
// once when an attached SocketInterrupt is triggered (WSAETIMEDOUT and WSAEINTR respectively). Once
// StartTls has succeeded, sends and receives go through TLS with the same bounds.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SocketInterrupt.h"

struct IpAddress;

class TlsConnection;
class TlsContext;

struct SocketAddress {
    std::string address;  // dotted IPv4, or IPv6 text without brackets
    std::uint16_t port = 0;
};

class Socket {
  public:
    Socket();
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Creates the socket and binds it to `localAddress` (empty: any IPv4 address; "::" any IPv6 one;
    // else an IPv4 or IPv6 literal, which sets the family) and `port` (0: the system picks), in blocking
    // mode. Only stream sockets are supported. A socket created without a local address may still
    // connect to an address of the other family: Connect then makes the socket anew.
    bool Create(std::uint16_t port = 0, int type = kStream, std::string_view localAddress = {});
    // Resolves `host` (an address literal is used unchanged) and connects to one of its addresses.
    bool Connect(std::string_view host, std::uint16_t port);
    // Connects to the first of `addresses` that answers, tried in their order: when one has not answered
    // within kNextAttemptDelayMs the next is started alongside it, and one that fails starts the next at
    // once. The first connection made wins; the others are closed. The whole is bounded by the time-out
    // (WSAETIMEDOUT) and ended by the interrupts (WSAEINTR); when every address fails, the last failure
    // is the error.
    bool Connect(const std::vector<IpAddress>& addresses, std::uint16_t port);
    bool Listen(int backlog = 5);
    // Waits (bounded) for a connection and hands it to `peer`, which must not be open.
    bool Accept(Socket& peer);
    // What a watch on another connection decides from the bytes waiting there, unread (`closed`: the
    // peer closed it).
    enum class WatchVerdict { GiveUp, Keep };
    using Watch = std::function<WatchVerdict(std::string_view waiting, bool closed)>;
    // The same, but also gives up, with `*gaveUp` set (and WSAECONNREFUSED), as soon as `watch` says so
    // of what arrives on `watched`: a peer that answers elsewhere instead of connecting never connects,
    // and waiting out the time-out would only hold the user up.
    bool Accept(Socket& peer, const Socket& watched, const Watch& watch, bool* gaveUp);
    // Waits (bounded, interruptible) until something can be read; false on time-out or failure.
    bool WaitReadable();

    // One send of up to n bytes (urgent: as out-of-band data, which TLS cannot carry: there it is sent
    // in-band); the count sent, or -1.
    long Send(const void* data, std::size_t n, bool urgent = false);
    // One send that never waits (safe on the user-interface thread while another thread reads): the
    // count sent, 0 when the connection has no room now, or -1. Over TLS, after 0 the same bytes must be
    // offered again before any others.
    long SendWithoutWaiting(const void* data, std::size_t n, bool urgent = false);
    // One receive of up to n bytes; the count received, 0 when the peer has closed, or -1.
    long Receive(void* data, std::size_t n);
    // Bytes waiting unread: in the system's receive queue (FIONREAD), or over TLS the decrypted bytes
    // available without waiting; nullopt on failure.
    std::optional<int> BytesAvailable();

    // Makes the open, connected socket a TLS client connection: the handshake, bounded by the time-out
    // and ended by the interrupts. `hostName` is sent and checked against the certificate; `resume`
    // offers the context's newest session. On failure TlsError() says why (and the last socket error is
    // set: WSAETIMEDOUT, WSAEINTR, or WSAECONNABORTED when TLS itself failed); the socket stays open.
    bool StartTls(std::shared_ptr<TlsContext> context, std::string_view hostName, bool resume);
    // The TLS connection after StartTls; null on a plain socket.
    TlsConnection* Tls() const { return tls_.get(); }
    const std::string& TlsError() const { return tlsError_; }
    // Ends TLS in order: our close_notify goes out (bounded); with `awaitPeer`, reads until the peer has
    // closed too (bounded), taking any session tickets still on the way. False when it failed.
    bool EndTls(bool awaitPeer);
    // Closes with a reset: no close_notify, no orderly end, so that the peer cannot take a cut transfer
    // for a whole one.
    void CloseAbortive();
    bool SetNoDelay(bool on);

    std::optional<SocketAddress> LocalAddress() const;
    std::optional<SocketAddress> PeerAddress() const;

    // Closes; over TLS a close_notify is sent first when it can go without waiting.
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
    // How long a connection attempt has before the next address is tried alongside it.
    static constexpr int kNextAttemptDelayMs = 250;

  protected:
    enum class WaitResult { Ready, Failed, Answered };
    // Waits for `events` (poll flags) on the socket; on failure the last socket error says why. With
    // `watched`, the wait ends as Answered when `watch` gives up on what arrives there.
    WaitResult Wait(short events, const Socket* watched = nullptr, const Watch* watch = nullptr);
    // True (with WSAEINTR stored) while an attached interrupt is triggered.
    bool Interrupted() const;
    // Runs one non-blocking send or receive (`io` returns what the system call did), waiting for
    // `events` and trying again while the socket is not ready.
    template <typename Io>
    long RetryWhenReady(short events, Io io);
    bool AcceptWatching(Socket& peer, const Socket* watched, const Watch* watch, bool& refused);
    // Over TLS: runs one step of `step`, waiting as it asks; -1 on failure (last socket error set).
    template <typename Step>
    long TlsRetry(Step step);
    // What waits on the connection, decrypted when it is TLS, without consuming it: the count, 0 when
    // the peer has closed, -1 when nothing can be read now.
    long PeekWithoutWaiting(char* data, std::size_t n) const;
    // Stores the last TLS failure: its reason, and the socket error that names it.
    void SetTlsFailure();

  private:
    // A new socket for an attempt at `family`, bound as Create bound this one; -1 on failure.
    int SocketForAttempt(int family) const;

    std::atomic<int> fd_{-1};
    // What Create was given, for the sockets Connect makes for the other family.
    std::uint16_t createdPort_ = 0;
    bool createdWithAddress_ = false;
    bool noDelay_ = false;
    int timeoutMs_ = 0;
    std::shared_ptr<SocketInterrupt> stop_;
    std::shared_ptr<SocketInterrupt> abort_;
    std::unique_ptr<TlsConnection> tls_;
    std::string tlsError_;
};
