// Download and upload of a whole folder tree: the engine's walk and the transfer of its plan against
// `lftp mirror`, on the same vsftpd on 127.0.0.1, plain FTP, passive. A seeded tree of files of 0-256 KiB
// spread over folders (default 10,000 files in 1,000 folders, nested three deep). Prints each run, the
// medians, the ratio engine/lftp and the engine's commands per file of the transfer (counted from its log).
//
// Run (RelWithDebInfo):
//   cmake --build build-dir-rel --target TreeBench && build-dir-rel/TreeBench [files [folders [runs]]]
// or WISP_BENCH_FILES, WISP_BENCH_FOLDERS, WISP_BENCH_RUNS. The clients run interleaved (engine, lftp in
// each run), each with a new connection and login, into a tmpfs folder (/dev/shm) so the disk does not
// count. Then the upload of the same tree into the server's empty writable folder: the engine's walk of
// the local tree and the Put of its plan against `lftp mirror -R`, the folder emptied before each run.
// Needs root (vsftpd) and lftp (exits with 2 without them).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
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
    // Commands of the transfer by verb, in the order first sent.
    std::vector<std::pair<std::string, std::size_t>> verbs;
};

// One direction as the engine is driven by the pages: a walk that posts a plan, then a transfer of every
// planned file with the plan's folders.
struct EngineLeg {
    std::string startFolder;
    FtpRequestKind walk = FtpRequestKind::WalkDownload;
    std::string walkText;
    std::unique_ptr<FtpRequestObject> walkObject;
    FtpRequestKind transfer = FtpRequestKind::Get;
    std::string transferText;
};

void CountCommands(const std::vector<std::string>& traffic, std::size_t from, EngineRun& run) {
    for (std::size_t i = from; i < traffic.size(); ++i) {
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
}

EngineRun RunEngine(const RealFtpServer& server, EngineLeg leg) {
    EngineRun run;
    RecordingViews views;
    FtpSessionOptions options;
    auto handle = FtpSession::Start("ftp://127.0.0.1:" + std::to_string(server.Port()) + leg.startFolder,
                                    views.Views(), options);
    if (!views.WaitForCount("FinishListing", 1, 30s)) {
        std::fprintf(stderr, "the session did not start\n");
        return run;
    }
    const auto start = Clock::now();
    handle->Enqueue(leg.walk, leg.walkText, leg.walkObject, kImageType);
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
    std::unique_ptr<FtpRequestObject> object = std::move(items);
    handle->Enqueue(leg.transfer, leg.transferText, object, kImageType);
    run.whole = views.WaitForTransferEvent("done " + std::to_string(row) + "", 1200s);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.files = plan->files.size();
    CountCommands(views.Traffic(), before, run);
    handle->Stop();
    handle->WaitEnded(10s);
    return run;
}

// The walk of /pub/tree, then the Get of every planned file into local, as the Remote page queues them.
EngineRun RunEngineDownload(const RealFtpServer& server, const fs::path& local) {
    auto selection = std::make_unique<FolderSelection>();
    selection->folder = "/pub";
    selection->entries.push_back({-1, "tree", true, false});
    EngineLeg leg;
    leg.startFolder = "/pub";
    leg.walk = FtpRequestKind::WalkDownload;
    leg.walkText = local.string();
    leg.walkObject = std::move(selection);
    leg.transfer = FtpRequestKind::Get;
    leg.transferText = local.string();
    return RunEngine(server, std::move(leg));
}

// The walk of the local tree dropped on the empty writable folder, then the Put of its plan.
EngineRun RunEngineUpload(const RealFtpServer& server, const fs::path& tree) {
    const std::string target = std::string("/") + RealFtpServer::kWritableFolder;
    EngineLeg leg;
    leg.startFolder = target;
    leg.walk = FtpRequestKind::WalkUpload;
    leg.walkText = target;
    leg.walkObject = std::make_unique<DroppedFiles>(std::vector<std::string>{tree.string()});
    leg.transfer = FtpRequestKind::Put;
    return RunEngine(server, std::move(leg));
}

// lftp's mirror with the given arguments, over a new connection and login; seconds or -1.
double RunLftp(const RealFtpServer& server, const std::string& mirror) {
    const std::string command =
        "lftp -c 'set ftp:passive-mode on; set ftp:prefer-epsv no; set net:max-retries 1; "
        "open -u anonymous,bench@ ftp://127.0.0.1:" +
        std::to_string(server.Port()) + "; mirror " + mirror + "' >/dev/null 2>&1";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    if (status != 0) {
        std::fprintf(stderr, "lftp failed (%d)\n", status);
        return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long CountFiles(const fs::path& folder) {
    std::error_code error;
    long count = 0;
    for (auto entry = fs::recursive_directory_iterator(folder, error); !error && entry != fs::end(entry);
         entry.increment(error)) {
        count += entry->is_regular_file() ? 1 : 0;
    }
    return count;
}

void EmptyFolder(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        fs::remove_all(entry.path());
    }
}

// Runs both clients interleaved, each after reset() empties its destination; prints each run and the
// medians and says whether every engine run moved the whole tree.
bool Compare(const char* direction, long runs, long files, const std::function<void()>& reset,
             const std::function<EngineRun()>& engineRun, const std::function<double()>& lftpRun) {
    std::vector<double> engine;
    std::vector<double> lftp;
    std::vector<double> commandsPerFile;
    bool good = true;
    std::printf("%s\n", direction);
    for (long i = 0; i < runs; ++i) {
        reset();
        const EngineRun run = engineRun();
        good = good && run.whole && run.files == static_cast<std::size_t>(files);
        engine.push_back(run.seconds);
        const double perFile =
            run.files > 0 ? static_cast<double>(run.commands) / static_cast<double>(run.files) : 0.0;
        commandsPerFile.push_back(perFile);
        reset();
        const double other = lftpRun();
        if (other >= 0) {
            lftp.push_back(other);
        }
        if (other < 0) {
            std::fprintf(stderr, "lftp's run %ld failed or moved only part of the tree\n", i + 1);
        }
        std::printf("run %ld: engine %.3f s (%s, %zu files, %.2f commands per file), lftp %.3f s\n", i + 1,
                    run.seconds, run.whole ? "whole" : "NOT WHOLE", run.files, perFile, other);
        std::printf("  the transfer's commands:");
        for (const auto& [verb, count] : run.verbs) {
            std::printf(" %s %zu", verb.c_str(), count);
        }
        std::printf("\n");
    }
    reset();
    const double e = Median(engine);
    const double l = Median(lftp);
    std::printf(
        "%s median: engine %.3f s, lftp %.3f s, ratio engine/lftp %.3f, engine %.2f commands per file\n",
        direction, e, l, l > 0 ? e / l : 0.0, Median(commandsPerFile));
    return good;
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
    const bool downloaded = Compare(
        "download", runs, files,
        [&] {
            fs::remove_all(scratch);
            fs::create_directories(scratch);
        },
        [&] { return RunEngineDownload(server, scratch); },
        [&] {
            const double seconds = RunLftp(server, "/pub/tree " + scratch.string() + "/tree");
            return CountFiles(scratch / "tree") == files ? seconds : -1;
        });
    fs::remove_all(scratch);
    // The upload sends the tree the server serves, so both directions move the same files.
    const fs::path tree = server.Root() / "pub/tree";
    const std::string target = std::string("/") + RealFtpServer::kWritableFolder + "/tree";
    const bool uploaded = Compare(
        "upload", runs, files, [&] { EmptyFolder(server.WritablePath()); },
        [&] {
            EngineRun run = RunEngineUpload(server, tree);
            run.whole = run.whole && CountFiles(server.WritablePath() / "tree") == files;
            return run;
        },
        [&] {
            const double seconds = RunLftp(server, "-R --no-perms " + tree.string() + " " + target);
            return CountFiles(server.WritablePath() / "tree") == files ? seconds : -1;
        });
    const bool good = downloaded && uploaded;
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
