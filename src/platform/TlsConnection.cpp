#include "platform/TlsConnection.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/TlsContext.h"

namespace {

std::string NameText(const X509_NAME* name) {
    if (name == nullptr) {
        return {};
    }
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) {
        return {};
    }
    // One line, RFC 2253 order reversed to read most specific first, UTF-8 kept.
    X509_NAME_print_ex(bio, name, 0, (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(bio, &bytes);
    std::string text(bytes != nullptr ? bytes : "", length > 0 ? static_cast<std::size_t>(length) : 0);
    BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return {};
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string Fingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) {
            text += ':';
        }
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

std::string ProtocolName(int version) {
    switch (version) {
        case TLS1_3_VERSION:
            return "TLS 1.3";
        case TLS1_2_VERSION:
            return "TLS 1.2";
        case TLS1_1_VERSION:
            return "TLS 1.1";
        case TLS1_VERSION:
            return "TLS 1.0";
        default:
            return "TLS";
    }
}

// The library's socket BIO writes with write(), which raises SIGPIPE on a connection the peer has reset,
// and waits on a blocking socket; this one never waits (the caller does, bounded) and never signals.

int SendNoSignal(BIO* bio, const char* data, std::size_t n, std::size_t* written) {
    const int fd = static_cast<int>(BIO_get_fd(bio, nullptr));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            BIO_set_retry_write(bio);
        }
        *written = 0;
        return 0;
    }
    *written = static_cast<std::size_t>(sent);
    return 1;
}

int ReceiveFromSocket(BIO* bio, char* data, std::size_t n, std::size_t* read) {
    const int fd = static_cast<int>(BIO_get_fd(bio, nullptr));
    BIO_clear_retry_flags(bio);
    const ssize_t received = ::recv(fd, data, n, MSG_DONTWAIT);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            BIO_set_retry_read(bio);
        }
        *read = 0;
        return 0;
    }
    if (received == 0) {
        BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    }
    *read = static_cast<std::size_t>(received);
    return received > 0 ? 1 : 0;
}

const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        const BIO_METHOD* plain = BIO_s_socket();
        BIO_METHOD* own = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
        if (own != nullptr) {
            BIO_meth_set_write_ex(own, SendNoSignal);
            BIO_meth_set_read_ex(own, ReceiveFromSocket);
            BIO_meth_set_ctrl(own, BIO_meth_get_ctrl(plain));
            BIO_meth_set_create(own, BIO_meth_get_create(plain));
            BIO_meth_set_destroy(own, BIO_meth_get_destroy(plain));
        }
        return own;
    }();
    return method;
}

bool IsIpAddress(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

}  // namespace

std::unique_ptr<TlsConnection> TlsConnection::Create(std::shared_ptr<TlsContext> context, int fd,
                                                     std::string_view hostName, bool resume,
                                                     std::string& error) {
    std::unique_ptr<TlsConnection> connection(new TlsConnection());
    connection->context_ = std::move(context);
    SSL* ssl = SSL_new(connection->context_->Native());
    BIO* bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (ssl == nullptr || bio == nullptr) {
        if (ssl != nullptr) {
            SSL_free(ssl);
        }
        if (bio != nullptr) {
            BIO_free(bio);
        }
        error = "cannot create the TLS connection";
        ERR_clear_error();
        return nullptr;
    }
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);  // the connection owns the BIO now
    connection->ssl_ = ssl;
    const std::string host(hostName);
    // The name the certificate must carry: an address is checked against its IP entries, a name against
    // its DNS entries (and only a name is sent as the server name).
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    bool named = false;
    if (IsIpAddress(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
    }
    if (!named) {
        error = "cannot set the server name \"" + host + "\"";
        ERR_clear_error();
        return nullptr;
    }
    if (resume) {
        connection->context_->OfferSession(ssl);
    } else {
        connection->context_->MarkControl(ssl);
    }
    return connection;
}

TlsConnection::~TlsConnection() {
    if (ssl_ != nullptr) {
        SSL_free(ssl_);
    }
}

TlsConnection::Step TlsConnection::Result(int rc, std::size_t done, std::size_t& count) {
    if (rc > 0) {
        count = done;
        return Step::Done;
    }
    count = 0;
    const int error = SSL_get_error(ssl_, rc);
    const int saved = errno;
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return Step::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Step::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Step::Closed;
        case SSL_ERROR_SYSCALL:
            systemError_ = saved;
            error_ = saved != 0 ? "connection failed" : "the server closed the connection";
            ERR_clear_error();
            failed_ = saved != 0;
            return failed_ ? Step::Failed : Step::Closed;
        default: {
            systemError_ = 0;
            const unsigned long code = ERR_get_error();
            const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
            error_ = reason != nullptr ? reason : "TLS protocol error";
            ERR_clear_error();
            failed_ = true;
            return Step::Failed;
        }
    }
}

TlsConnection::Step TlsConnection::Handshake() {
    std::lock_guard lock(mutex_);
    ERR_clear_error();
    errno = 0;
    std::size_t count = 0;
    const Step step = Result(SSL_connect(ssl_), 0, count);
    if (step == Step::Closed) {
        // A handshake that ends without one is a failure, however it ended.
        error_ = "the server closed the connection during the handshake";
        return Step::Failed;
    }
    return step;
}

template <typename Buffer>
TlsConnection::Step TlsConnection::Transfer(int (*call)(ssl_st*, Buffer, std::size_t, std::size_t*),
                                            Buffer data, std::size_t n, std::size_t& count) {
    std::lock_guard lock(mutex_);
    if (failed_) {
        // The library answers a call after a fatal error as if the peer had just closed; a stream cut
        // short must keep reading as the failure it was.
        count = 0;
        return Step::Failed;
    }
    ERR_clear_error();
    errno = 0;
    std::size_t done = 0;
    const int rc = call(ssl_, data, n, &done);
    return Result(rc, done, count);
}

TlsConnection::Step TlsConnection::Read(void* data, std::size_t n, std::size_t& count) {
    return Transfer(&SSL_read_ex, data, n, count);
}

TlsConnection::Step TlsConnection::Peek(void* data, std::size_t n, std::size_t& count) {
    return Transfer(&SSL_peek_ex, data, n, count);
}

TlsConnection::Step TlsConnection::Write(const void* data, std::size_t n, std::size_t& count) {
    return Transfer(&SSL_write_ex, data, n, count);
}

TlsConnection::Step TlsConnection::Shutdown() {
    std::lock_guard lock(mutex_);
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_shutdown(ssl_);
    if (rc >= 0) {
        return Step::Done;  // 0: ours is out, the peer's not yet seen; 1: both
    }
    std::size_t count = 0;
    return Result(rc, 0, count);
}

std::size_t TlsConnection::Pending() {
    std::lock_guard lock(mutex_);
    const int pending = SSL_pending(ssl_);
    return pending > 0 ? static_cast<std::size_t>(pending) : 0;
}

std::string TlsConnection::ProtocolAndCipher() {
    std::lock_guard lock(mutex_);
    const char* cipher = SSL_get_cipher_name(ssl_);
    return ProtocolName(SSL_version(ssl_)) + " (" + (cipher != nullptr ? cipher : "?") + ")";
}

bool TlsConnection::SessionReused() {
    std::lock_guard lock(mutex_);
    return SSL_session_reused(ssl_) == 1;
}

CertificateInfo TlsConnection::PeerCertificate() {
    std::lock_guard lock(mutex_);
    CertificateInfo info;
    X509* certificate = SSL_get1_peer_certificate(ssl_);
    if (certificate == nullptr) {
        info.problem = "the server sent no certificate";
        return info;
    }
    info.subject = NameText(X509_get_subject_name(certificate));
    info.issuer = NameText(X509_get_issuer_name(certificate));
    info.validFrom = TimeText(X509_get0_notBefore(certificate));
    info.validUntil = TimeText(X509_get0_notAfter(certificate));
    info.fingerprint = Fingerprint(certificate);
    X509_free(certificate);
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
        info.problem = X509_verify_cert_error_string(verified);
    }
    return info;
}
