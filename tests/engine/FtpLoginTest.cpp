// The connect sequence and the USER/PASS dialogue, against the fake server.
#include "engine/FtpLogin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"
#include "support/EngineFixture.h"
#include "support/SessionRows.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kConnecting = "Connecting to 127.0.0.1";
const std::string kLoggingIn = "... connected, logging in";
const std::string kNeedPassword = "... user OK, need passwd";
const std::string kFailed = "... failed to log in";

TEST(FtpLogin, FollowsTheReplyTables) {
    const std::string refusal = " ... \"account\" feature NOT supported!";
    const std::string connected = "Connected to 127.0.0.1 [127.0.0.1:{port}]";
    // Logged in as joe:secret; the greeting is the fake server's 220 unless a row gives its own.
    std::vector<SessionRow> rows = {
        {.what = "greeting 120",
         .script = {{"", "120 later"}},
         .results = {0},
         .messages = {kConnecting, "... cannot connect at this time", kFailed},
         .failures = {"Login: Login failed: cannot connect at this time"}},
        {.what = "greeting 421",
         .script = {{"", "421 busy"}},
         .results = {0},
         .messages = {kConnecting, "... service not available", kFailed}},
        {.what = "greeting 200",
         .script = {{"", "200 what"}},
         .results = {0},
         .messages = {kConnecting, "... <undefined response>", kFailed}},
        {.what = "USER 230",
         .script = {{"USER joe", "230 welcome"}},
         .results = {1},
         .messages = {kConnecting, kLoggingIn, "... user joe logged in", connected}},
        {.what = "USER 331, PASS 230",
         .script = {{"USER joe", "331 pass please"}, {"PASS secret", "230 ok"}},
         .results = {1},
         .messages = {kConnecting, kLoggingIn, kNeedPassword, "... user joe logged in", connected},
         .failures = {}},
        {.what = "PASS 202",
         .script = {{"USER joe", "331 pass"}, {"PASS secret", "202 no need"}},
         .results = {1},
         .messages = {kConnecting, kLoggingIn, kNeedPassword, " ... password NOT required", connected}},
        {.what = "USER 332",
         .script = {{"USER joe", "332 account?"}, {"QUIT"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, "... user OK, need acct", refusal, kFailed},
         .failures = {"Login: Login failed: \"account\" feature NOT supported!"}},
        {.what = "USER 421",
         .script = {{"USER joe", "421 bye"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, "... service not available", kFailed}},
        {.what = "USER 500",
         .script = {{"USER joe", "500 what"}, {"QUIT"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, "... command error, try again", kFailed}},
        {.what = "USER 501",
         .script = {{"USER joe", "501 what"}, {"QUIT"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, "... command error, try again", kFailed}},
        {.what = "USER 503 is undefined",
         .script = {{"USER joe", "503 order"}, {"QUIT"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, "... <undefined response>", kFailed}},
        {.what = "USER 530, the server's words shown as printable text",
         .script = {{"USER joe", "530 Anonymous \x1b[2Jdisabled"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, "... user joe NOT logged in", kFailed},
         .failures = {"Login: Login refused: 530 Anonymous \\x1B[2Jdisabled"}},
        {.what = "PASS 332",
         .script = {{"USER joe", "331 pass"}, {"PASS secret", "332 account?"}, {"QUIT"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, kNeedPassword, " ... passwd OK, need account", refusal,
                      kFailed}},
        {.what = "PASS 421",
         .script = {{"USER joe", "331 pass"}, {"PASS secret", "421 Too many users"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, kNeedPassword, " ... service not available", kFailed},
         .failures = {"Login: Login failed: 421 Too many users"}},
        {.what = "PASS 503 is a command error",
         .script = {{"USER joe", "331 pass"}, {"PASS secret", "503 order"}, {"QUIT"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, kNeedPassword, " ... command error, try again", kFailed}},
        {.what = "PASS 530",
         .script = {{"USER joe", "331 pass"}, {"PASS secret", "530 Login incorrect."}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, kNeedPassword, "... user joe NOT logged in", kFailed},
         .failures = {"Login: Login refused: 530 Login incorrect."}},
        {.what = "PASS 299",
         .script = {{"USER joe", "331 pass"}, {"PASS secret", "299 odd"}, {"QUIT"}},
         .results = {0},
         .messages = {kConnecting, kLoggingIn, kNeedPassword, " ... <undefined response>", kFailed}},
    };
    for (SessionRow& row : rows) {
        row.login = "joe:secret@";
        const auto run = RunRow(row);
        SCOPED_TRACE(row.what);
        const bool loggedIn = run->results.at(0) == 1;
        if (loggedIn) {
            EXPECT_EQ(run->connection, "127.0.0.1 [127.0.0.1:" + std::to_string(run->server.Port()) + "]");
        }
        // The title: "Connecting to" first; then the connection text, or cleared after a refused login.
        const Lines statuses = run->views.Texts("SetStatus");
        ASSERT_FALSE(statuses.empty());
        EXPECT_EQ(statuses.front(), kConnecting);
        EXPECT_EQ(run->views.Count("ClearStatus"), loggedIn ? 0 : 1);
    }
}

TEST(FtpLogin, MasksThePasswordAndUsesTheDefaultLogin) {
    const auto run = RunRow(
        {.script = {{"USER anonymous", "331 send your e-mail"}, {"PASS *", "230 welcome"}}, .results = {1}});
    const Lines traffic = run->views.Traffic();
    ASSERT_EQ(traffic.size(), 7u);  // greeting, USER, PASS, FEAT and their replies
    EXPECT_EQ(traffic[1], "<USER anonymous");
    const std::string password = run->server.Commands().at(1).substr(5);
    EXPECT_FALSE(password.empty());
    EXPECT_EQ(traffic[3], "<PASS " + std::string(password.size(), '*'));
}

TEST(FtpLogin, ReportsTheHostAsWrittenWithThePeerAddress) {
    FakeFtpServer server;
    server.Expect("USER anonymous").Line("230 in");
    RecordingViews views;
    FtpUrl url;
    ASSERT_TRUE(ParseUrl(url, "ftp://localhost:" + std::to_string(server.Port()) + "/"));
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views());
    std::string connection;
    ASSERT_TRUE(FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), connection));
    EXPECT_EQ(connection, "localhost [127.0.0.1:" + std::to_string(server.Port()) + "]");
    EXPECT_EQ(views.Messages().back(), "Connected to " + connection);
    EXPECT_EQ(views.Texts("SetStatus").back(), views.Messages().back());
}

TEST(FtpLogin, LostConnectionCountsAs421) {
    const auto run = RunRow({.script = {{"USER anonymous", "", Step::Close()}},
                             .results = {0},
                             .messages = {kConnecting, kLoggingIn, "... service not available", kFailed}});
    EXPECT_EQ(run->views.Traffic().back(), "... [CONTROL] Receive failed, WinSock err = WSAECONNRESET");
}

TEST(FtpLogin, RefusedConnectIsReported) {
    std::uint16_t port = 0;
    {
        FakeFtpServer gone;
        port = gone.Port();
    }
    FtpUrl url;
    ASSERT_TRUE(ParseUrl(url, ServerUrl(port)));
    RecordingViews views;
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views());
    std::string text;
    EXPECT_FALSE(FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), text));
    EXPECT_EQ(views.Messages(), (Lines{kConnecting, "... failed to connect, WinSock err = WSAECONNREFUSED"}));
    // The title keeps "Connecting to" until the Host page resets it.
    EXPECT_EQ(views.Count("ClearStatus"), 0);
    EXPECT_EQ(views.Failures(),
              Lines{"Connect: Could not connect to 127.0.0.1: connection refused (WSAECONNREFUSED)"});
}

}  // namespace
