#pragma once
// Certificates for TLS tests, made once per test process with the openssl command: a test CA, a server
// certificate it signed for 127.0.0.1 and localhost, one it signed for another host name only, and a
// self-signed one. The files live in a private temporary folder until the process ends.

#include <filesystem>
#include <memory>
#include <string>

#include "support/TempDir.h"

class TestCertificates {
  public:
    // Which server certificate (each with its own key).
    enum class Which {
        Server,      // signed by the test CA; names IP 127.0.0.1 and DNS localhost
        WrongName,   // signed by the test CA; names only kOtherHost
        SelfSigned,  // names 127.0.0.1 and localhost, but no one vouches for it
    };
    static constexpr const char* kOtherHost = "other.example";

    // The process's certificates, made on the first call (safe from any thread). Check Valid().
    static const TestCertificates& Shared();

    bool Valid() const { return valid_; }
    // Why the certificates could not be made (openssl missing, a command failed).
    const std::string& Error() const { return error_; }

    // PEM of the test CA alone: the trust file a client is given.
    std::filesystem::path CaFile() const { return dir_ / "ca.pem"; }
    // PEM certificate and PEM private key (EC, prime256v1) of a server certificate.
    std::filesystem::path CertFile(Which which) const;
    std::filesystem::path KeyFile(Which which) const;

    std::filesystem::path ServerCert() const { return CertFile(Which::Server); }
    std::filesystem::path ServerKey() const { return KeyFile(Which::Server); }
    std::filesystem::path WrongNameCert() const { return CertFile(Which::WrongName); }
    std::filesystem::path WrongNameKey() const { return KeyFile(Which::WrongName); }
    std::filesystem::path SelfSignedCert() const { return CertFile(Which::SelfSigned); }
    std::filesystem::path SelfSignedKey() const { return KeyFile(Which::SelfSigned); }

    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

  private:
    TestCertificates();
    bool Make();
    // Runs openssl with these arguments (no shell); false with error_ set when it fails.
    bool RunOpenssl(std::initializer_list<std::string> arguments);

    TempDir dir_;
    bool valid_ = false;
    std::string error_;
};

struct ssl_ctx_st;

// A TLS server context presenting this certificate chain and key (PEM files); null when the library refuses
// them, and OpensslErrorText() then says why.
std::shared_ptr<ssl_ctx_st> MakeTlsServerContext(const std::filesystem::path& certFile,
                                                 const std::filesystem::path& keyFile);

// Empties this thread's OpenSSL error queue into one readable line ("error:...; error:...").
std::string OpensslErrorText();
