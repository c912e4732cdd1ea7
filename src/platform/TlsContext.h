#pragma once
// The client TLS configuration of one FTP session (trust store, protocol versions) and the newest
// resumable TLS session any of its connections received, which every data connection offers.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;
struct ssl_session_st;

struct TlsOptions {
    // A PEM file of trusted certificates used instead of the system's trust store; empty: the system's.
    std::string trustFile;
    // Highest protocol version offered (0x0303 TLS 1.2, 0x0304 TLS 1.3); 0: the library's highest.
    int maxVersion = 0;
};

class TlsContext {
  public:
    // Nothing when the library cannot make a context; `error` then says why.
    static std::shared_ptr<TlsContext> Create(const TlsOptions& options, std::string& error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* Native() const { return ctx_; }

    // The newest resumable session received on any connection of this context, with a reference the
    // caller owns (free it with SSL_SESSION_free); null when none has come yet.
    ssl_session_st* NewestSession() const;
    // How many sessions the server has handed out so far (for tests and the log).
    int SessionsReceived() const;

  private:
    TlsContext() = default;
    static int OnNewSession(struct ssl_st* ssl, ssl_session_st* session);
    void KeepSession(ssl_session_st* session);

    ssl_ctx_st* ctx_ = nullptr;
    mutable std::mutex mutex_;
    ssl_session_st* newest_ = nullptr;
    int received_ = 0;
};
