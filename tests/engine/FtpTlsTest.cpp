// TLS refusals that must end a session before USER: a server that refuses AUTH TLS, one that never
// finishes the handshake, and ones that answer it with garbage or plain text. The fake server speaks no
// TLS, which is exactly what these servers do wrong.
#include "engine/FtpTls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/FtpLogin.h"
#include "engine/FtpSession.h"
#include "engine/FtpTransfers.h"
#include "hosts/FtpUrl.h"
#include "hosts/TrustedCertificates.h"
#include "listing/RemoteEntry.h"
#include "support/EngineFixture.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

using Lines = std::vector<std::string>;

struct Refusal {
    const char* what;
    const char* scheme;
    std::function<void(FakeFtpServer&)> script;
    std::string expectedMessage;  // a message the log must hold
    bool quit;                    // QUIT is sent (the control connection is still plain and sane)
};

bool HasMessage(const Lines& messages, const std::string& wanted) {
    return std::find(messages.begin(), messages.end(), wanted) != messages.end();
}

TEST(FtpTls, RefusalsEndTheSessionBeforeUser) {
    const std::string handshakeFailed = "... TLS handshake failed: ";
    const std::vector<Refusal> cases = {
        {"AUTH TLS refused", "ftpes",
         [](FakeFtpServer& s) { s.Expect("AUTH TLS").Line("500 AUTH not understood"); },
         "... AUTH TLS refused, not logging in without TLS", true},
        {"AUTH TLS answered 421", "ftpes", [](FakeFtpServer& s) { s.Expect("AUTH TLS").Line("421 bye"); },
         "... service not available", false},
        {"silence after 234", "ftpes",
         [](FakeFtpServer& s) { s.Expect("AUTH TLS").Line("234 go ahead").AwaitClientHello(); },
         handshakeFailed + "the handshake timed out, WinSock err = WSAETIMEDOUT", false},
        {"garbage after 234", "ftpes",
         [](FakeFtpServer& s) {
             s.Expect("AUTH TLS").Line("234 go ahead").AwaitClientHello().Reply(std::string(300, '\x16'));
         },
         handshakeFailed, false},
        {"plain reply after 234", "ftpes",
         [](FakeFtpServer& s) {
             s.Expect("AUTH TLS").Line("234 go ahead").AwaitClientHello().Line("230 you are in");
         },
         handshakeFailed, false},
        {"plain text in the 234 packet", "ftpes",
         [](FakeFtpServer& s) { s.Expect("AUTH TLS").Reply("234 go ahead\r\n230 you are in\r\n"); },
         "... TLS handshake failed: the server sent text after accepting AUTH TLS", false},
        {"reset after 234", "ftpes",
         [](FakeFtpServer& s) { s.Expect("AUTH TLS").Line("234 go ahead").Reset(); }, handshakeFailed, false},
        {"plain greeting on implicit TLS", "ftps", [](FakeFtpServer&) {}, handshakeFailed, false},
        {"silence on implicit TLS", "ftps", [](FakeFtpServer& s) { s.OnConnect().AwaitClientHello(); },
         handshakeFailed + "the handshake timed out, WinSock err = WSAETIMEDOUT", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFtpServer server;
        c.script(server);
        RecordingViews views;
        FtpUrl url;
        ASSERT_TRUE(ParseUrl(url, ServerUrl(server.Port(), "", "joe:secret@", c.scheme)));
        TestSessionOptions options;
        options.controlTimeoutMs = 500;
        auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views(), options);
        std::string connectionText;
        EXPECT_FALSE(FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), connectionText));
        FtpSessionTesting::Context(*session).Control().Close();
        EXPECT_TRUE(server.WaitForClose());

        const Lines messages = views.Messages();
        const bool found = std::any_of(messages.begin(), messages.end(), [&](const std::string& line) {
            return line.rfind(c.expectedMessage, 0) == 0;
        });
        EXPECT_TRUE(found) << "no message starting with \"" << c.expectedMessage << "\" in\n"
                           << testing::PrintToString(messages);
        EXPECT_TRUE(HasMessage(messages, "... failed to log in"));
        const Lines commands = server.Commands();
        for (const auto& command : commands) {
            EXPECT_NE(command.rfind("USER", 0), 0u) << "USER was sent";
            EXPECT_NE(command.rfind("PASS", 0), 0u) << "PASS was sent";
        }
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "QUIT"), c.quit ? 1 : 0);
        EXPECT_EQ(views.Count("AskCertificateTrust"), 0);
    }
}

// One explicit-TLS login as the server scripts it; the login commands come only after a trusted handshake.
void ScriptLogin(FakeFtpServer& server) {
    server.Expect("AUTH TLS").Line("234 go ahead").StartTls();
    server.Expect("USER joe").Line("331 password");
    server.Expect("PASS secret").Line("230 in");
    server.Expect("PBSZ 0").Line("200 ok");
    server.Expect("PROT P").Line("200 protected");
}

bool Connect(FakeFtpServer& server, RecordingViews& views, std::shared_ptr<TrustedCertificates> trusted) {
    FtpUrl url;
    EXPECT_TRUE(ParseUrl(url, ServerUrl(server.Port(), "", "joe:secret@", "ftpes")));
    TestSessionOptions options;
    options.tlsTrustFile = TestCertificates::Shared().CaFile().string();
    options.trustedCertificates = std::move(trusted);
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views(), options);
    std::string connectionText;
    const bool ok = FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), connectionText);
    FtpSessionTesting::Context(*session).Control().Close();
    EXPECT_TRUE(server.WaitForClose());
    return ok;
}

int UsersSent(const FakeFtpServer& server) {
    const Lines commands = server.Commands();
    return static_cast<int>(std::count(commands.begin(), commands.end(), "USER joe"));
}

TEST(FtpTls, UnverifiedCertificatesAreTheUsersToJudge) {
    using Which = TestCertificates::Which;
    const TestCertificates& certificates = TestCertificates::Shared();
    ASSERT_TRUE(certificates.Valid()) << certificates.Error();
    struct Case {
        const char* what;
        Which certificate;
        CertificateTrust answer;
        bool loggedIn;
        std::string problem;  // empty: no question asked
        std::string message;  // a message the log must hold
    };
    const std::vector<Case> cases = {
        {"trusted", Which::Server, CertificateTrust::Cancel, true, "",
         "... TLS 1.3 (TLS_AES_256_GCM_SHA384)"},
        {"wrong name, cancel", Which::WrongName, CertificateTrust::Cancel, false, "IP address mismatch",
         "... certificate refused, not logging in"},
        {"self-signed, this time", Which::SelfSigned, CertificateTrust::ThisTime, true,
         "self-signed certificate", "... certificate trusted this time"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFtpServer server;
        server.SetTlsCertificate(certificates.CertFile(c.certificate), certificates.KeyFile(c.certificate));
        ScriptLogin(server);
        RecordingViews views;
        views.SetCertificateAnswer(c.answer);
        EXPECT_EQ(Connect(server, views, nullptr), c.loggedIn);
        EXPECT_EQ(UsersSent(server), c.loggedIn ? 1 : 0);
        const auto questions = views.CertificateQuestions();
        ASSERT_EQ(questions.size(), c.problem.empty() ? 0u : 1u);
        if (!questions.empty()) {
            const CertificateQuestion& question = questions[0];
            EXPECT_EQ(question.host, "127.0.0.1");
            EXPECT_EQ(question.port, server.Port());
            EXPECT_EQ(question.certificate.problem, c.problem);
            EXPECT_FALSE(question.changed);
            EXPECT_EQ(question.certificate.fingerprint.size(), 32u * 3 - 1);  // SHA-256 as "AB:CD:..."
            EXPECT_NE(question.certificate.subject.find("CN"), std::string::npos)
                << question.certificate.subject;
            EXPECT_FALSE(question.certificate.validUntil.empty());
        }
        EXPECT_TRUE(HasMessage(views.Messages(), c.message)) << testing::PrintToString(views.Messages());
    }
}

TEST(FtpTls, AlwaysTrustedCertificatesAreRememberedUntilTheyChange) {
    const TestCertificates& certificates = TestCertificates::Shared();
    ASSERT_TRUE(certificates.Valid()) << certificates.Error();
    TempDir profile("wisp-trust");
    auto trusted = std::make_shared<TrustedCertificates>(ProfileStore(profile.Path()));
    FakeFtpServer server;
    server.SetTlsCertificate(certificates.SelfSignedCert(), certificates.SelfSignedKey());
    for (int i = 0; i < 3; ++i) {
        ScriptLogin(server);
    }

    RecordingViews first;
    first.SetCertificateAnswer(CertificateTrust::Always);
    ASSERT_TRUE(Connect(server, first, trusted));
    ASSERT_EQ(first.CertificateQuestions().size(), 1u);
    const std::string fingerprint = first.CertificateQuestions()[0].certificate.fingerprint;
    EXPECT_EQ(trusted->Check("127.0.0.1", server.Port(), fingerprint), TrustedCertificates::Match::Same);

    // The same certificate again, through a new store on the same profile: no question.
    RecordingViews second;
    EXPECT_TRUE(Connect(server, second, std::make_shared<TrustedCertificates>(ProfileStore(profile.Path()))));
    EXPECT_TRUE(second.CertificateQuestions().empty());
    EXPECT_TRUE(HasMessage(
        second.Messages(),
        "... certificate trusted: its fingerprint is stored for 127.0.0.1:" + std::to_string(server.Port())));

    // Another certificate was trusted for this host and port before: the question comes with a warning,
    // and a refusal sends no USER.
    ASSERT_TRUE(trusted->Remember("127.0.0.1", server.Port(), "00:11"));
    RecordingViews third;
    EXPECT_FALSE(Connect(server, third, trusted));
    ASSERT_EQ(third.CertificateQuestions().size(), 1u);
    EXPECT_TRUE(third.CertificateQuestions()[0].changed);
    EXPECT_EQ(UsersSent(server), 2);
}

// A data connection that Wisp refuses (here a server speaking in clear after PROT P) moved nothing: the
// server's 226 for it must not make the download a success.
TEST(FtpTls, ADataConnectionRefusedHereFailsTheTransferWhateverTheServerSays) {
    ASSERT_TRUE(TestCertificates::Shared().Valid()) << TestCertificates::Shared().Error();
    TempDir folder("wisp-tls");
    FakeFtpServer server;
    ScriptLogin(server);
    server.Expect("PASV").Pasv();
    server.Expect("RETR f").Line("150 go").DataSend("plain text, no TLS").DataClose().Line("226 ok");
    RecordingViews views;
    FtpUrl url;
    ASSERT_TRUE(ParseUrl(url, ServerUrl(server.Port(), "", "joe:secret@", "ftpes")));
    TestSessionOptions options;
    options.tlsTrustFile = TestCertificates::Shared().CaFile().string();
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views(), options);
    FtpContext& context = FtpSessionTesting::Context(*session);
    std::string connectionText;
    ASSERT_TRUE(FtpLogin::ConnectAndLogin(context, connectionText));
    views.SetEntries({RemoteEntry("f", 18, 0)});
    FtpRequest request;
    request.text = folder.Path().string();
    request.object = std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0});
    EXPECT_EQ(FtpTransfers::GetFiles(context, request), FtpTransfers::kDataFailure);
    const Lines failures = views.Failures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].rfind("Remote: Could not download f: [DATA] TLS handshake failed", 0), 0u)
        << failures[0];
}

}  // namespace
