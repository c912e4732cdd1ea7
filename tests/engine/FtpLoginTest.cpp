// The connect sequence and the USER/PASS dialogue, against the fake server.
#include "engine/FtpLogin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"

namespace {

using Lines = std::vector<std::string>;

struct Outcome {
    bool loggedIn;
    Lines messages;
    Lines commands;
};

// Runs the connect sequence for `login` ("user:password@" or empty) against `server`.
Outcome RunLogin(FakeFtpServer& server, RecordingViews& views, const std::string& login,
                 const std::string& host = "127.0.0.1") {
    FtpUrl url;
    EXPECT_TRUE(ParseUrl(url, "ftp://" + login + host + ":" + std::to_string(server.Port()) + "/pub"));
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views());
    std::string connectionText;
    const bool ok = FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), connectionText);
    if (ok) {
        EXPECT_EQ(connectionText, host + " [127.0.0.1:" + std::to_string(server.Port()) + "]");
    }
    // Any QUIT was sent before ConnectAndLogin returned; closing makes the server see the end.
    FtpSessionTesting::Context(*session).Control().Close();
    EXPECT_TRUE(server.WaitForClose());
    return {ok, views.Messages(), server.Commands()};
}

TEST(FtpLogin, FollowsTheReplyTables) {
    struct Case {
        const char* what;
        std::string greeting;
        std::string userReply;  // empty: USER is not expected
        std::string passReply;  // empty: PASS is not expected
        bool loggedIn;
        Lines replyMessages;  // after "Connecting to 127.0.0.1"
        bool quit;
    };
    const std::string refusal = " ... \"account\" feature NOT supported!";
    const std::string failed = "... failed to log in";
    const std::vector<Case> cases = {
        {"greeting 120", "120 later", "", "", false, {"... cannot connect at this time", failed}, false},
        {"greeting 421", "421 busy", "", "", false, {"... service not available", failed}, false},
        {"greeting 200", "200 what", "", "", false, {"... <undefined response>", failed}, false},
        {"USER 230",
         "220 hi",
         "230 welcome",
         "",
         true,
         {"... connected, logging in", "... user joe logged in"},
         false},
        {"USER 331, PASS 230",
         "220 hi",
         "331 pass please",
         "230 ok",
         true,
         {"... connected, logging in", "... user OK, need passwd", "... user joe logged in"},
         false},
        {"PASS 202",
         "220 hi",
         "331 pass",
         "202 no need",
         true,
         {"... connected, logging in", "... user OK, need passwd", " ... password NOT required"},
         false},
        {"USER 332",
         "220 hi",
         "332 account?",
         "",
         false,
         {"... connected, logging in", "... user OK, need acct", refusal, failed},
         true},
        {"USER 421",
         "220 hi",
         "421 bye",
         "",
         false,
         {"... connected, logging in", "... service not available", failed},
         false},
        {"USER 500",
         "220 hi",
         "500 what",
         "",
         false,
         {"... connected, logging in", "... command error, try again", failed},
         true},
        {"USER 501",
         "220 hi",
         "501 what",
         "",
         false,
         {"... connected, logging in", "... command error, try again", failed},
         true},
        {"USER 503 is undefined",
         "220 hi",
         "503 order",
         "",
         false,
         {"... connected, logging in", "... <undefined response>", failed},
         true},
        {"USER 530",
         "220 hi",
         "530 no",
         "",
         false,
         {"... connected, logging in", "... user joe NOT logged in", failed},
         false},
        {"PASS 332",
         "220 hi",
         "331 pass",
         "332 account?",
         false,
         {"... connected, logging in", "... user OK, need passwd", " ... passwd OK, need account", refusal,
          failed},
         true},
        {"PASS 421",
         "220 hi",
         "331 pass",
         "421 bye",
         false,
         {"... connected, logging in", "... user OK, need passwd", " ... service not available", failed},
         false},
        {"PASS 503 is a command error",
         "220 hi",
         "331 pass",
         "503 order",
         false,
         {"... connected, logging in", "... user OK, need passwd", " ... command error, try again", failed},
         true},
        {"PASS 530",
         "220 hi",
         "331 pass",
         "530 wrong",
         false,
         {"... connected, logging in", "... user OK, need passwd", "... user joe NOT logged in", failed},
         false},
        {"PASS 299",
         "220 hi",
         "331 pass",
         "299 odd",
         false,
         {"... connected, logging in", "... user OK, need passwd", " ... <undefined response>", failed},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeFtpServer server;
        server.OnConnect().Line(c.greeting);
        if (!c.userReply.empty()) {
            server.Expect("USER joe").Line(c.userReply);
        }
        if (!c.passReply.empty()) {
            server.Expect("PASS secret").Line(c.passReply);
        }
        server.OnVerb("QUIT");  // no reply: it is never read
        RecordingViews views;
        const Outcome outcome = RunLogin(server, views, "joe:secret@");
        EXPECT_EQ(outcome.loggedIn, c.loggedIn);
        Lines expected = {"Connecting to 127.0.0.1"};
        expected.insert(expected.end(), c.replyMessages.begin(), c.replyMessages.end());
        if (c.loggedIn) {
            expected.push_back("Connected to 127.0.0.1 [127.0.0.1:" + std::to_string(server.Port()) + "]");
        }
        EXPECT_EQ(outcome.messages, expected);
        Lines commands;
        if (!c.userReply.empty()) {
            commands.push_back("USER joe");
        }
        if (!c.passReply.empty()) {
            commands.push_back("PASS secret");
        }
        if (c.quit) {
            commands.push_back("QUIT");
        }
        EXPECT_EQ(outcome.commands, commands);
        EXPECT_TRUE(server.Problems().empty());
        // The title: "Connecting to" first; then the connection text, or cleared after a refused login.
        const Lines statuses = views.Texts("SetStatus");
        ASSERT_FALSE(statuses.empty());
        EXPECT_EQ(statuses.front(), "Connecting to 127.0.0.1");
        EXPECT_EQ(views.Count("ClearStatus"), c.loggedIn ? 0 : 1);
    }
}

TEST(FtpLogin, MasksThePasswordAndUsesTheDefaultLogin) {
    FakeFtpServer server;
    server.Expect("USER anonymous").Line("331 send your e-mail");
    server.ExpectVerb("PASS").Line("230 welcome");
    RecordingViews views;
    const Outcome outcome = RunLogin(server, views, "");
    EXPECT_TRUE(outcome.loggedIn);
    const Lines traffic = views.Traffic();
    ASSERT_EQ(traffic.size(), 5u);
    EXPECT_EQ(traffic[1], "<USER anonymous");
    const std::string password = outcome.commands.at(1).substr(5);
    EXPECT_FALSE(password.empty());
    EXPECT_EQ(traffic[3], "<PASS " + std::string(password.size(), '*'));
}

TEST(FtpLogin, ReportsTheHostAsWrittenWithThePeerAddress) {
    FakeFtpServer server;
    server.Expect("USER anonymous").Line("230 in");
    RecordingViews views;
    const Outcome outcome = RunLogin(server, views, "", "localhost");
    ASSERT_TRUE(outcome.loggedIn);
    EXPECT_EQ(outcome.messages.back(),
              "Connected to localhost [127.0.0.1:" + std::to_string(server.Port()) + "]");
    EXPECT_EQ(views.Texts("SetStatus").back(), outcome.messages.back());
}

TEST(FtpLogin, LostConnectionCountsAs421) {
    FakeFtpServer server;
    server.Expect("USER anonymous").Close();
    RecordingViews views;
    const Outcome outcome = RunLogin(server, views, "");
    EXPECT_FALSE(outcome.loggedIn);
    EXPECT_EQ(outcome.messages, (Lines{"Connecting to 127.0.0.1", "... connected, logging in",
                                       "... service not available", "... failed to log in"}));
    EXPECT_EQ(views.Traffic().back(), "... [CONTROL] Receive failed, WinSock err = WSAECONNRESET");
}

TEST(FtpLogin, RefusedConnectIsReported) {
    std::uint16_t port = 0;
    {
        FakeFtpServer gone;
        port = gone.Port();
    }
    FtpUrl url;
    ASSERT_TRUE(ParseUrl(url, "ftp://127.0.0.1:" + std::to_string(port) + "/"));
    RecordingViews views;
    auto session = FtpSessionTesting::CreateWithoutWorker(url, views.Views());
    std::string text;
    EXPECT_FALSE(FtpLogin::ConnectAndLogin(FtpSessionTesting::Context(*session), text));
    EXPECT_EQ(views.Messages(),
              (Lines{"Connecting to 127.0.0.1", "... failed to connect, WinSock err = WSAECONNREFUSED"}));
    // The title keeps "Connecting to" until the Host page resets it.
    EXPECT_EQ(views.Count("ClearStatus"), 0);
    EXPECT_EQ(views.Failures(),
              Lines{"Connect: Could not connect to 127.0.0.1: connection refused (WSAECONNREFUSED)"});
}

// What the Host page shows when the login does not succeed: the server's own words where it gave some.
TEST(FtpLogin, TellsTheHostPageWhyTheLoginFailed) {
    struct Case {
        std::string greeting;
        std::string userReply;
        std::string passReply;  // empty: PASS is not expected
        std::string failure;    // empty: logged in, nothing shown
    };
    const std::vector<Case> cases = {
        {"220 hi", "331 pass", "530 Login incorrect.", "Login: Login refused: 530 Login incorrect."},
        {"220 hi", "530 Anonymous \x1b[2Jdisabled", "",
         "Login: Login refused: 530 Anonymous \\x1B[2Jdisabled"},
        {"220 hi", "331 pass", "421 Too many users", "Login: Login failed: 421 Too many users"},
        {"120 later", "", "", "Login: Login failed: cannot connect at this time"},
        {"220 hi", "332 account?", "", "Login: Login failed: \"account\" feature NOT supported!"},
        {"220 hi", "331 pass", "230 ok", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failure);
        FakeFtpServer server;
        server.OnConnect().Line(c.greeting);
        if (c.greeting.starts_with("220")) {
            server.Expect("USER joe").Line(c.userReply);
        }
        if (!c.passReply.empty()) {
            server.Expect("PASS secret").Line(c.passReply);
        }
        server.OnVerb("QUIT");
        RecordingViews views;
        RunLogin(server, views, "joe:secret@");
        EXPECT_EQ(views.Failures(), c.failure.empty() ? Lines{} : Lines{c.failure});
    }
}

}  // namespace
