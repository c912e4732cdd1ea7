#pragma once
// One TLS client connection over a connected socket's descriptor. Every call is a single non-blocking
// step that says whether the socket must become readable or writable first; the caller waits. Calls from
// two threads are serialized (the session worker reads while the user interface thread sends ABOR).
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/CertificateInfo.h"

struct ssl_st;
class TlsContext;

class TlsConnection {
  public:
    enum class Step {
        Done,       // the call did its work (`count` says how much)
        WantRead,   // wait until the socket is readable, then call again with the same arguments
        WantWrite,  // the same, for writable
        Closed,     // the peer ended TLS with close_notify (a read of 0), or the connection closed
        Failed,     // a protocol or system error: Error() says why; errno-style code in SystemError()
    };

    // Nothing when the library cannot make the connection (`error` says why). `hostName` is sent as the
    // server name (unless it is an IP address) and checked against the certificate. With `resume`, a data
    // connection, offering a session of the context's for resumption (TlsContext::OfferSession); without,
    // the control connection, whose sessions are the data connections' fallback.
    static std::unique_ptr<TlsConnection> Create(std::shared_ptr<TlsContext> context, int fd,
                                                 std::string_view hostName, bool resume, std::string& error);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    Step Handshake();
    Step Read(void* data, std::size_t n, std::size_t& count);
    // Looks at decrypted data without consuming it.
    Step Peek(void* data, std::size_t n, std::size_t& count);
    // Partial writes are allowed; a WantRead/WantWrite must be retried with the same bytes.
    Step Write(const void* data, std::size_t n, std::size_t& count);
    // Sends close_notify (Done once it is out); the peer's close_notify is not awaited here.
    Step Shutdown();
    // Bytes decrypted and waiting in the library's buffer.
    std::size_t Pending();

    // After the handshake: "TLS 1.3 (TLS_AES_256_GCM_SHA384)".
    std::string ProtocolAndCipher();
    bool SessionReused();
    // After the handshake: the server's certificate and, when the trust store or the host name check
    // refused it, the reason.
    CertificateInfo PeerCertificate();

    // The reason of the last Failed step, readable ("certificate verify failed", "wrong version number").
    const std::string& Error() const { return error_; }
    // errno of a Failed step that a system call caused (0 when it was the protocol).
    int SystemError() const { return systemError_; }

  private:
    TlsConnection() = default;
    // Maps the library's result of one call; with the lock held.
    Step Result(int rc, std::size_t done, std::size_t& count);
    // One read, peek or write of the library under the lock.
    template <typename Buffer>
    Step Transfer(int (*call)(ssl_st*, Buffer, std::size_t, std::size_t*), Buffer data, std::size_t n,
                  std::size_t& count);

    std::shared_ptr<TlsContext> context_;
    ssl_st* ssl_ = nullptr;
    std::mutex mutex_;
    std::string error_;
    int systemError_ = 0;
    bool failed_ = false;  // a fatal error ended the connection; every later step fails
};
