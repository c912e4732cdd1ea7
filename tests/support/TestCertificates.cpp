#include "support/TestCertificates.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

const char* BaseName(TestCertificates::Which which) {
    switch (which) {
        case TestCertificates::Which::Server:
            return "server";
        case TestCertificates::Which::WrongName:
            return "wrong-name";
        case TestCertificates::Which::SelfSigned:
            return "self-signed";
    }
    return "server";
}

// Ten years: the certificates must stay valid whatever the test machine's clock says.
constexpr const char* kDays = "3650";

}  // namespace

const TestCertificates& TestCertificates::Shared() {
    static const TestCertificates certificates;
    return certificates;
}

TestCertificates::TestCertificates() : dir_("wisp-certs") {
    if (!dir_.Valid()) {
        error_ = std::string("cannot create a temporary folder: ") + std::strerror(errno);
        return;
    }
    valid_ = Make();
}

fs::path TestCertificates::CertFile(Which which) const {
    return dir_ / (std::string(BaseName(which)) + ".pem");
}

fs::path TestCertificates::KeyFile(Which which) const {
    return dir_ / (std::string(BaseName(which)) + ".key");
}

bool TestCertificates::RunOpenssl(std::initializer_list<std::string> arguments) {
    std::vector<char*> argv;
    std::string program = "openssl";
    argv.push_back(program.data());
    std::vector<std::string> copies(arguments);
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::string logPath = (dir_ / "openssl.log").string();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int result = ::posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        error_ = result == ENOENT ? "the openssl command is missing (apt-get install openssl)"
                                  : std::string("cannot run openssl: ") + std::strerror(result);
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    error_ = "openssl " + copies.front() + " failed (status " + std::to_string(status) +
             "): " + TempDir::ReadFileAt(logPath).value_or("");
    return false;
}

bool TestCertificates::Make() {
    const std::string ca = CaFile().string();
    const std::string caKey = (dir_ / "ca.key").string();
    // EC keys everywhere: generating them takes milliseconds where RSA takes a noticeable while.
    if (!RunOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", caKey, "-out", ca, "-days", kDays, "-subj", "/CN=Wisp Test CA", "-addext",
                     "basicConstraints=critical,CA:TRUE", "-addext",
                     "keyUsage=critical,keyCertSign,cRLSign"})) {
        return false;
    }

    struct Leaf {
        Which which;
        const char* subject;
        const char* names;
    };
    const Leaf signedLeaves[] = {
        {Which::Server, "/CN=127.0.0.1", "IP:127.0.0.1,DNS:localhost"},
        {Which::WrongName, "/CN=other.example", "DNS:other.example"},
    };
    int serial = 2;
    for (const Leaf& leaf : signedLeaves) {
        std::string base = BaseName(leaf.which);
        std::string request = (dir_ / (base + ".csr")).string();
        std::string extensions = (dir_ / (base + ".ext")).string();
        if (!TempDir::WriteFileAt(extensions, std::string("subjectAltName=") + leaf.names +
                                                  "\nbasicConstraints=CA:FALSE\n"
                                                  "keyUsage=critical,digitalSignature\n"
                                                  "extendedKeyUsage=serverAuth\n")) {
            error_ = "cannot write " + extensions;
            return false;
        }
        if (!RunOpenssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                         "-keyout", KeyFile(leaf.which).string(), "-out", request, "-subj", leaf.subject}) ||
            !RunOpenssl({"x509", "-req", "-in", request, "-CA", ca, "-CAkey", caKey, "-set_serial",
                         std::to_string(serial++), "-days", kDays, "-extfile", extensions, "-out",
                         CertFile(leaf.which).string()})) {
            return false;
        }
    }
    return RunOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-keyout", SelfSignedKey().string(), "-out", SelfSignedCert().string(), "-days", kDays,
                       "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
}

std::string OpensslErrorText() {
    std::string text;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += text.empty() ? "" : "; ";
        text += buffer;
    }
    return text;
}

std::shared_ptr<SSL_CTX> MakeTlsServerContext(const fs::path& certFile, const fs::path& keyFile) {
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context || SSL_CTX_use_certificate_chain_file(context.get(), certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        return nullptr;
    }
    return context;
}
