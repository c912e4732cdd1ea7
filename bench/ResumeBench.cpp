// What a resumed download costs: a 1 GiB download from vsftpd on 127.0.0.1 whose data connection a relay
// cuts half-way; the engine's retry goes on from where the cut left the file. Prints the bytes that went over
// the wire (through the relay) per byte of the file; goal <= 1.02. Also the same for an upload.
//
// Run (RelWithDebInfo):
//   cmake --build build-dir-rel --target ResumeBench && build-dir-rel/ResumeBench [MiB]
// Default 1024 MiB (WISP_BENCH_MIB works too). Needs root (vsftpd); exits with 2 when the server cannot
// start. The server and the relay come from the tests' kit (tests/support), which the target links.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"

#if __has_include("support/RealFtpServer.h") && __has_include("support/CuttingProxy.h")
#include "support/CuttingProxy.h"
#include "support/RealFtpServer.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"
#define WISP_BENCH_HAS_SERVER 1
#else
#define WISP_BENCH_HAS_SERVER 0
#endif

#if WISP_BENCH_HAS_SERVER
namespace {

using namespace std::chrono_literals;

struct Measure {
    bool done = false;
    bool identical = false;
    std::int64_t wire = 0;
    double seconds = 0;
};

// One row through the relay, cut once half-way; the bytes the relay carried for it.
Measure RunOne(RealFtpServer& server, FtpRequestKind kind, std::int64_t size, const std::string& expected,
               TempDir& local) {
    CuttingProxy proxy(server.Port());
    RecordingViews views;
    FtpSessionOptions options;
    options.retryDelaysMs = {10, 10, 10};
    auto handle =
        FtpSession::Start("ftp://127.0.0.1:" + std::to_string(proxy.Port()) + "/", views.Views(), options);
    Measure measure;
    if (!views.WaitForCount("FinishListing", 1, 30s)) {
        std::fprintf(stderr, "the session did not start\n");
        return measure;
    }
    const bool download = kind == FtpRequestKind::Get;
    TransferItem item;
    item.row = 1;
    item.remoteFolder = download ? "/pub" : std::string("/") + RealFtpServer::kWritableFolder;
    item.remoteName = "big.bin";
    item.localPath = (local.Path() / "big.bin").string();
    item.size = size;
    proxy.CutNextDataAfter(size / 2);
    const std::int64_t before = proxy.DataBytes();
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<FtpRequestObject> items =
        std::make_unique<TransferItems>(std::vector<TransferItem>{item});
    handle->Enqueue(kind, local.Path().string(), items, kImageType);
    measure.done = views.WaitForTransferEvent("done 1", 600s);
    measure.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measure.wire = proxy.DataBytes() - before;
    const auto result = download ? local.ReadFile("big.bin")
                                 : server.ReadFile(std::string(RealFtpServer::kWritableFolder) + "/big.bin");
    measure.identical = result && *result == expected && proxy.Cuts() == 1;
    handle->Stop();
    handle->WaitEnded(10s);
    return measure;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#if WISP_BENCH_HAS_SERVER
    const char* text = argc > 1 ? argv[1] : std::getenv("WISP_BENCH_MIB");
    const long mib = text != nullptr ? std::strtol(text, nullptr, 10) : 1024;
    if (mib < 2 || mib > 2047) {
        std::fprintf(stderr, "usage: ResumeBench [MiB (2..2047)]\n");
        return 2;
    }
    const std::int64_t size = static_cast<std::int64_t>(mib) * 1024 * 1024;
    RealFtpServer server(RealFtpServer::Kind::Vsftpd);
    if (!server.Running()) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", server.Error().c_str());
        return 2;
    }
    TempDir local("wisp-resume-bench");
    bool good = true;
    {
        const std::string bytes = server.WritePatternFile("pub/big.bin", static_cast<std::size_t>(size), 7);
        const Measure get = RunOne(server, FtpRequestKind::Get, size, bytes, local);
        std::printf(
            "download %ld MiB cut at half: %s, %s, %.2f s, %.4f bytes over the wire per byte (goal <= "
            "1.02)\n",
            mib, get.done ? "done" : "NOT DONE", get.identical ? "byte-identical" : "NOT IDENTICAL",
            get.seconds, static_cast<double>(get.wire) / static_cast<double>(size));
        good = good && get.done && get.identical && get.wire <= size * 102 / 100;
        std::filesystem::remove(local.Path() / "big.bin");
        std::filesystem::remove(server.Root() / "pub/big.bin");
    }
    {
        const std::string bytes = TempDir::PatternBytes(static_cast<std::size_t>(size), 8);
        local.WriteFile("big.bin", bytes);
        const Measure put = RunOne(server, FtpRequestKind::Put, size, bytes, local);
        std::printf(
            "upload %ld MiB cut at half: %s, %s, %.2f s, %.4f bytes over the wire per byte (goal <= 1.02)\n",
            mib, put.done ? "done" : "NOT DONE", put.identical ? "byte-identical" : "NOT IDENTICAL",
            put.seconds, static_cast<double>(put.wire) / static_cast<double>(size));
        good = good && put.done && put.identical && put.wire <= size * 102 / 100;
    }
    return good ? 0 : 1;
#else
    (void)argc;
    (void)argv;
    std::fprintf(stderr,
                 "ResumeBench was built without the tests' kit; its target needs\n"
                 "  target_link_libraries(ResumeBench PRIVATE wisp_test_support)\n");
    return 2;
#endif
}
