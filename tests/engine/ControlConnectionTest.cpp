// SendCommand, ReadReply and Abort's ABOR on a session's control connection, against the fake server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/FtpSession.h"
#include "hosts/FtpUrl.h"
#include "support/EngineFixture.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"

namespace {

using Ms = std::chrono::milliseconds;
using Lines = std::vector<std::string>;

const std::string kReceiveFailed = "... [CONTROL] Receive failed, WinSock err = ";

// A session without a worker whose control connection is open to the fake server; the test thread plays
// the worker.
class ControlConnection : public ::testing::Test, protected EngineSession {};

TEST_F(ControlConnection, ReadsCompleteRepliesOrFailsWith421) {
    struct Case {
        const char* what;
        std::vector<std::string> segments;  // one segment: sent at once
        bool closeAfter;
        int code;
        Lines traffic;
        std::string lastLine;  // "untouched" when the read fails
    };
    const std::string line255 = "220 " + std::string(251, 'x');
    const std::string line256 = "220 " + std::string(252, 'x');
    std::string lfOnly;
    while (lfOnly.size() < 300) {
        lfOnly += "220 lf\n";
    }
    std::vector<std::string> bytewise;
    for (const char c : std::string("220-a\r\n220 b\r\n")) {
        bytewise.emplace_back(1, c);
    }
    const std::vector<Case> cases = {
        {"fourth character neither '-' nor space, then a short line",
         {"2201\r\n2\r\n"},
         false,
         421,
         {">2201", kReceiveFailed + "WSAEINVAL"},
         "untouched"},
        {"one line", {"220 hello\r\n"}, false, 220, {">220 hello"}, "220 hello"},
        {"multi-line",
         {"230-first\r\n    indented text\r\n230 done\r\n"},
         false,
         230,
         {">230-first", ">    indented text", ">230 done"},
         "230 done"},
        {"empty line inside is skipped",
         {"230-first\r\n\r\n230 done\r\n"},
         false,
         230,
         {">230-first", ">230 done"},
         "230 done"},
        {"short line inside is skipped",
         {"230-a\r\nab\r\n230 b\r\n"},
         false,
         230,
         {">230-a", ">230 b"},
         "230 b"},
        {"other code inside does not end it",
         {"230-a\r\n220 x\r\n230 b\r\n"},
         false,
         230,
         {">230-a", ">220 x", ">230 b"},
         "230 b"},
        {"odd fourth character reads on",
         {"220x hi\r\n220 end\r\n"},
         false,
         220,
         {">220x hi", ">220 end"},
         "220 end"},
        {"one byte per segment", bytewise, false, 220, {">220-a", ">220 b"}, "220 b"},
        {"split across segments", {"22", "0 spl", "it\r", "\n"}, false, 220, {">220 split"}, "220 split"},
        {"255 characters", {line255 + "\r\n"}, false, 220, {">" + line255}, line255},
        {"code without digits", {"2ab x\r\n"}, false, 2, {">2ab x"}, "2ab x"},
        {"256 characters", {line256 + "\r\n"}, false, 421, {kReceiveFailed + "WSAEMSGSIZE"}, "untouched"},
        {"LF-only lines fail at 256 characters",
         {lfOnly},
         false,
         421,
         {kReceiveFailed + "WSAEMSGSIZE"},
         "untouched"},
        {"LF-only lines fail at close",
         {"220 a\n220 b\n"},
         true,
         421,
         {kReceiveFailed + "WSAECONNRESET"},
         "untouched"},
        {"short line outside a multi-line reply",
         {"22\r\n"},
         false,
         421,
         {kReceiveFailed + "WSAEINVAL"},
         "untouched"},
        {"close in the middle",
         {"230-a\r\n"},
         true,
         421,
         {">230-a", kReceiveFailed + "WSAECONNRESET"},
         "untouched"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EngineSession one;  // a fresh server per case keeps their bytes apart
        one.server.SetSegmentPause(Ms(2));
        {
            auto greeting = one.server.OnConnect();
            if (c.segments.size() == 1) {
                greeting.Reply(c.segments[0]);
            } else {
                greeting.Segments(c.segments);
            }
            if (c.closeAfter) {
                greeting.Close();
            }
        }
        ASSERT_TRUE(one.OpenControl());
        FtpReply reply;
        reply.lastLine = "untouched";
        EXPECT_EQ(one.Context().ReadReply(&reply), c.code);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(one.views.Traffic(), c.traffic);
        EXPECT_EQ(reply.lastLine, c.lastLine);
        EXPECT_TRUE(one.views.Messages().empty());
    }
}

TEST_F(ControlConnection, ReadsAreBoundedByTheIdleTimeOut) {
    server.OnConnect();  // accepts and says nothing
    TestSessionOptions options;
    options.controlTimeoutMs = 200;
    ASSERT_TRUE(OpenControl(options));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Context().ReadReply(), 421);
    EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(3000));
    EXPECT_EQ(views.Traffic(), Lines{kReceiveFailed + "WSAETIMEDOUT"});
}

TEST_F(ControlConnection, CommandsAreLoggedMaskedAndSentWhole) {
    struct Case {
        std::string command;
        std::string traffic;
    };
    const std::string longest = "CWD " + std::string(506, 'd');
    const std::vector<Case> cases = {
        {"USER anonymous", "<USER anonymous"}, {"PASS secret", "<PASS ******"}, {"PASS ", "<PASS "},
        {"PASS a b\x01", "<PASS ****"},        {longest, "<" + longest},
    };
    ASSERT_TRUE(OpenControl());
    std::string expectedBytes;
    Lines expectedTraffic;
    for (const auto& c : cases) {
        EXPECT_TRUE(Context().SendCommand(c.command));
        expectedBytes += c.command + "\r\n";
        expectedTraffic.push_back(c.traffic);
    }
    ASSERT_TRUE(server.WaitForControlBytes(expectedBytes.size()));
    EXPECT_EQ(server.ControlBytes(), expectedBytes);
    EXPECT_EQ(longest.size() + 2, 512u);
    EXPECT_EQ(views.Traffic(), expectedTraffic);
    EXPECT_TRUE(views.Messages().empty());
}

TEST_F(ControlConnection, UnsafeCommandsAreRefusedAndTheSessionStaysUsable) {
    struct Case {
        std::string command;
        std::string message;
    };
    const std::string tooLong = "... command not sent: it is longer than 510 characters";
    const std::string unsafe = "... command not sent: it holds a CR, LF or NUL character";
    const std::vector<Case> cases = {
        {"CWD " + std::string(507, 'd'), tooLong},
        {"DELE evil\nDELE victim", unsafe},
        {"RETR a\rb", unsafe},
        {std::string("CWD a\0b", 7), unsafe},
        {"PASS " + std::string(600, 'p'), tooLong},
    };
    server.OnVerb("NOOP").Line("200 still here");
    ASSERT_TRUE(OpenControl());
    ASSERT_EQ(Context().ReadReply(), 220);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.substr(0, 20));
        const auto start = std::chrono::steady_clock::now();
        FtpReply reply;
        // Refused commands get their code at once: nothing was sent, so no reply is awaited.
        EXPECT_EQ(Context().Command(c.command, &reply), FtpSession::kCommandRefused);
        EXPECT_EQ(reply.codeText, "501");
        EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(1000));
        EXPECT_FALSE(Context().SendCommand(c.command));
        EXPECT_EQ(views.Messages().back(), c.message);
    }
    EXPECT_EQ(views.Traffic(), Lines{">220 FakeFtpServer ready"});
    EXPECT_EQ(Context().Command("NOOP"), 200);
    EXPECT_EQ(server.Commands(), Lines{"NOOP"});
}

TEST_F(ControlConnection, SendFailureIsLoggedAndTheReplyReadFails) {
    server.Expect("NOOP").Reset();
    ASSERT_TRUE(OpenControl());
    ASSERT_EQ(Context().ReadReply(), 220);
    EXPECT_EQ(Context().Command("NOOP"), 421);
    ASSERT_TRUE(server.WaitForClose());
    // The reset is reported by the read; the next send then fails on the dead connection.
    EXPECT_TRUE(Context().SendCommand("NOOP"));
    EXPECT_EQ(Context().ReadReply(), 421);
    const Lines messages = views.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().rfind("... [CONTROL] Send failed, WinSock err = WSAE", 0), 0u)
        << messages.back();
}

TEST_F(ControlConnection, RepliesOfTheAbortedTransferAreSkippedAfterAbor) {
    struct Case {
        const char* what;
        bool transferring;
        std::string replies;
        int code;
        Lines traffic;
    };
    const std::vector<Case> cases = {
        {"426 then 226",
         true,
         "426 Transfer aborted\r\n226 Abort successful\r\n",
         226,
         {"<ABOR", ">426 Transfer aborted", ">226 Abort successful"}},
        {"225 then 226",
         true,
         "225 No transfer\r\n226 Closing\r\n",
         226,
         {"<ABOR", ">225 No transfer", ">226 Closing"}},
        {"multi-line 426",
         true,
         "426-a\r\n426 b\r\n226 ok\r\n",
         226,
         {"<ABOR", ">426-a", ">426 b", ">226 ok"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EngineSession one;
        one.server.Expect("ABOR").Reply(c.replies);
        ASSERT_TRUE(one.OpenControl());
        ASSERT_EQ(one.Context().ReadReply(), 220);
        one.Context().Abort().SetTransferring(c.transferring);
        one.session->Abort();
        EXPECT_TRUE(one.Context().Abort().AborBegun());
        EXPECT_TRUE(one.Context().AbortRequested());
        EXPECT_EQ(one.Context().ReadFinalReply(), c.code);
        Lines traffic = one.views.Traffic();
        traffic.erase(traffic.begin());  // the greeting
        EXPECT_EQ(traffic, c.traffic);
        EXPECT_EQ(one.views.Messages(), Lines{"Transfer terminated"});
        EXPECT_EQ(one.views.Texts("SetStatus"), Lines{"Transfer terminated"});
    }
}

TEST_F(ControlConnection, AborIsPrecededByTelnetIpAndUrgentDm) {
    server.Expect("ABOR").Reply("426 aborted\r\n226 done\r\n");
    ASSERT_TRUE(OpenControl());
    ASSERT_EQ(Context().ReadReply(), 220);
    // Without a running transfer, Abort sends nothing and reports nothing.
    session->Abort();
    EXPECT_FALSE(Context().Abort().AborBegun());
    EXPECT_TRUE(views.Messages().empty());

    Context().Abort().SetTransferring(true);
    session->Abort();
    session->Abort();  // a second Abort of the same transfer sends nothing more
    ASSERT_TRUE(server.WaitForCommand("ABOR"));
    EXPECT_EQ(Context().ReadFinalReply(), 226);
    const std::string expected =
        "\xff\xf4\xff\xf2"
        "ABOR\r\n";
    EXPECT_EQ(server.ControlBytes(), expected);
    EXPECT_EQ(server.UrgentOffsets(), std::vector<std::size_t>{3});
    EXPECT_EQ(server.Commands(), Lines{"ABOR"});
    EXPECT_EQ(views.Messages(), (Lines{"Transfer terminated", "Transfer terminated"}));
}

TEST_F(ControlConnection, WithoutAborThe426IsTheReply) {
    server.Expect("RETR x").Reply("426 broken\r\n226 late\r\n");
    ASSERT_TRUE(OpenControl());
    ASSERT_EQ(Context().ReadReply(), 220);
    EXPECT_EQ(Context().Command("RETR x"), 426);
}

}  // namespace
