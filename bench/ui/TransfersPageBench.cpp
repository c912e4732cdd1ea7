// The Transfers page with 10,000 rows (or as many as asked) queued at once: the time until all are in the
// table and its last row is painted, and the longest stall of the event loop meanwhile; then every row
// started, moved and ended as a worker would report a batch of small files, with the queue saved to its
// store as it changes, to see what the rows' changes and the crash-safe writes cost the event loop.
//
// Run (RelWithDebInfo): cmake --build build --target TransfersPageBench && build/TransfersPageBench [rows]
// Goals for 10,000 rows: all shown <= 1 s, longest stall <= 100 ms (both phases).
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "transfers/TransferQueue.h"
#include "transfers/TransferQueueStore.h"
#include "ui/TransferQueueModel.h"
#include "ui/WispTransfersPage.h"
#include "views/NullViews.h"

namespace {

// The longest gap between ticks of a 5 ms timer: how long the event loop was held at most.
class StallMeter {
  public:
    StallMeter() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
    }
    void Start() {
        clock_.start();
        last_ = 0;
        longest_ = 0;
        timer_.start();
    }
    qint64 Longest() const { return longest_; }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};

void Pump(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10'000;
    QApplication app(argc, argv);
    TempDir data("wisp-transfers-bench");
    NullViews log;
    TransferQueue queue;
    TransferQueueStore store(data / "transfers.queue", log);
    store.Follow(queue);
    WispTransfersPage page(queue);
    page.resize(1000, 600);
    page.show();
    QTimer saver;
    saver.setInterval(250);
    QObject::connect(&saver, &QTimer::timeout, [&] { store.SaveIfDue(); });
    saver.start();
    Pump(200);

    std::vector<TransferItem> files;
    files.reserve(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        TransferItem item;
        item.remoteFolder = "/pub/releases";
        item.remoteName = "package-" + std::to_string(i) + ".tar.gz";
        item.localPath = "/home/user/Downloads/" + item.remoteName;
        item.size = 4096 + i;
        files.push_back(std::move(item));
    }

    StallMeter stalls;
    stalls.Start();
    QElapsedTimer clock;
    clock.start();
    bool shown = false;
    qint64 shownMs = -1;
    // Queued from the event loop, as a Get of that many files is.
    QTimer::singleShot(0, [&] {
        clock.restart();
        std::unique_ptr<TransferItems> items = queue.AddTransfers(
            TransferDirection::Download, "ftp://anonymous@127.0.0.1:21", kImageType, files);
        QTimer::singleShot(0, [&] {
            page.Table().scrollToBottom();
            page.Table().viewport()->repaint();
            const QModelIndex last = page.Table().indexAt(QPoint(5, page.Table().viewport()->height() - 5));
            shown = page.Model().rowCount() == rows && last.row() >= rows - 40;
            shownMs = clock.elapsed();
        });
    });
    Pump(1500);
    const qint64 addStall = stalls.Longest();
    std::printf("rows queued at once:      %d\n", rows);
    std::printf("all shown after:          %lld ms%s (goal <= 1000)\n", static_cast<long long>(shownMs),
                shown ? "" : " (NOT all shown)");
    std::printf("longest stall (queueing): %lld ms (goal <= 100)\n", static_cast<long long>(addStall));

    // A worker's reports for small files, about a hundred a tick of the event loop.
    stalls.Start();
    clock.restart();
    std::uint64_t next = 1;
    bool done = false;
    QTimer worker;
    worker.setInterval(1);
    QObject::connect(&worker, &QTimer::timeout, [&] {
        for (int i = 0; i < 100 && next <= static_cast<std::uint64_t>(rows); ++i, ++next) {
            queue.Started(next, 0, 4096);
            queue.Progress(next, 2048);
            queue.Ended(next, TransferEnd::Done, {});
        }
        if (next > static_cast<std::uint64_t>(rows)) {
            worker.stop();
            done = true;
        }
    });
    worker.start();
    while (!done) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const qint64 endMs = clock.elapsed();
    Pump(600);
    store.Flush();
    std::printf("all ended after:          %lld ms\n", static_cast<long long>(endMs));
    std::printf("longest stall (ending):   %lld ms (goal <= 100)\n",
                static_cast<long long>(stalls.Longest()));
    TransferQueueStore reader(data / "transfers.queue", log);
    const std::vector<TransferRow> saved = reader.Load();
    const bool allDone = std::all_of(saved.begin(), saved.end(),
                                     [](const TransferRow& row) { return row.state == TransferState::Done; });
    std::printf("saved rows:               %zu%s\n", saved.size(), allDone ? ", all done" : ", NOT all done");
    return shown && addStall <= 100 && shownMs <= 1000 ? 0 : 1;
}
