// Proves the TLS test servers before anything relies on them: the test certificates are trusted or refused
// as meant, each server variant (scripted, vsftpd and proftpd explicit and implicit, pyftpdlib explicit)
// speaks TLS and insists on it, the scripted server's hostile answers break a handshake, and independent
// clients (lftp, curl) fetch files from the real servers through TLS.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "support/FakeFtpServer.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "support/TlsTestClient.h"

namespace {

using namespace std::chrono_literals;
using Kind = RealFtpServer::Kind;
using Tls = RealFtpServer::Tls;
using Which = TestCertificates::Which;

const TestCertificates& Certificates() {
    const TestCertificates& certificates = TestCertificates::Shared();
    EXPECT_TRUE(certificates.Valid()) << certificates.Error();
    return certificates;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(TestCertificatesTest, OnlyTheServerCertificateIsTrustedForItsNames) {
    struct Case {
        Which which;
        const char* host;
        bool trusted;
    };
    const Case cases[] = {
        {Which::Server, "127.0.0.1", true},
        {Which::Server, "localhost", true},
        {Which::Server, TestCertificates::kOtherHost, false},
        {Which::WrongName, "127.0.0.1", false},
        {Which::WrongName, TestCertificates::kOtherHost, true},
        {Which::SelfSigned, "127.0.0.1", false},
    };
    const TestCertificates& certificates = Certificates();
    for (const Case& c : cases) {
        SCOPED_TRACE(certificates.CertFile(c.which).filename().string() + " as " + c.host);
        FakeFtpServer server;
        server.SetTlsCertificate(certificates.CertFile(c.which), certificates.KeyFile(c.which));
        server.OnConnect().StartTls().Line("220 hello");
        {
            TlsTestClient client;
            ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
            EXPECT_EQ(client.StartTls(certificates.CaFile(), c.host), c.trusted) << client.Error();
        }
        // Without a trust file any of them does (on the server's next connection, once the last closed).
        TlsTestClient lenient;
        ASSERT_TRUE(lenient.Connect(server.Port())) << lenient.Error();
        EXPECT_TRUE(lenient.StartTls()) << lenient.Error();
        EXPECT_EQ(lenient.ReadReply(), "220 hello");
    }
}

TEST(FakeFtpServerTlsTest, ExplicitTlsCarriesTheCommandsAfter234) {
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        FakeFtpServer server;
        server.Expect("AUTH TLS").Line("234 go ahead").StartTls();
        server.Expect("USER anonymous").Line("331 password");
        TlsTestClient client;
        ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
        EXPECT_EQ(client.ReadReply(), "220 FakeFtpServer ready");
        EXPECT_EQ(client.Command("AUTH TLS"), "234 go ahead");
        ASSERT_TRUE(client.StartTls(Certificates().CaFile(), "127.0.0.1", version)) << client.Error();
        EXPECT_EQ(client.Command("USER anonymous"), "331 password");
        EXPECT_TRUE(server.WaitForScriptDone());
        EXPECT_EQ(server.TlsHandshakes(), 1);
        EXPECT_EQ(server.TlsVersion(), client.TlsVersion());
        EXPECT_EQ(server.TlsVersion(), version == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3");
        EXPECT_EQ(server.Commands(), (std::vector<std::string>{"AUTH TLS", "USER anonymous"}));
        EXPECT_TRUE(server.Problems().empty()) << server.Problems().front();
    }
}

TEST(FakeFtpServerTlsTest, ImplicitTlsGreetsThroughTls) {
    FakeFtpServer server;
    server.OnConnect().StartTls().Line("220 secret hello");
    server.Expect("QUIT").Line("221 bye").Close();
    TlsTestClient client;
    ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
    ASSERT_TRUE(client.StartTls(Certificates().CaFile())) << client.Error();
    EXPECT_EQ(client.ReadReply(), "220 secret hello");
    EXPECT_EQ(client.Command("QUIT"), "221 bye");
    EXPECT_TRUE(server.WaitForClose());
    EXPECT_TRUE(server.Problems().empty()) << server.Problems().front();
}

TEST(FakeFtpServerTlsTest, HandshakeRefusedByTheClientIsRecorded) {
    FakeFtpServer server;
    server.SetTlsCertificate(Certificates().WrongNameCert(), Certificates().WrongNameKey());
    server.Expect("AUTH TLS").Line("234 go ahead").StartTls();
    TlsTestClient client;
    ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
    client.ReadReply();
    EXPECT_EQ(client.Command("AUTH TLS"), "234 go ahead");
    EXPECT_FALSE(client.StartTls(Certificates().CaFile(), "127.0.0.1"));
    EXPECT_FALSE(server.WaitForTlsHandshake());
    ASSERT_EQ(server.TlsErrors().size(), 1u);
    EXPECT_TRUE(server.WaitForClose());
}

TEST(FakeFtpServerTlsTest, HostileAnswersToTheClientHelloBreakTheHandshake) {
    struct Case {
        const char* name;
        bool implicit;
        std::string answer;  // empty: silence
    };
    const Case cases[] = {
        {"garbage after 234", false, std::string("\x00\x01\x02garbage\xff\xfe\xfd", 13)},
        {"plain reply after 234", false, "200 Plain text after all\r\n"},
        {"silence after 234", false, ""},
        {"silent implicit server", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpServer server;
        if (c.implicit) {
            server.OnConnect().AwaitClientHello();
        } else {
            server.Expect("AUTH TLS").Line("234 go ahead").AwaitClientHello().Reply(c.answer);
        }
        TlsTestClient client(c.answer.empty() ? 1000ms : 5000ms);
        ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
        if (!c.implicit) {
            client.ReadReply();
            EXPECT_EQ(client.Command("AUTH TLS"), "234 go ahead");
        }
        EXPECT_FALSE(client.StartTls(Certificates().CaFile()));
        EXPECT_TRUE(server.WaitForScriptDone());
        // What the client sent after the command is its ClientHello, recorded but not read as commands.
        EXPECT_EQ(server.Commands().size(), c.implicit ? 0u : 1u);
        EXPECT_GT(server.ControlBytes().size(), 100u);
        EXPECT_EQ(server.TlsHandshakes(), 0);
        EXPECT_TRUE(server.Problems().empty()) << server.Problems().front();
    }
}

TEST(FakeFtpServerTlsTest, PlainCommandsSentAfterAuthTlsAreNotObeyed) {
    FakeFtpServer server;
    server.Expect("AUTH TLS").Line("234 go ahead").StartTls();
    TlsTestClient client;
    ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
    client.ReadReply();
    // Both lines in one go: the second must not be served as if it came through TLS.
    ASSERT_TRUE(client.SendLine("AUTH TLS\r\nUSER injected"));
    EXPECT_EQ(client.ReadReply(), "234 go ahead");
    EXPECT_TRUE(client.StartTls(Certificates().CaFile())) << client.Error();
    EXPECT_TRUE(server.WaitForScriptDone());
    // Dropped, not answered with the unscripted-command reply.
    ASSERT_EQ(server.Problems().size(), 1u);
    EXPECT_NE(server.Problems().front().find("before the TLS handshake"), std::string::npos);
}

// --- Real servers ---

struct Variant {
    Kind kind;
    Tls tls;
    const char* name;
};
constexpr Variant kVariants[] = {
    {Kind::Vsftpd, Tls::Explicit, "vsftpd_explicit"},
    {Kind::Vsftpd, Tls::Implicit, "vsftpd_implicit"},
    {Kind::Pyftpdlib, Tls::Explicit, "pyftpdlib_explicit"},
    {Kind::Proftpd, Tls::Explicit, "proftpd_explicit"},
    {Kind::Proftpd, Tls::Implicit, "proftpd_implicit"},
};

class RealTlsServerTest : public ::testing::TestWithParam<Variant> {};

TEST_P(RealTlsServerTest, LogsInThroughTlsAndRefusesPlainLogins) {
    const Variant& variant = GetParam();
    RealFtpServer server(variant.kind, variant.tls);
    WISP_REQUIRE_REAL_SERVER(server);
    std::string user = server.HasNamedAccount() ? RealFtpServer::kUser : "anonymous";
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        TlsTestClient client;
        ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
        if (variant.tls == Tls::Explicit) {
            EXPECT_EQ(client.ReadReply().substr(0, 4), "220 ");
            EXPECT_EQ(client.Command("AUTH TLS").substr(0, 4), "234 ");
        }
        ASSERT_TRUE(client.StartTls(Certificates().CaFile(), "127.0.0.1", version))
            << client.Error() << server.Log();
        EXPECT_EQ(client.TlsVersion(), version == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3");
        if (variant.tls == Tls::Implicit) {
            EXPECT_EQ(client.ReadReply().substr(0, 4), "220 ");
        }
        std::string reply = client.Command("USER " + user);
        if (reply.rfind("331", 0) == 0) {
            reply = client.Command(std::string("PASS ") + RealFtpServer::kPassword);
        }
        EXPECT_EQ(reply.substr(0, 4), "230 ") << reply;
        EXPECT_EQ(client.Command("PBSZ 0").substr(0, 4), "200 ");
        EXPECT_EQ(client.Command("PROT P").substr(0, 4), "200 ");
    }
    if (variant.tls == Tls::Explicit) {
        TlsTestClient plain;
        ASSERT_TRUE(plain.Connect(server.Port())) << plain.Error();
        plain.ReadReply();
        EXPECT_EQ(plain.Command("USER " + user).substr(0, 1), "5");
    }
    std::vector<std::string> commands = server.ReceivedCommands();
    EXPECT_TRUE(Contains(commands, "USER " + user)) << server.Log();
    EXPECT_EQ(Contains(commands, "AUTH TLS"), variant.tls == Tls::Explicit) << server.Log();
}

// Runs a command line (bounded by the caller's own options); it must be shell-safe.
std::pair<int, std::string> RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return {-1, output};
    }
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// Independent clients move files through the protected data connections, in passive and active mode (vsftpd
// and proftpd also require each data connection to resume a TLS session of the control connection's).
TEST_P(RealTlsServerTest, IndependentClientsDownloadThroughTls) {
    const Variant& variant = GetParam();
    RealFtpServer server(variant.kind, variant.tls);
    WISP_REQUIRE_REAL_SERVER(server);
    std::string payload = server.WritePatternFile("pub/data.bin", 300000);
    TempDir local;
    std::string scheme = variant.tls == Tls::Implicit ? "ftps" : "ftp";
    std::string address = "127.0.0.1:" + std::to_string(server.Port());
    std::string user = server.HasNamedAccount() ? RealFtpServer::kUser : "anonymous";
    std::string password = server.HasNamedAccount() ? RealFtpServer::kPassword : "";
    std::string ca = Certificates().CaFile().string();

    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "lftp passive" : "lftp active");
        std::string out = (local / (passive ? "passive.bin" : "active.bin")).string();
        auto [exitCode, output] = RunCommand(
            "timeout 60 lftp -c 'set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:ca-file " +
            ca + "; set ftp:passive-mode " + (passive ? "on" : "off") +
            "; set ftp:port-ipv4 127.0.0.1; set net:max-retries 2; set net:timeout 15; open -u " + user +
            "," + password + " " + scheme + "://" + address + "; get pub/data.bin -o " + out + "'");
        EXPECT_EQ(exitCode, 0) << output << server.Log();
        EXPECT_TRUE(TempDir::ReadFileAt(out) == payload);
    }
    // curl opens the data connection's TLS before it sends RETR, which pyftpdlib answers with a reset.
    if (variant.kind != Kind::Pyftpdlib) {
        for (const char* version : {"--tls-max 1.2", "--tlsv1.3"}) {
            SCOPED_TRACE(std::string("curl passive ") + version);
            auto [exitCode, output] =
                RunCommand("curl -s -S --max-time 20 --ssl-reqd --disable-epsv --cacert " + ca + " " +
                           version + " " + scheme + "://" + address + "/pub/data.bin");
            EXPECT_EQ(exitCode, 0) << output.substr(0, 500) << server.Log();
            EXPECT_TRUE(output == payload) << "received " << output.size() << " bytes";
        }
    }
}

TEST_P(RealTlsServerTest, PresentsTheChosenCertificate) {
    const Variant& variant = GetParam();
    RealFtpServer server(variant.kind, variant.tls, Which::WrongName);
    WISP_REQUIRE_REAL_SERVER(server);
    for (const char* host : {"127.0.0.1", TestCertificates::kOtherHost}) {
        SCOPED_TRACE(host);
        TlsTestClient client;
        ASSERT_TRUE(client.Connect(server.Port())) << client.Error();
        if (variant.tls == Tls::Explicit) {
            client.ReadReply();
            EXPECT_EQ(client.Command("AUTH TLS").substr(0, 4), "234 ");
        }
        EXPECT_EQ(client.StartTls(Certificates().CaFile(), host),
                  std::string_view(host) == TestCertificates::kOtherHost)
            << client.Error();
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, RealTlsServerTest, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant>& info) { return info.param.name; });

}  // namespace
