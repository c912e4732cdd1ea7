// The Remote page with a real SFTP session against OpenSSH's sshd on 127.0.0.1 (the tests' launcher) and a
// folder of 100,000 files (or as many as asked): the time from the request to the last row in the window,
// the first rows painted and the longest stall of the event loop, against OpenSSH's `sftp` listing the same
// folder with `ls -l` into /dev/null (its login, timed apart with an empty batch, taken off).
//
// Run (RelWithDebInfo):
//   cmake --build build --target SftpListingBench && build/SftpListingBench [entries [runs]]
// Exits with 2 when sshd cannot start.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "BenchFolder.h"
#include "engine/FtpSessionHandle.h"
#include "sftp/SftpSession.h"
#include "support/RealSshServer.h"
#include "support/SshTestKit.h"
#include "support/TempDir.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemotePageTesting.h"
#include "ui/WispRemotePage.h"
#include "views/NullViews.h"

namespace {

using BenchFolder::Clock;
using BenchFolder::MakeEntries;
using BenchFolder::Ms;

bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds bound = std::chrono::seconds(300)) {
    return BenchFolder::PumpUntil(done, bound);
}
namespace fs = std::filesystem;

// Counts the page's "cached a copy" lines: one per listing finished.
class CacheCounter : public NullViews {
  public:
    void LogMessage(std::string_view line) override {
        if (line.starts_with("... cached a copy of ")) {
            cached.fetch_add(1);
        }
    }
    std::atomic<int> cached{0};
};

// `sftp -b` with the given batch lines; seconds, negative on failure.
double OpenSshBatch(const RealSshServer& server, const std::string& key, const std::string& batchText) {
    const fs::path batch = server.Dir() / "listing-batch";
    TempDir::WriteFileAt(batch, batchText);
    const std::vector<std::string> argv = {
        "sh", "-c",
        "sftp -q -b " + batch.string() + " -P " + std::to_string(server.Port()) + " -i " + key +
            " -o StrictHostKeyChecking=no -o UserKnownHostsFile=" + (server.Dir() / "known_hosts").string() +
            " -o BatchMode=yes -o IdentitiesOnly=yes " + server.User() + "@127.0.0.1 > /dev/null"};
    const auto start = Clock::now();
    if (RealSshServer::Run(argv) != 0) {
        return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const long entries = argc > 1 ? std::atol(argv[1]) : 100000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    QApplication app(argc, argv);
    RealSshServer server;
    if (!server.Running()) {
        std::fprintf(stderr, "sshd: %s\n", server.Error().c_str());
        return 2;
    }
    const std::string key = server.MakeClientKey("id_bench", "ed25519");
    TempDir::WriteFileAt(server.Dir() / "known_hosts", server.KnownHostsLine("ed25519") + "\n");
    const fs::path folder = server.Dir() / "big";
    if (!MakeEntries(folder, entries)) {
        std::fprintf(stderr, "could not create the entries\n");
        return 2;
    }

    CacheCounter log;
    NullViews none;
    WispRemotePage page(nullptr, &log);
    page.resize(800, 600);
    page.show();
    SftpSessionOptions options;
    SshConnectOptions connect = OptionsFor(server);
    connect.keyFiles = {key};
    options.connect = connect;
    FtpUrl url;
    ParseUrl(url, "sftp://" + server.User() + "@127.0.0.1:" + std::to_string(server.Port()) + "/");
    const std::shared_ptr<FtpSessionHandle> handle =
        SftpSession::Start(url, SessionViews{none, log, none, page.SessionView(), none}, options);
    if (!handle || !PumpUntil([&] { return log.cached.load() == 1; })) {
        std::fprintf(stderr, "no first listing\n");
        return 1;
    }

    RemoteEntryModel* model = WispRemotePageTesting(page).Model();
    std::vector<double> ours;
    std::vector<double> firstPainted;
    std::vector<double> stalls;
    for (int run = 0; run < runs; ++run) {
        Clock::time_point lastTick = Clock::now();
        Clock::duration longestStall{};
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            longestStall = std::max(longestStall, now - lastTick);
            lastTick = now;
        });
        Clock::time_point firstRows{};
        Clock::time_point lastRow{};
        auto connection = QObject::connect(model, &QAbstractItemModel::rowsInserted, [&] {
            const auto now = Clock::now();
            if (firstRows == Clock::time_point{}) {
                page.CurrentView()->viewport()->repaint();
                firstRows = Clock::now();
            }
            if (model->rowCount() >= entries && lastRow == Clock::time_point{}) {
                lastRow = now;
            }
        });
        ticker.start(5);
        const auto start = Clock::now();
        lastTick = start;
        if (run == 0) {
            handle->Enqueue(FtpRequestKind::ChangeDir, folder.string());
        } else {
            page.State().Refresh();  // forgets the page's copy and lists the folder again
        }
        if (!PumpUntil([&] { return lastRow != Clock::time_point{}; })) {
            std::fprintf(stderr, "the listing did not arrive whole (%d rows)\n", model->rowCount());
            return 1;
        }
        PumpUntil([&] { return log.cached.load() == 2 + run; });
        ticker.stop();
        QObject::disconnect(connection);
        ours.push_back(Ms(lastRow - start));
        firstPainted.push_back(Ms(firstRows - start));
        stalls.push_back(Ms(longestStall));
        std::printf(
            "run %d: request -> last row %8.1f ms, first rows painted %8.1f ms, longest stall %6.1f ms\n",
            run + 1, ours.back(), firstPainted.back(), stalls.back());
    }
    handle->Enqueue(FtpRequestKind::Logoff);
    PumpUntil([&] { return handle->HasEnded(); }, std::chrono::seconds(10));

    std::vector<double> theirs;
    for (int run = 0; run < runs; ++run) {
        const double login = OpenSshBatch(server, key, "pwd\n");
        const double listing = OpenSshBatch(server, key, "ls -l " + folder.string() + "\n");
        if (login < 0 || listing < 0) {
            std::fprintf(stderr, "sftp failed\n");
            return 1;
        }
        theirs.push_back((listing - login) * 1000.0);
        std::printf("run %d: sftp ls -l > /dev/null %8.1f ms (%.1f ms with its login)\n", run + 1,
                    theirs.back(), listing * 1000.0);
    }
    std::printf("\nmedians of %d runs, %ld entries, 127.0.0.1\n", runs, entries);
    std::printf(
        "wisp: request -> last row in the window %8.1f ms (first rows %6.1f ms, longest stall %5.1f ms)\n",
        Median(ours), Median(firstPainted), Median(stalls));
    std::printf("sftp: ls -l to /dev/null, login taken off %8.1f ms\n", Median(theirs));
    return 0;
}
