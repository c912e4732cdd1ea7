// Listings and transfers against servers that misbehave on the data connection: a peer that stops
// reading, resets in the middle, a refusal in active mode, strangers connecting to the active-mode port;
// and downloads whose size sits on the edges of the receive block.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpTransfers.h"
#include "listing/RemoteEntry.h"
#include "platform/Socket.h"
#include "support/EngineFixture.h"
#include "support/SessionRows.h"
#include "support/TempDir.h"

namespace {

using Lines = std::vector<std::string>;
using Actions = FakeFtpServer::Actions;

// What an ASCII download stores: the bytes with each CR that comes right before an LF left out.
std::string WithoutCrBeforeLf(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' || i + 1 == bytes.size() || bytes[i + 1] != '\n') {
            text += bytes[i];
        }
    }
    return text;
}

// The server resets the data connection only once the client is reading: the first call of `op` sends
// a NOOP, the nudge that sets it off.
std::function<void(RowRun&)> NudgeAt(std::string op) {
    return [op](RowRun& run) {
        auto nudged = std::make_shared<bool>(false);
        run.views.SetHook([&run, op, nudged](const RecordedCall& call) {
            if (call.op == op && !*nudged) {
                *nudged = run.Context().SendCommand("NOOP");
            }
        });
    };
}

TEST(TransferFaults, CutDataConnectionsAreNeitherWholeNorSuccess) {
    const std::string reset = "the data connection failed: the connection was reset (WSAECONNRESET)";
    const Step resetOnNudge = {"NOOP", "", [](Actions& a) { a.DataReset().Line("226 Done"); }};
    const std::vector<SessionRow> rows = {
        {.what = "an upload to a peer that stops reading, yet claims the file stored",
         // Far more than the loopback buffers hold, so the sends must stall.
         .script = {Step::Pasv(),
                    {"STOR big", "150 go", [](Actions& a) { a.DataOpen().Line("226 stored"); }}},
         .local = {{"big", std::string(48u << 20, 'z')}},
         .dataTimeoutMs = 300,
         .run = {Run::Put({"big"})},
         .results = {FtpTransfers::kDataFailure},
         .logged = {"... [DATA] Send failed, WinSock err = WSAETIMEDOUT"},
         .texts = {{"UploadedFile", {}}},
         .failures = {"Remote: Could not upload {folder}/big: the data connection failed: no answer in time "
                      "(WSAETIMEDOUT)"}},
        {.what = "a listing cut by a reset",
         .script = {Step::Pasv(),
                    {"LIST", "150 go", [](Actions& a) { a.DataSend("one\r\ntwo\r\n"); }},
                    resetOnNudge},
         .setup = NudgeAt("AddListingLine"),
         .run = {Run::List("/pub")},
         .results = {226},
         .logged = {"... [DATA] Receive failed, WinSock err = WSAECONNRESET"},
         .texts = {{"FinishListing", {"0"}}},
         .failures = {"Remote: Could not list /pub: " + reset}},
        {.what = "a download cut by a reset, though the server says all went well",
         .script = {Step::Pasv(), {"RETR f", "150 go", [](Actions& a) { a.DataSend("part"); }}, resetOnNudge},
         .setup = NudgeAt("SetProgress"),
         .run = {Run::Get({RemoteEntry("f", 100, 0)})},
         .results = {FtpTransfers::kDataFailure},
         .logged = {"... [DATA] Receive failed, WinSock err = WSAECONNRESET"},
         .failures = {"Remote: Could not download f: " + reset}},
    };
    for (const SessionRow& row : rows) {
        RunRow(row);
    }
}

// RFC 959 lets a server send more than one preliminary reply before the final one: the final one is
// the transfer's answer, and nothing is left over for the next command (the runner's NOOP).
TEST(TransferFaults, SeveralPreliminaryRepliesComeBeforeTheFinalOne) {
    const std::string preliminary = "125 Data connection already open\r\n150 Starting";
    const std::string listing = "-rw-r--r--   1 ftp ftp 4 Jan  5 13:45 f\r\n";
    const std::vector<SessionRow> rows = {
        {.what = "LIST",
         .script = {Step::Pasv(), {"LIST", preliminary, Step::Send(listing, "226 Done")}},
         .run = {Run::List("/")},
         .results = {226},
         .texts = {{"FinishListing", {"1"}}}},
        {.what = "RETR",
         .script = {Step::Pasv(), {"RETR f", preliminary, Step::Send(listing, "226 Done")}},
         .run = {Run::Get({RemoteEntry("f", 38, 0)})},
         .results = {226}},
        {.what = "STOR",
         .script = {Step::Pasv(), {"STOR up", preliminary, Step::Receive("226 Stored")}},
         .local = {{"up", "text"}},
         .run = {Run::Put({"up"})},
         .results = {226}},
    };
    for (const SessionRow& row : rows) {
        const auto run = RunRow(row);
        if (row.run[0].kind == Run::Kind::Put) {
            EXPECT_EQ(run->Texts("UploadedFile").size(), 1u);
        }
    }
}

// In active mode the server's answer ends the wait for its connection, which never comes.
TEST(TransferFaults, ActiveModeRefusalIsTheResult) {
    const std::vector<SessionRow> rows = {
        {.what = "LIST refused",
         .script = {{"PORT 127,0,0,1,P1,P2", "200 ok"}, {"LIST", "550 No listing here"}},
         .passive = false,
         .run = {Run::List("/")},
         .results = {550},
         .texts = {{"FinishListing", {}}},
         .failures = {"Remote: Could not list /: 550 No listing here"}},
        {.what = "RETR refused",
         .script = {{"TYPE I", "200 binary"},
                    {"PORT 127,0,0,1,P1,P2", "200 ok"},
                    {"RETR gone", "550 No such file"}},
         .passive = false,
         .run = {Run::Get({RemoteEntry("gone", 3, 0)}, kImageType)},
         .results = {550},
         .failures = {"Remote: Could not download gone: 550 No such file"}},
        {.what = "a final reply without a connection; both answers are taken",
         .script = {{"PORT 127,0,0,1,P1,P2", "200 ok"},
                    {"LIST", "150 go",
                     [](Actions& a) {
                         a.Delay(std::chrono::milliseconds(100)).Line("226 nothing to send");
                     }}},
         .passive = false,
         // Far beyond the test's own limits: only the server's answer can end the wait.
         .dataTimeoutMs = 600000,
         .run = {Run::List("/")},
         .results = {200},
         .texts = {{"FinishListing", {}}}},
    };
    for (const SessionRow& row : rows) {
        const auto run = RunRow(row);
        EXPECT_EQ(run->server.DataConnectionsOpened(), 0);
    }
}

TEST(TransferFaults, ActiveModeTakesOnlyTheServersConnection) {
    EngineSession t;
    TestSessionOptions options = EngineSession::StillClock();
    options.passive = false;
    ASSERT_TRUE(t.Connect(options));
    t.server.ExpectVerb("PORT").Line("200 ok");
    t.server.Expect("LIST")
        .Delay(std::chrono::milliseconds(200))
        .Line("150 go")
        .DataSend("mine\r\n")
        .DataClose()
        .Line("226 Done");
    // A stranger on another loopback address connects as soon as the port is announced.
    Socket stranger;
    bool strangerConnected = false;
    t.views.SetHook([&](const RecordedCall& call) {
        if (call.op != "LogTraffic" || call.text.rfind("<PORT ", 0) != 0) {
            return;
        }
        const std::size_t last = call.text.rfind(',');
        const std::size_t before = call.text.rfind(',', last - 1);
        const int port =
            std::stoi(call.text.substr(before + 1)) * 256 + std::stoi(call.text.substr(last + 1));
        strangerConnected = stranger.Create(0, Socket::kStream, "127.0.0.2") &&
                            stranger.Connect("127.0.0.1", static_cast<std::uint16_t>(port));
    });
    EXPECT_EQ(FtpTransfers::ListDirectory(t.Context(), "/"), 226);
    t.views.SetHook(nullptr);
    ASSERT_TRUE(strangerConnected);
    EXPECT_EQ(t.Texts("AddListingLine"), Lines{"mine"});
    EXPECT_EQ(t.Texts("FinishListing"), Lines{"1"});
    const Lines messages = t.Messages();
    const auto refused = std::find_if(messages.begin(), messages.end(), [](const std::string& line) {
        return line.rfind("... ", 0) == 0 && line.find("127.0.0.2") != std::string::npos;
    });
    EXPECT_NE(refused, messages.end());
    // The stranger got nothing but the close.
    char byte = 0;
    stranger.SetTimeout(5000);
    EXPECT_EQ(stranger.Receive(&byte, 1), 0);
}

TEST(TransferFaults, DownloadsAreWholeAtTheEdgesOfTheReceiveBlock) {
    constexpr std::size_t kBlock = FtpTransfers::kTransferBufferSize;
    for (const int type : {kAsciiType, kImageType}) {
        for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, kBlock + 1}) {
            const std::string what = "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
            std::string bytes = TempDir::PatternBytes(size);
            if (size > kBlock) {
                // A line end across the edge of the receive block.
                bytes[kBlock - 1] = '\r';
                bytes[kBlock] = '\n';
            }
            std::vector<Step> script = {Step::Pasv(), {"RETR f", "150 go", Step::Send(bytes, "226 ok")}};
            if (type == kImageType) {
                script.insert(script.begin(), {"TYPE I", "200 ok"});
            }
            RunRow({.what = what.c_str(),
                    .script = script,
                    .run = {Run::Get({RemoteEntry("f", static_cast<std::int32_t>(size), 0)}, type)},
                    .results = {226},
                    .logged = {"... received " + std::to_string(size) + " bytes in 0 seconds"},
                    .files = {{"f", type == kAsciiType ? WithoutCrBeforeLf(bytes) : bytes}}});
        }
    }
}

}  // namespace
