#pragma once
// The client TLS configuration of one FTP session (trust store, protocol versions) and the resumable TLS
// sessions its connections received, which its data connections offer for resumption.
#include <cstdint>
#include <deque>
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

    // Marks `ssl` as the session's control connection: a copy of the newest session it receives stays
    // the fallback that data connections offer once every other session is used.
    void MarkControl(struct ssl_st* ssl);
    // Makes `ssl`, a data connection, offer a session: the newest one no connection has offered yet, else
    // a copy of the control connection's. With TLS 1.3 the library lets a session resume once (it marks
    // the session used after the handshake) and a server may hand out no new one on a connection it only
    // reads from (an upload); the servers that demand session reuse resume the control connection's
    // session again. Offers nothing before the control connection has received a session.
    void OfferSession(struct ssl_st* ssl);
    // How many sessions the server has handed out so far (for tests and the log).
    int SessionsReceived() const;

  private:
    TlsContext() = default;
    static int OnNewSession(struct ssl_st* ssl, ssl_session_st* session);
    void KeepSession(ssl_session_st* session, bool control);

    ssl_ctx_st* ctx_ = nullptr;
    mutable std::mutex mutex_;
    std::deque<ssl_session_st*> unused_;  // newest last; each offered once, then dropped
    ssl_session_st* fallback_ = nullptr;  // a private copy of the control connection's newest session
    int received_ = 0;
};
