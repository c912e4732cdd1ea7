#include "support/TlsTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/TestCertificates.h"

namespace {

// True when `text` starts with a complete FTP reply (a single line, or lines up to one that starts with the
// first line's code and a space); `end` is then just past it.
bool CompleteReply(std::string_view text, std::size_t* end) {
    if (text.size() < 4) {
        return false;
    }
    bool multiLine = text[3] == '-';
    std::size_t start = 0;
    for (std::size_t newline = text.find('\n'); newline != std::string_view::npos;
         start = newline + 1, newline = text.find('\n', start)) {
        std::string_view line = text.substr(start, newline - start);
        if (!multiLine || (line.size() >= 4 && line.substr(0, 3) == text.substr(0, 3) && line[3] == ' ')) {
            *end = newline + 1;
            return true;
        }
    }
    return false;
}

}  // namespace

TlsTestClient::TlsTestClient(std::chrono::milliseconds timeout) : timeout_(timeout) {}

TlsTestClient::~TlsTestClient() {
    if (ssl_ != nullptr) {
        SSL_free(ssl_);
    }
    if (context_ != nullptr) {
        SSL_CTX_free(context_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TlsTestClient::Fail(std::string what) {
    error_ = std::move(what);
    return false;
}

bool TlsTestClient::Connect(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return Fail(std::string("socket: ") + std::strerror(errno));
    }
    // Blocking calls, each bounded by the socket's own time-outs (OpenSSL's blocking calls obey them too).
    timeval bound{};
    bound.tv_sec = static_cast<time_t>(timeout_.count() / 1000);
    bound.tv_usec = static_cast<suseconds_t>((timeout_.count() % 1000) * 1000);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return Fail(std::string("connect: ") + std::strerror(errno));
    }
    return true;
}

bool TlsTestClient::SendLine(std::string_view line) {
    std::string bytes = std::string(line) + "\r\n";
    if (ssl_ != nullptr) {
        ERR_clear_error();
        std::size_t written = 0;
        if (SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written) != 1) {
            return Fail("TLS write failed: " + OpensslErrorText());
        }
        return true;
    }
    for (std::string_view rest = bytes; !rest.empty();) {
        ssize_t n = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return Fail(std::string("send: ") + std::strerror(errno));
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool TlsTestClient::ReceiveMore() {
    char chunk[4096];
    if (ssl_ != nullptr) {
        ERR_clear_error();
        std::size_t n = 0;
        if (SSL_read_ex(ssl_, chunk, sizeof chunk, &n) != 1) {
            int reason = SSL_get_error(ssl_, 0);
            return Fail(reason == SSL_ERROR_ZERO_RETURN
                            ? "the server ended TLS"
                            : "TLS read failed: " + OpensslErrorText() + " (" + std::strerror(errno) + ")");
        }
        buffer_.append(chunk, n);
        return true;
    }
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        return Fail(n == 0 ? "the server closed the connection"
                           : std::string("recv: ") + std::strerror(errno));
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::string TlsTestClient::ReadReply() {
    std::size_t end = 0;
    while (!CompleteReply(buffer_, &end)) {
        if (fd_ < 0 || !ReceiveMore()) {
            return {};
        }
    }
    std::string reply = buffer_.substr(0, end);
    buffer_.erase(0, end);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) {
        reply.pop_back();
    }
    return reply;
}

std::string TlsTestClient::Command(std::string_view line) {
    return SendLine(line) ? ReadReply() : std::string();
}

bool TlsTestClient::StartTls(const std::filesystem::path& trustFile, std::string_view hostName,
                             int maxVersion) {
    if (fd_ < 0 || ssl_ != nullptr) {
        return Fail("StartTls needs a plain connection");
    }
    if (!buffer_.empty()) {
        return Fail("the server sent more than its reply before the handshake");
    }
    ERR_clear_error();
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr) {
        return Fail("SSL_CTX_new: " + OpensslErrorText());
    }
    SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
    if (maxVersion != 0) {
        SSL_CTX_set_max_proto_version(context_, maxVersion);
    }
    ssl_ = SSL_new(context_);
    if (ssl_ == nullptr) {
        return Fail("SSL_new: " + OpensslErrorText());
    }
    std::string host(hostName);
    if (!trustFile.empty()) {
        if (SSL_CTX_load_verify_locations(context_, trustFile.c_str(), nullptr) != 1) {
            return Fail("cannot load " + trustFile.string() + ": " + OpensslErrorText());
        }
        SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
        X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl_);
        in_addr ip{};
        if (::inet_pton(AF_INET, host.c_str(), &ip) == 1) {
            X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str());
        } else {
            X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), 0);
        }
    }
    in_addr ip{};
    if (::inet_pton(AF_INET, host.c_str(), &ip) != 1) {
        SSL_set_tlsext_host_name(ssl_, host.c_str());
    }
    SSL_set_fd(ssl_, fd_);
    if (SSL_connect(ssl_) != 1) {
        long verify = SSL_get_verify_result(ssl_);
        std::string reason = OpensslErrorText();
        if (verify != X509_V_OK) {
            reason += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
        }
        // Nothing more can be said on this connection.
        SSL_free(ssl_);
        ssl_ = nullptr;
        return Fail("TLS handshake failed: " + reason);
    }
    return true;
}

std::string TlsTestClient::TlsVersion() const {
    return ssl_ != nullptr ? SSL_get_version(ssl_) : "";
}
