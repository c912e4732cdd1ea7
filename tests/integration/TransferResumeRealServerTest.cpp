// Queue rows against real servers with a relay between the engine and the server that cuts the data
// connection half-way: the engine tries again, goes on from where the cut left the file, and ends with
// the file byte-identical and hardly more over the wire than its size.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "support/CuttingProxy.h"
#include "support/RealFtpServer.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Kind = RealFtpServer::Kind;

constexpr std::int64_t kSize = 64 * 1024 * 1024;
// Over the wire at most this much more than the file (2 %).
constexpr double kMostWire = 1.02;

std::string Name(const ::testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::Pyftpdlib ? "pyftpdlib" : "vsftpd";
}

class TransferResumeRealServer : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        server = std::make_unique<RealFtpServer>(GetParam());
        WISP_REQUIRE_REAL_SERVER(*server);
        proxy = std::make_unique<CuttingProxy>(server->Port());
        ASSERT_TRUE(proxy->Listening());
        ASSERT_TRUE(local.Valid());
    }
    void TearDown() override {
        if (handle && !handle->HasEnded()) {
            handle->Stop();
            handle->WaitEnded(5s);
        }
    }

    // Starts the session through the relay and waits for its first listing.
    void Start() {
        FtpSessionOptions options;
        options.controlTimeoutMs = 20000;
        options.dataTimeoutMs = 20000;
        options.retryDelaysMs = {10, 10, 10};
        handle = FtpSession::Start("ftp://127.0.0.1:" + std::to_string(proxy->Port()) + "/", views.Views(),
                                   options);
        ASSERT_TRUE(views.WaitForCount("FinishListing", 1, 30s)) << Log();
    }
    // Queues one row and waits for its end; the bytes the relay carried meanwhile.
    std::int64_t Serve(FtpRequestKind kind, TransferItem item) {
        const std::int64_t before = proxy->DataBytes();
        const std::uint64_t row = item.row;
        std::unique_ptr<FtpRequestObject> items =
            std::make_unique<TransferItems>(std::vector<TransferItem>{std::move(item)});
        EXPECT_TRUE(handle->Enqueue(kind, local.Path().string(), items, kImageType));
        EXPECT_TRUE(views.WaitForTransferEvent("done " + std::to_string(row), 120s)) << Events() << Log();
        return proxy->DataBytes() - before;
    }
    std::string Log() const {
        std::string log;
        for (const auto& line : views.LogLines()) {
            log += line + "\n";
        }
        return log;
    }
    std::string Events() const {
        std::string events;
        for (const auto& line : views.TransferEvents()) {
            events += line + "\n";
        }
        return events;
    }

    std::unique_ptr<RealFtpServer> server;
    std::unique_ptr<CuttingProxy> proxy;
    TempDir local{"wisp-resume"};
    RecordingViews views;
    std::shared_ptr<FtpSessionHandle> handle;
};

TEST_P(TransferResumeRealServer, DownloadCutHalfWayIsResumedByteIdentical) {
    const std::string bytes = server->WritePatternFile("pub/big.bin", kSize, 5);
    ASSERT_EQ(static_cast<std::int64_t>(bytes.size()), kSize);
    Start();
    proxy->CutNextDataAfter(kSize / 2 + 12345);
    TransferItem item;
    item.row = 1;
    item.remoteFolder = "/pub";
    item.remoteName = "big.bin";
    item.localPath = (local.Path() / "big.bin").string();
    item.size = kSize;
    const std::int64_t wire = Serve(FtpRequestKind::Get, item);
    EXPECT_EQ(proxy->Cuts(), 1);
    EXPECT_TRUE(local.ReadFile("big.bin") == std::optional<std::string>(bytes)) << "not byte-identical";
    EXPECT_LE(static_cast<double>(wire), kMostWire * static_cast<double>(kSize)) << wire << " bytes";
    const auto events = views.TransferEvents();
    EXPECT_NE(std::find_if(events.begin(), events.end(),
                           [](const std::string& line) { return line.starts_with("retrying 1 1 "); }),
              events.end())
        << Events();
    std::printf("[ measure  ] %s download cut at half: %.4f bytes over the wire per byte of the file\n",
                server->Name().c_str(), static_cast<double>(wire) / static_cast<double>(kSize));
}

TEST_P(TransferResumeRealServer, UploadCutHalfWayIsResumedByteIdentical) {
    const std::string bytes = TempDir::PatternBytes(kSize, 6);
    ASSERT_TRUE(local.WriteFile("up.bin", bytes));
    Start();
    proxy->CutNextDataAfter(kSize / 2 + 54321);
    TransferItem item;
    item.row = 2;
    item.remoteFolder = std::string("/") + RealFtpServer::kWritableFolder;
    item.remoteName = "up.bin";
    item.localPath = (local.Path() / "up.bin").string();
    item.size = kSize;
    const std::int64_t wire = Serve(FtpRequestKind::Put, item);
    EXPECT_EQ(proxy->Cuts(), 1);
    EXPECT_TRUE(server->ReadFile(std::string(RealFtpServer::kWritableFolder) + "/up.bin") ==
                std::optional<std::string>(bytes))
        << "not byte-identical\n"
        << Log();
    EXPECT_LE(static_cast<double>(wire), kMostWire * static_cast<double>(kSize)) << wire << " bytes";
    const auto events = views.TransferEvents();
    EXPECT_NE(std::find_if(events.begin(), events.end(),
                           [](const std::string& line) { return line.starts_with("retrying 2 1 "); }),
              events.end())
        << Events();
    std::printf("[ measure  ] %s upload cut at half: %.4f bytes over the wire per byte of the file\n",
                server->Name().c_str(), static_cast<double>(wire) / static_cast<double>(kSize));
}

INSTANTIATE_TEST_SUITE_P(Servers, TransferResumeRealServer, ::testing::Values(Kind::Pyftpdlib, Kind::Vsftpd),
                         Name);

}  // namespace
