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
#include "hosts/FtpUrl.h"
#include "support/FakeFtpServer.h"
#include "support/RecordingViews.h"

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
         [](FakeFtpServer& s) {
             s.Expect("AUTH TLS").Line("234 go ahead");
             s.Otherwise();  // the client's hello gets no answer at all
         },
         handshakeFailed + "the handshake timed out, WinSock err = WSAETIMEDOUT", false},
        {"garbage after 234", "ftpes",
         [](FakeFtpServer& s) {
             s.Expect("AUTH TLS")
                 .Line("234 go ahead")
                 .Delay(FakeFtpServer::Ms(50))
                 .Reply(std::string(300, '\x16'));
         },
         handshakeFailed, false},
        {"plain reply after 234", "ftpes",
         [](FakeFtpServer& s) {
             s.Expect("AUTH TLS").Line("234 go ahead").Delay(FakeFtpServer::Ms(50)).Line("230 you are in");
         },
         handshakeFailed, false},
        {"plain text in the 234 packet", "ftpes",
         [](FakeFtpServer& s) { s.Expect("AUTH TLS").Reply("234 go ahead\r\n230 you are in\r\n"); },
         "... TLS handshake failed: the server sent text after accepting AUTH TLS", false},
        {"reset after 234", "ftpes",
         [](FakeFtpServer& s) { s.Expect("AUTH TLS").Line("234 go ahead").Reset(); }, handshakeFailed, false},
        {"plain greeting on implicit TLS", "ftps", [](FakeFtpServer&) {}, handshakeFailed, false},
        {"silence on implicit TLS", "ftps",
         [](FakeFtpServer& s) {
             s.OnConnect();
             s.Otherwise();
         },
         handshakeFailed + "the handshake timed out, WinSock err = WSAETIMEDOUT", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFtpServer server;
        c.script(server);
        RecordingViews views;
        FtpUrl url;
        ASSERT_TRUE(ParseUrl(
            url, std::string(c.scheme) + "://joe:secret@127.0.0.1:" + std::to_string(server.Port()) + "/"));
        FtpSessionOptions options;
        options.controlTimeoutMs = 500;
        auto session = FtpSession::CreateWithoutWorker(url, views.Views(), options);
        std::string connectionText;
        EXPECT_FALSE(FtpLogin::ConnectAndLogin(session->Context(), connectionText));
        session->Context().Control().Close();
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

}  // namespace
