#include "platform/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

// Where the context keeps its owner, for the new-session callback.
int ContextIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Set on the control connection's SSL, so that the new-session callback knows where a session came from.
int ControlIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Unused sessions kept at most: a data connection that reads hands out one per handshake, so the pool
// stays small, and the oldest would be the first to expire.
constexpr std::size_t kMaxUnused = 8;

std::string LibraryError(const char* what) {
    std::string text = what;
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    return text;
}

}  // namespace

std::shared_ptr<TlsContext> TlsContext::Create(const TlsOptions& options, std::string& error) {
    std::shared_ptr<TlsContext> context(new TlsContext());
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        error = LibraryError("cannot create the TLS context");
        return nullptr;
    }
    context->ctx_ = ctx;
    SSL_CTX_set_ex_data(ctx, ContextIndex(), context.get());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (options.maxVersion != 0) {
        SSL_CTX_set_max_proto_version(ctx, options.maxVersion);
    }
    // A renegotiation would make a read write and a write read behind the caller's back.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    // Partial writes, and retries from the unsent rest: the buffer of an owed ABOR may move.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Certificates are checked, but a failure does not end the handshake: the user is asked.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    const bool trusted = options.trustFile.empty()
                             ? SSL_CTX_set_default_verify_paths(ctx) == 1
                             : SSL_CTX_load_verify_locations(ctx, options.trustFile.c_str(), nullptr) == 1;
    if (!trusted) {
        error = LibraryError("cannot load the trusted certificates");
        return nullptr;
    }
    // Every session the server hands out (after each handshake, and with TLS 1.3 after it) reaches
    // OnNewSession; the library's own cache keeps none, the context chooses what each connection offers.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, &TlsContext::OnNewSession);
    return context;
}

TlsContext::~TlsContext() {
    for (SSL_SESSION* session : unused_) {
        SSL_SESSION_free(session);
    }
    if (fallback_ != nullptr) {
        SSL_SESSION_free(fallback_);
    }
    if (ctx_ != nullptr) {
        SSL_CTX_free(ctx_);
    }
}

int TlsContext::OnNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
    if (self == nullptr || SSL_SESSION_is_resumable(session) != 1) {
        return 0;  // not kept: the library frees it
    }
    self->KeepSession(session, SSL_get_ex_data(ssl, ControlIndex()) != nullptr);
    return 1;  // the reference is ours now
}

void TlsContext::KeepSession(SSL_SESSION* session, bool control) {
    // A copy, because the library marks the object it resumed as used up, and also one whose connection
    // ended without close_notify.
    SSL_SESSION* copy = control ? SSL_SESSION_dup(session) : nullptr;
    std::lock_guard lock(mutex_);
    if (copy != nullptr) {
        if (fallback_ != nullptr) {
            SSL_SESSION_free(fallback_);
        }
        fallback_ = copy;
    }
    unused_.push_back(session);
    if (unused_.size() > kMaxUnused) {
        SSL_SESSION_free(unused_.front());
        unused_.pop_front();
    }
    ++received_;
}

void TlsContext::MarkControl(SSL* ssl) {
    SSL_set_ex_data(ssl, ControlIndex(), this);
}

void TlsContext::OfferSession(SSL* ssl) {
    SSL_SESSION* offered = nullptr;
    {
        std::lock_guard lock(mutex_);
        while (offered == nullptr && !unused_.empty()) {
            SSL_SESSION* newest = unused_.back();
            unused_.pop_back();
            // The connection it came with may have marked it since (ended without close_notify).
            if (SSL_SESSION_is_resumable(newest) == 1) {
                offered = newest;
            } else {
                SSL_SESSION_free(newest);
            }
        }
        if (offered == nullptr && fallback_ != nullptr) {
            offered = SSL_SESSION_dup(fallback_);
        }
    }
    if (offered != nullptr) {
        SSL_set_session(ssl, offered);
        SSL_SESSION_free(offered);  // SSL_set_session took its own reference
    }
}

int TlsContext::SessionsReceived() const {
    std::lock_guard lock(mutex_);
    return received_;
}
