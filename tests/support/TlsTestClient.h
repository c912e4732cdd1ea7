#pragma once
// A minimal blocking FTP control-connection client with TLS, for checking the test servers themselves
// (readiness of an implicit TLS server, the servers' self-check); it is not the program's client.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

struct ssl_st;
struct ssl_ctx_st;

class TlsTestClient {
  public:
    // Every send, receive and handshake gives up after `timeout`.
    explicit TlsTestClient(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // Connects to 127.0.0.1:port.
    bool Connect(std::uint16_t port);
    // Sends `line` and CR LF (through TLS once it is on).
    bool SendLine(std::string_view line);
    // The next complete reply, multi-line replies whole, without the last CR LF; "" on failure.
    std::string ReadReply();
    // SendLine, then ReadReply.
    std::string Command(std::string_view line);

    // Client side of a TLS handshake on the connection. With a `trustFile`, the server's certificate must
    // chain to it and name `hostName`; without one, any certificate is accepted. `maxVersion` caps the
    // protocol (0x0303 TLS 1.2, 0x0304 TLS 1.3; 0: the library's highest).
    bool StartTls(const std::filesystem::path& trustFile = {}, std::string_view hostName = "127.0.0.1",
                  int maxVersion = 0);
    bool TlsActive() const { return ssl_ != nullptr; }
    // After StartTls: "TLSv1.2", "TLSv1.3".
    std::string TlsVersion() const;

    // Why the last call failed.
    const std::string& Error() const { return error_; }

  private:
    bool Fail(std::string what);
    // Receives into buffer_; false on end of stream, error or time-out.
    bool ReceiveMore();

    std::chrono::milliseconds timeout_;
    int fd_ = -1;
    ssl_ctx_st* context_ = nullptr;
    ssl_st* ssl_ = nullptr;
    std::string buffer_;
    std::string error_;
};
