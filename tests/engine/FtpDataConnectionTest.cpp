// Data connections against the fake server: PASV (with the replies servers really send and the ones
// they should not), the switch to PORT, active mode, and the bounds on every wait.
#include "engine/FtpDataConnection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/BufferedSocket.h"
#include "engine/FtpSession.h"
#include "engine/FtpTransfers.h"
#include "support/EngineFixture.h"
#include "support/FakeFtpServer.h"
#include "support/FtpSessionTesting.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// A loopback port that nothing listens on (bound, then released).
std::uint16_t ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST(PasvReplyTest, TakesSixNumbersFromTheFirstDigitAfterTheCode) {
    struct Case {
        const char* line;
        std::optional<std::string> endpoint;  // "a.b.c.d:port"; nothing when refused
    };
    const std::vector<Case> cases = {
        {"227 Entering Passive Mode (10,0,0,5,19,137).", "10.0.0.5:5001"},
        {"227 Entering Passive Mode 10,0,0,5,19,137", "10.0.0.5:5001"},
        {"227 =127,0,0,1,4,1", "127.0.0.1:1025"},
        {"227 ok (127,0,0,1,4,1\"", "127.0.0.1:1025"},
        {"227 (127,,0,0,1,,4,1)", "127.0.0.1:1025"},  // runs of commas count as one
        {"227 (127, 0, 0, 1, 4, 1) trailing", "127.0.0.1:1025"},
        {"227 (0,0,0,0,255,255)", "0.0.0.0:65535"},
        {"227 Entering Passive Mode (127,0,0,1,4)", std::nullopt},
        {"227 Entering Passive Mode (127,0,0,1,4,256)", std::nullopt},
        {"227 Entering Passive Mode (1000,0,0,1,4,1)", std::nullopt},
        {"227 Entering Passive Mode (127,0,0,1,0,0)", std::nullopt},
        {"227 Entering Passive Mode (127,0,0,1,4,)", std::nullopt},
        {"227 Entering Passive Mode (127,0,0,1,4,x)", std::nullopt},
        {"227 Entering Passive Mode", std::nullopt},
        {"227", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto parsed = FtpDataConnection::ParsePasvReply(c.line);
        std::optional<std::string> endpoint;
        if (parsed) {
            endpoint = parsed->DottedAddress() + ":" + std::to_string(parsed->port);
        }
        EXPECT_EQ(endpoint, c.endpoint) << c.line;
    }
}

TEST(PortCommandTest, SplitsAddressAndPort) {
    EXPECT_EQ(FtpDataConnection::FormatPortCommand("127.0.0.1", 1025), "PORT 127,0,0,1,4,1");
    EXPECT_EQ(FtpDataConnection::FormatPortCommand("192.168.10.20", 65535), "PORT 192,168,10,20,255,255");
    EXPECT_EQ(FtpDataConnection::FormatPortCommand("10.0.0.5", 256), "PORT 10,0,0,5,1,0");
    EXPECT_EQ(FtpDataConnection::FormatPortCommand("10.0.0.5", 255), "PORT 10,0,0,5,0,255");
}

TEST(EpsvReplyTest, TakesThePortBetweenFourEqualDelimiters) {
    struct Case {
        std::string line;
        std::optional<int> port;  // nothing when refused
    };
    const std::vector<Case> cases = {
        {"229 Entering Extended Passive Mode (|||6446|)", 6446},
        {"229 Entering Extended Passive Mode (|||6446|).", 6446},
        {"229 (!!!1!)", 1},
        {"229 (~~~65535~)", 65535},
        {"229 ((((21()", 21},
        {"229 ()))21))", 21},
        {"229 (1112161)", std::nullopt},  // the port holds its own delimiter
        {"229 (|||0|)", std::nullopt},
        {"229 (|||65536|)", std::nullopt},
        {"229 (|||99999|)", std::nullopt},
        {"229 (|||000021|)", std::nullopt},
        {"229 (|||-21|)", std::nullopt},
        {"229 (||| 21|)", std::nullopt},
        {"229 (|||21 |)", std::nullopt},
        {"229 (|||21|", std::nullopt},
        {"229 (|||21!)", std::nullopt},
        {"229 (|||21|| )", std::nullopt},
        {"229 (|2|::1|21|)", std::nullopt},  // an address: refused, the control peer's would be used anyway
        {"229 (|1|10.0.0.5|21|)", std::nullopt},
        {"229 (||21|)", std::nullopt},
        {"229 (   21 )", std::nullopt},  // a blank is no delimiter
        {std::string("229 (") + "21)", std::nullopt},
        {std::string("229 (\0\0\0", 8) + "21" + std::string("\0)", 2), std::nullopt},
        {"229 Entering Extended Passive Mode |||6446|", std::nullopt},
        {"229 Entering Extended Passive Mode", std::nullopt},
        {"229 (", std::nullopt},
        {"(|||21|)", std::nullopt},
        {"", std::nullopt},
        {"229 " + std::string(130, 'x') + " (|||21|)", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto parsed = FtpDataConnection::ParseEpsvReply(c.line);
        EXPECT_EQ(parsed ? std::optional<int>(*parsed) : std::nullopt, c.port) << c.line;
    }
}

TEST(EprtCommandTest, NamesTheFamilyAddressAndPort) {
    struct Case {
        const char* address;
        std::uint16_t port;
        const char* command;
    };
    const std::vector<Case> cases = {
        {"::1", 1025, "EPRT |2|::1|1025|"},
        {"2001:db8::5", 65535, "EPRT |2|2001:db8::5|65535|"},
        {"fe80::1%eth0", 21, "EPRT |2|fe80::1|21|"},
        {"192.0.2.7", 5001, "EPRT |1|192.0.2.7|5001|"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FtpDataConnection::FormatEprtCommand(c.address, c.port), c.command);
    }
}

class DataConnection : public ::testing::Test, protected EngineSession {
  protected:
    // Opens a data connection around `command` and reads the server's preliminary reply when it opened.
    bool Open(const std::string& command, int* controlReply = nullptr) {
        BufferedSocket data;
        const FtpStep opened = FtpDataConnection::Open(Context(), command, data);
        if (controlReply != nullptr) {
            *controlReply = opened.reply;
        }
        const bool open = opened.status == FtpStep::Status::Ok;
        if (open) {
            EXPECT_FALSE(data.Buffer());  // the caller gives it its buffer
            Context().ReadReply();
        }
        return open;
    }
};

TEST_F(DataConnection, PassiveConnectsToTheControlPeerWhateverTheReplyNames) {
    struct Case {
        const char* what;
        std::string format;
        std::string named;
        Lines log;
    };
    const std::vector<Case> cases = {
        {"parentheses",
         "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2}).\r\n",
         "127.0.0.1",
         {"<PASV", ">227 Entering Passive Mode (127,0,0,1,P1,P2).", "<RETR f",
          "Connected to [127.0.0.1:PORT] for DATA", ">150 go"}},
        {"no parentheses",
         "227 Entering Passive Mode {h1},{h2},{h3},{h4},{p1},{p2}\r\n",
         "127.0.0.1",
         {"<PASV", ">227 Entering Passive Mode 127,0,0,1,P1,P2", "<RETR f",
          "Connected to [127.0.0.1:PORT] for DATA", ">150 go"}},
        {"hostile address",
         "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2})\r\n",
         "10.0.0.5",
         {"<PASV", ">227 Entering Passive Mode (10,0,0,5,P1,P2)", "<RETR f",
          "... PASV reply names 10.0.0.5; connecting to 127.0.0.1 instead",
          "Connected to [127.0.0.1:PORT] for DATA", ">150 go"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineSession t;
        ASSERT_TRUE(t.Connect());
        t.server.Expect("PASV").Pasv(c.format, c.named);
        t.server.Expect("RETR f").DataOpen().Line("150 go");
        BufferedSocket data;
        ASSERT_EQ(FtpDataConnection::Open(t.Context(), "RETR f", data).status, FtpStep::Status::Ok);
        EXPECT_EQ(t.Context().ReadReply(), 150);
        EXPECT_EQ(t.Log(), c.log);
        EXPECT_EQ(t.server.DataConnectionsOpened(), 1);
        EXPECT_EQ(data.PeerAddress()->address, "127.0.0.1");
        EXPECT_TRUE(t.server.Problems().empty());
    }
}

TEST_F(DataConnection, PassiveRefusalsSendNothing) {
    struct Case {
        const char* what;
        std::string reply;
        int controlReply;
    };
    const std::vector<Case> cases = {
        {"five numbers", "227 Entering Passive Mode (127,0,0,1,4)", 227},
        {"number above 255", "227 Entering Passive Mode (127,0,0,1,4,300)", 227},
        {"port 0", "227 Entering Passive Mode (127,0,0,1,0,0)", 227},
        {"no numbers", "227 Entering Passive Mode", 227},
        {"refused", "502 not here", 502},
        {"closing", "421 bye", 421},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineSession t;
        ASSERT_TRUE(t.Connect());
        t.server.Expect("PASV").Line(c.reply);
        BufferedSocket data;
        const FtpStep opened = FtpDataConnection::Open(t.Context(), "RETR f", data);
        EXPECT_EQ(opened.reply, c.controlReply);
        EXPECT_EQ(opened.EndsRequest(), c.controlReply == 421);
        EXPECT_EQ(t.Log(), (Lines{"<PASV", ">" + Normalize(c.reply), "... [DATA] connection CLOSED"}));
        EXPECT_FALSE(data.IsOpen());
        EXPECT_TRUE(t.Context().Passive());
        ASSERT_TRUE(t.server.WaitForScriptDone());
        EXPECT_EQ(t.Commands(), Lines{"PASV"});
    }
}

TEST_F(DataConnection, After425EveryTransferOfTheSessionUsesPort) {
    ASSERT_TRUE(Connect());
    server.Expect("PASV").Line("425 no passive here");
    server.ExpectVerb("PORT").Line("200 PORT ok");
    server.Expect("RETR a").DataOpen().Line("150 go");
    server.ExpectVerb("PORT").Line("200 PORT ok");
    server.Expect("RETR b").DataOpen().Line("150 go");
    ASSERT_TRUE(Open("RETR a"));
    EXPECT_FALSE(Context().Passive());
    ASSERT_TRUE(Open("RETR b"));
    EXPECT_EQ(Commands(),
              (Lines{"PASV", "PORT 127,0,0,1,P1,P2", "RETR a", "PORT 127,0,0,1,P1,P2", "RETR b"}));
    EXPECT_EQ(Log(), (Lines{"<PASV", ">425 no passive here", "... Can't open PASSIVEly; trying PORT",
                            "<PORT 127,0,0,1,P1,P2", ">200 PORT ok", "<RETR a",
                            "Accepted connection on [127.0.0.1:PORT] for DATA", ">150 go",
                            "<PORT 127,0,0,1,P1,P2", ">200 PORT ok", "<RETR b",
                            "Accepted connection on [127.0.0.1:PORT] for DATA", ">150 go"}));
    EXPECT_EQ(server.DataConnectionsOpened(), 2);
    EXPECT_TRUE(server.Problems().empty());
}

TEST_F(DataConnection, ActiveModeAnnouncesTheListeningPort) {
    TestSessionOptions options = StillClock();
    options.passive = false;
    ASSERT_TRUE(Connect(options));
    server.ExpectVerb("PORT").Line("500 PORT refused");  // the accept decides, as before
    server.Expect("LIST").DataOpen().Line("150 go");
    ASSERT_TRUE(Open("LIST"));
    const std::string target = server.LastPortTarget();
    const auto colon = target.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(target.substr(0, colon), "127.0.0.1");
    const std::string port = target.substr(colon + 1);
    EXPECT_EQ(views.Messages().back(), "Accepted connection on [127.0.0.1:" + port + "] for DATA");
}

TEST_F(DataConnection, PortReply421SendsNoTransferCommand) {
    TestSessionOptions options = StillClock();
    options.passive = false;
    ASSERT_TRUE(Connect(options));
    server.ExpectVerb("PORT").Line("421 going down");
    int controlReply = 0;
    EXPECT_FALSE(Open("RETR f", &controlReply));
    EXPECT_EQ(controlReply, 421);
    ASSERT_TRUE(server.WaitForScriptDone());
    EXPECT_EQ(Commands(), Lines{"PORT 127,0,0,1,P1,P2"});
}

TEST_F(DataConnection, ActiveModeWaitIsBoundedAndAbortEndsIt) {
    struct Case {
        const char* what;
        int timeoutMs;
        bool abort;
        Lines messages;
    };
    const std::vector<Case> cases = {
        {"time-out", 300, false, {"... Accept failed, WinSock err = WSAETIMEDOUT"}},
        {"abort", 60000, true, {}},  // ended on purpose: nothing to report
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineSession t;
        TestSessionOptions options = StillClock();
        options.passive = false;
        options.dataTimeoutMs = c.timeoutMs;
        ASSERT_TRUE(t.Connect(options));
        t.server.ExpectVerb("PORT").Line("200 ok");
        t.server.Expect("RETR f").Line("150 but never connects");
        std::thread aborter;
        if (c.abort) {
            aborter = std::thread([&] {
                ASSERT_TRUE(t.server.WaitForCommand("RETR f"));
                std::this_thread::sleep_for(100ms);
                t.session->Abort();
            });
        }
        const auto started = Clock::now();
        BufferedSocket data;
        EXPECT_NE(FtpDataConnection::Open(t.Context(), "RETR f", data).status, FtpStep::Status::Ok);
        EXPECT_LT(Clock::now() - started, 10s);
        if (aborter.joinable()) {
            aborter.join();
        }
        EXPECT_FALSE(data.IsOpen());
        EXPECT_EQ(t.Messages(), c.messages);
    }
}

TEST_F(DataConnection, ActiveModeRefusalEndsTheWaitForTheServer) {
    // A server that refuses the transfer never connects: its answer ends the wait at once and is taken
    // as the transfer's reply, not waited out (the time-out here is far beyond the test's own limit).
    TestSessionOptions options = StillClock();
    options.passive = false;
    options.dataTimeoutMs = 600000;
    ASSERT_TRUE(Connect(options));
    server.ExpectVerb("PORT").Line("200 ok");
    server.Expect("RETR missing").Line("550 No such file");
    int controlReply = 0;
    EXPECT_FALSE(Open("RETR missing", &controlReply));
    EXPECT_EQ(controlReply, 550);
    EXPECT_EQ(Log(), (Lines{"<PORT 127,0,0,1,P1,P2", ">200 ok", "<RETR missing", ">550 No such file"}));
    EXPECT_EQ(server.DataConnectionsOpened(), 0);
}

// The worker: the transfer command of a data connection that could not be made is answered late, and
// that answer is shown as extraneous before the next request, which then gets its own replies.
TEST(DataConnectionWorker, LateAnswerAfterFailedPassiveConnectIsDiscarded) {
    FakeFtpServer server;
    RecordingViews views;
    TempDir folder;
    ASSERT_TRUE(folder.Valid());
    const std::uint16_t closed = ClosedPort();
    server.Expect("USER anonymous").Line("230 in");
    server.Expect("PASV").Line("227 Entering Passive Mode (127,0,0,1," + std::to_string(closed / 256) + "," +
                               std::to_string(closed % 256) + ")");
    server.Expect("RETR f").Line("425 Can't open data connection");
    server.OnVerb("NOOP").Line("200 fine");  // a fallback, so the script is done once 425 is out
    views.SetEntries({RemoteEntry("f", 3, 1000000000)});
    TestSessionOptions options;
    options.handlerOverride = [](FtpContext& session, FtpRequest& request) {
        switch (request.kind) {
            case FtpRequestKind::Get:
                return FtpTransfers::GetFiles(session, request);
            case FtpRequestKind::ChangeDir:
                return request.text == "noop" ? session.Command("NOOP") : 250;
            default:
                return 502;
        }
    };
    auto handle = FtpSessionTesting::Start(ServerUrl(server), views.Views(), options);
    ASSERT_TRUE(views.WaitFor("ResetForSession"));
    std::unique_ptr<FtpRequestObject> selection = std::make_unique<SelectionIndexes>(std::vector<int>{0});
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Get, folder.Path().string(), selection, kAsciiType));
    ASSERT_TRUE(views.WaitFor("SetProgress"));  // the Get request has ended
    ASSERT_TRUE(server.WaitForScriptDone());    // and the late answer has been sent
    std::this_thread::sleep_for(20ms);          // and has crossed loopback
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::ChangeDir, "noop", 0));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(handle->WaitEnded(10s));

    Lines log;
    for (const auto& line : views.LogLines()) {
        log.push_back(EngineSession::Normalize(line));
    }
    const Lines tail = {"GETing f -> " + folder.Path().string(),
                        "<PASV",
                        ">227 Entering Passive Mode (127,0,0,1,P1,P2)",
                        "<RETR f",
                        "... Connect failed, WinSock err = WSAECONNREFUSED",
                        "... (discarding extraneous response)",
                        ">425 Can't open data connection",
                        "<NOOP",
                        ">200 fine",
                        "<QUIT"};
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(Lines(log.end() - static_cast<long>(tail.size()), log.end()), tail);
    // The local file was made before the data connection failed: empty, with the listed time.
    EXPECT_EQ(folder.ReadFile("f"), "");
}

}  // namespace
