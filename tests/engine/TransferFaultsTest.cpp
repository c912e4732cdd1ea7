// Listings and transfers against servers that misbehave on the data connection: a peer that stops
// reading, resets in the middle, a refusal in active mode, strangers connecting to the active-mode port;
// and downloads whose size sits on the edges of the receive block.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/FtpTransfers.h"
#include "listing/RemoteEntry.h"
#include "platform/Socket.h"
#include "support/EngineFixture.h"
#include "support/FtpSessionTesting.h"
#include "support/TempDir.h"

namespace {

using Lines = std::vector<std::string>;

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

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

int Get(EngineSession& t, const std::string& folder, RemoteEntry entry, int type) {
    t.views.SetEntries({std::move(entry)});
    FtpRequest request;
    request.kind = FtpRequestKind::Get;
    request.text = folder;
    request.object = std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0});
    request.value = type;
    return FtpTransfers::GetFiles(t.Context(), request);
}

TEST(TransferFaults, UploadToAPeerThatStopsReadingIsNeitherWholeNorReported) {
    TempDir folder("wisp-faults");
    // Far more than the loopback buffers hold, so the sends must stall.
    const std::string path = (folder.Path() / "big").string();
    ASSERT_TRUE(folder.WriteFile("big", std::string(48u << 20, 'z')));
    EngineSession t;
    TestSessionOptions options = EngineSession::StillClock();
    options.dataTimeoutMs = 300;
    ASSERT_TRUE(t.Connect(options));
    t.server.Expect("PASV").Pasv();
    // The server never reads the data, yet claims the file stored.
    t.server.Expect("STOR big").Line("150 go").DataOpen().Line("226 stored");
    FtpRequest request;
    request.kind = FtpRequestKind::Put;
    request.object = std::make_unique<DroppedFiles>(std::vector<std::string>{path});
    request.value = kAsciiType;
    EXPECT_EQ(FtpTransfers::PutFiles(t.Context(), request), FtpTransfers::kDataFailure);
    EXPECT_TRUE(Contains(t.Messages(), "... [DATA] Send failed, WinSock err = WSAETIMEDOUT"));
    EXPECT_EQ(t.Texts("UploadedFile"), Lines{});
    EXPECT_EQ(t.views.Failures(), Lines{"Remote: Could not upload " + path +
                                        ": the data connection failed: no answer in time (WSAETIMEDOUT)"});
}

TEST(TransferFaults, ListingCutByAResetIsReportedAndNotComplete) {
    EngineSession t;
    ASSERT_TRUE(t.Connect());
    t.server.Expect("PASV").Pasv();
    t.server.Expect("LIST").Line("150 go").DataSend("one\r\ntwo\r\n");
    // The reset comes only once the client is reading: a nudge on the control connection sets it off.
    t.server.Expect("NOOP").DataReset().Line("226 Done");
    bool nudged = false;
    t.views.SetHook([&](const RecordedCall& call) {
        if (call.op == "AddListingLine" && !nudged) {
            nudged = t.Context().SendCommand("NOOP");
        }
    });
    EXPECT_EQ(FtpTransfers::ListDirectory(t.Context(), "/pub"), 226);
    t.views.SetHook(nullptr);
    EXPECT_TRUE(Contains(t.Messages(), "... [DATA] Receive failed, WinSock err = WSAECONNRESET"));
    EXPECT_EQ(t.Texts("FinishListing"), Lines{"0"});
    EXPECT_EQ(t.views.Failures(), Lines{"Remote: Could not list /pub: the data connection failed: the "
                                        "connection was reset (WSAECONNRESET)"});
}

TEST(TransferFaults, DownloadCutByAResetIsNoSuccessEvenWhenTheServerSaysSo) {
    TempDir folder("wisp-faults");
    EngineSession t;
    ASSERT_TRUE(t.Connect());
    t.server.Expect("PASV").Pasv();
    t.server.Expect("RETR f").Line("150 go").DataSend("part");
    // The reset comes only once the part is in: a nudge on the control connection sets it off.
    t.server.Expect("NOOP").DataReset().Line("226 ok");
    bool nudged = false;
    t.views.SetHook([&](const RecordedCall& call) {
        if (call.op == "SetProgress" && !nudged) {
            nudged = t.Context().SendCommand("NOOP");
        }
    });
    EXPECT_EQ(Get(t, folder.Path().string(), RemoteEntry("f", 100, 0), kAsciiType),
              FtpTransfers::kDataFailure);
    t.views.SetHook(nullptr);
    EXPECT_TRUE(Contains(t.Messages(), "... [DATA] Receive failed, WinSock err = WSAECONNRESET"));
    EXPECT_EQ(t.views.Failures(), Lines{"Remote: Could not download f: the data connection failed: the "
                                        "connection was reset (WSAECONNRESET)"});
}

// RFC 959 lets a server send more than one preliminary reply before the final one: the final one is
// the transfer's answer, and nothing is left over for the next command.
TEST(TransferFaults, SeveralPreliminaryRepliesComeBeforeTheFinalOne) {
    for (const std::string command : {"LIST", "RETR f", "STOR up"}) {
        SCOPED_TRACE(command);
        TempDir folder("wisp-faults");
        ASSERT_TRUE(folder.WriteFile("up", "text"));
        EngineSession t;
        ASSERT_TRUE(t.Connect());
        t.server.Expect("PASV").Pasv();
        const std::string first = "125 Data connection already open";
        if (command == "STOR up") {
            t.server.Expect(command).Line(first).Line("150 Starting").DataReceiveAll().Line("226 Stored");
        } else {
            t.server.Expect(command)
                .Line(first)
                .Line("150 Starting")
                .DataSend("-rw-r--r--   1 ftp ftp 4 Jan  5 13:45 f\r\n")
                .DataClose()
                .Line("226 Done");
        }
        t.server.Expect("PWD").Line("257 \"/\"");
        int result = 0;
        if (command == "LIST") {
            result = FtpTransfers::ListDirectory(t.Context(), "/");
            EXPECT_EQ(t.Texts("FinishListing"), Lines{"1"});
        } else if (command == "RETR f") {
            result = Get(t, folder.Path().string(), RemoteEntry("f", 38, 0), kAsciiType);
        } else {
            FtpRequest request;
            request.object =
                std::make_unique<DroppedFiles>(std::vector<std::string>{(folder / "up").string()});
            request.value = kAsciiType;
            result = FtpTransfers::PutFiles(t.Context(), request);
            EXPECT_EQ(t.Texts("UploadedFile").size(), 1u);
        }
        EXPECT_EQ(result, 226);
        EXPECT_EQ(t.Context().Command("PWD"), 257);
        EXPECT_TRUE(t.server.Problems().empty());
    }
}

TEST(TransferFaults, ActiveModeListRefusalIsTheResult) {
    EngineSession t;
    TestSessionOptions options = EngineSession::StillClock();
    options.passive = false;
    ASSERT_TRUE(t.Connect(options));
    t.server.ExpectVerb("PORT").Line("200 ok");
    t.server.Expect("LIST").Line("550 No listing here");
    EXPECT_EQ(FtpTransfers::ListDirectory(t.Context(), "/"), 550);
    EXPECT_EQ(t.Texts("FinishListing"), Lines{});
    EXPECT_EQ(t.views.Failures(), Lines{"Remote: Could not list /: 550 No listing here"});
}

TEST(TransferFaults, ActiveModeRetrRefusalIsTheResult) {
    TempDir folder("wisp-faults");
    EngineSession t;
    TestSessionOptions options = EngineSession::StillClock();
    options.passive = false;
    ASSERT_TRUE(t.Connect(options));
    t.server.Expect("TYPE I").Line("200 binary");
    t.server.ExpectVerb("PORT").Line("200 ok");
    t.server.Expect("RETR gone").Line("550 No such file");
    EXPECT_EQ(Get(t, folder.Path().string(), RemoteEntry("gone", 3, 0), kImageType), 550);
    EXPECT_EQ(t.views.Failures(), Lines{"Remote: Could not download gone: 550 No such file"});
}

TEST(TransferFaults, ActiveModeFinalReplyWithoutAConnectionEndsTheWait) {
    // The data time-out is far beyond the test's own limits: only the server's answer can end the wait.
    EngineSession t;
    TestSessionOptions options = EngineSession::StillClock();
    options.passive = false;
    options.dataTimeoutMs = 600000;
    ASSERT_TRUE(t.Connect(options));
    t.server.ExpectVerb("PORT").Line("200 ok");
    t.server.Expect("LIST").Line("150 go").Delay(std::chrono::milliseconds(100)).Line("226 nothing to send");
    t.server.Expect("NOOP").Line("200 still here");
    EXPECT_EQ(FtpTransfers::ListDirectory(t.Context(), "/"), 200);
    EXPECT_EQ(t.Texts("FinishListing"), Lines{});
    // Both answers were taken: the next command gets its own.
    EXPECT_EQ(t.Context().Command("NOOP"), 200);
    EXPECT_EQ(t.server.DataConnectionsOpened(), 0);
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
            SCOPED_TRACE("type " + std::to_string(type) + ", " + std::to_string(size) + " bytes");
            TempDir folder("wisp-edges");
            EngineSession t;
            ASSERT_TRUE(t.Connect());
            std::string bytes = TempDir::PatternBytes(size);
            if (size > kBlock) {
                // A line end across the edge of the receive block.
                bytes[kBlock - 1] = '\r';
                bytes[kBlock] = '\n';
            }
            t.server.OnVerb("TYPE").Line("200 ok");
            t.server.Expect("PASV").Pasv();
            if (bytes.empty()) {
                t.server.Expect("RETR f").Line("150 go").DataOpen().DataClose().Line("226 ok");
            } else {
                t.server.Expect("RETR f").Line("150 go").DataSend(bytes).DataClose().Line("226 ok");
            }
            EXPECT_EQ(
                Get(t, folder.Path().string(), RemoteEntry("f", static_cast<std::int32_t>(size), 0), type),
                226);
            EXPECT_EQ(folder.ReadFile("f"), type == kAsciiType ? WithoutCrBeforeLf(bytes) : bytes);
            EXPECT_TRUE(
                Contains(t.Messages(), "... received " + std::to_string(size) + " bytes in 0 seconds"));
        }
    }
}

}  // namespace
