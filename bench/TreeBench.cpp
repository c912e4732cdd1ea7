// Download of a whole folder tree: the engine's walk and the Get of its plan against `lftp mirror`, on the
// same vsftpd on 127.0.0.1, plain FTP, passive. A seeded tree of files of 0-256 KiB spread over folders
// (default 10,000 files in 1,000 folders, nested three deep). Prints each run, the medians, the ratio
// engine/lftp and the engine's commands per file (counted from its log).
//
// Run (RelWithDebInfo):
//   cmake --build build-dir-rel --target TreeBench && build-dir-rel/TreeBench [files [folders [runs]]]
// or WISP_BENCH_FILES, WISP_BENCH_FOLDERS, WISP_BENCH_RUNS. The clients run interleaved (engine, lftp in
// each run), each with a new connection and login, into a tmpfs folder (/dev/shm) so the disk does not
// count. Needs root (vsftpd) and lftp (exits with 2 without them). An upload mode (the walk of local
// trees and a Put of its plan) belongs beside RunEngine once the engine has it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/TransferPlan.h"

#if __has_include("support/RealFtpServer.h")
#include "support/RealFtpServer.h"
#include "support/RecordingViews.h"
#define WISP_BENCH_HAS_SERVER 1
#else
#define WISP_BENCH_HAS_SERVER 0
#endif

#if WISP_BENCH_HAS_SERVER
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long Setting(int argc, char** argv, int index, const char* name, long fallback) {
    const char* text = argc > index ? argv[index] : std::getenv(name);
    return text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Folder i, nested three deep with ten folders per level: "pub/tree/d1/d2/d3".
std::string FolderPath(long i) {
    std::string path = "pub/tree";
    const long levels[] = {i / 100, (i / 10) % 10, i % 10};
    for (const long level : levels) {
        path += "/d" + std::to_string(level);
    }
    return path;
}

// Writes the seeded tree; returns its bytes.
long long MakeTree(const RealFtpServer& server, long files, long folders) {
    std::mt19937 random(2026);
    std::uniform_int_distribution<std::size_t> size(0, 256 * 1024);
    long long total = 0;
    for (long i = 0; i < files; ++i) {
        const std::size_t bytes = size(random);
        const std::string path = FolderPath(i % folders) + "/f" + std::to_string(i) + ".bin";
        server.WritePatternFile(path, bytes, static_cast<unsigned>(i));
        total += static_cast<long long>(bytes);
    }
    return total;
}

struct EngineRun {
    double seconds = 0;
    bool whole = false;
    std::size_t files = 0;
    std::size_t commands = 0;
    // Commands of the Get by verb, in the order first sent.
    std::vector<std::pair<std::string, std::size_t>> verbs;
};

// The walk, then the Get of every planned file, as the Remote page queues them.
EngineRun RunEngine(const RealFtpServer& server, const fs::path& local) {
    EngineRun run;
    RecordingViews views;
    FtpSessionOptions options;
    auto handle = FtpSession::Start("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/pub",
                                    views.Views(), options);
    if (!views.WaitForCount("FinishListing", 1, 30s)) {
        std::fprintf(stderr, "the session did not start\n");
        return run;
    }
    const auto start = Clock::now();
    auto selection = std::make_unique<FolderSelection>();
    selection->folder = "/pub";
    selection->entries.push_back({-1, "tree", true, false});
    std::unique_ptr<FtpRequestObject> object = std::move(selection);
    handle->Enqueue(FtpRequestKind::WalkDownload, local.string(), object, kImageType);
    if (!views.WaitForCount("TransferPlanReady", 1, 600s)) {
        std::fprintf(stderr, "no plan\n");
        return run;
    }
    const std::shared_ptr<TransferPlan> plan = views.LastTransferPlan();
    const std::size_t before = views.Traffic().size();
    auto items = std::make_unique<TransferItems>();
    std::uint64_t row = 0;
    for (const PlannedFile& file : plan->files) {
        items->items.push_back(file.item);
        items->items.back().row = ++row;
    }
    items->folders = plan->folders;
    object = std::move(items);
    handle->Enqueue(FtpRequestKind::Get, local.string(), object, kImageType);
    run.whole = views.WaitForTransferEvent("done " + std::to_string(row) + "", 1200s);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.files = plan->files.size();
    const auto traffic = views.Traffic();
    for (std::size_t i = before; i < traffic.size(); ++i) {
        if (!traffic[i].starts_with("<")) {
            continue;
        }
        ++run.commands;
        const std::string verb = traffic[i].substr(1, traffic[i].find(' ') - 1);
        auto counted =
            std::find_if(run.verbs.begin(), run.verbs.end(), [&](const auto& v) { return v.first == verb; });
        if (counted == run.verbs.end()) {
            run.verbs.emplace_back(verb, 0);
            counted = run.verbs.end() - 1;
        }
        ++counted->second;
    }
    handle->Stop();
    handle->WaitEnded(10s);
    return run;
}

double RunLftp(const RealFtpServer& server, const fs::path& local) {
    const std::string command =
        "lftp -c 'set ftp:passive-mode on; set ftp:prefer-epsv no; set net:max-retries 1; "
        "open -u anonymous,bench@ ftp://127.0.0.1:" +
        std::to_string(server.Port()) + "; mirror /pub/tree " + local.string() + "/tree' >/dev/null 2>&1";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    if (status != 0) {
        std::fprintf(stderr, "lftp failed (%d)\n", status);
        return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace
#endif

int main(int argc, char** argv) {
#if WISP_BENCH_HAS_SERVER
    const long files = Setting(argc, argv, 1, "WISP_BENCH_FILES", 10000);
    const long folders = Setting(argc, argv, 2, "WISP_BENCH_FOLDERS", 1000);
    const long runs = Setting(argc, argv, 3, "WISP_BENCH_RUNS", 3);
    if (files < 1 || folders < 1 || folders > 1000 || runs < 1) {
        std::fprintf(stderr, "usage: TreeBench [files [folders (1..1000) [runs]]]\n");
        return 2;
    }
    if (std::system("lftp --version >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "lftp is not installed\n");
        return 2;
    }
    RealFtpServer server(RealFtpServer::Kind::Vsftpd);
    if (!server.Running()) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", server.Error().c_str());
        return 2;
    }
    const long long bytes = MakeTree(server, files, folders);
    std::printf("tree: %ld files in %ld folders, %.1f MiB\n", files, folders,
                static_cast<double>(bytes) / 1048576.0);
    const fs::path scratch = fs::exists("/dev/shm") ? fs::path("/dev/shm/wisp-tree-bench")
                                                    : fs::temp_directory_path() / "wisp-tree-bench";
    std::vector<double> engine;
    std::vector<double> lftp;
    bool good = true;
    for (long i = 0; i < runs; ++i) {
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        const EngineRun run = RunEngine(server, scratch);
        good = good && run.whole && run.files == static_cast<std::size_t>(files);
        engine.push_back(run.seconds);
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        const double other = RunLftp(server, scratch);
        if (other >= 0) {
            lftp.push_back(other);
        }
        std::printf("run %ld: engine %.3f s (%s, %zu files, %.2f commands per file), lftp %.3f s\n", i + 1,
                    run.seconds, run.whole ? "whole" : "NOT WHOLE", run.files,
                    run.files > 0 ? static_cast<double>(run.commands) / static_cast<double>(run.files) : 0.0,
                    other);
        std::printf("  the Get's commands:");
        for (const auto& [verb, count] : run.verbs) {
            std::printf(" %s %zu", verb.c_str(), count);
        }
        std::printf("\n");
    }
    fs::remove_all(scratch);
    const double e = Median(engine);
    const double l = Median(lftp);
    std::printf("median: engine %.3f s, lftp %.3f s, ratio engine/lftp %.3f\n", e, l, l > 0 ? e / l : 0.0);
    return good ? 0 : 1;
#else
    (void)argc;
    (void)argv;
    std::fprintf(stderr,
                 "TreeBench was built without the tests' kit; its target needs\n"
                 "  target_link_libraries(TreeBench PRIVATE wisp_test_support)\n");
    return 2;
#endif
}
