#pragma once
// The transfer queue: every file of a Get or a Put as a row, changed by the session worker's reports
// and by the user's Retry, Remove, Stop and Clear finished, with the summary of the batch running now.
// Lives on the user-interface thread; its observers (the page's model, the store) are told in ranges.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FtpRequest.h"
#include "transfers/TransferQueueObserver.h"
#include "transfers/TransferRow.h"
#include "transfers/TransferRowSink.h"
#include "views/TransferView.h"

// Milliseconds of a monotonic clock.
using TransferClock = std::function<std::int64_t()>;

// The files added since the queue was last idle, for the title and the progress bar.
struct TransferBatchSummary {
    int files = 0;
    // Ended in any way (done, failed, skipped, interrupted).
    int filesFinished = 0;
    // Of the files whose size is known.
    std::int64_t bytes = 0;
    std::int64_t bytesDone = 0;
    // Of the running rows together.
    double bytesPerSecond = 0;
    // Rows are still queued or running.
    bool active = false;
    bool operator==(const TransferBatchSummary&) const = default;
};

// Rows retried together: one Get or Put for their site, direction and type.
struct RetriedTransfers {
    std::string site;
    TransferDirection direction = TransferDirection::Download;
    int type = 0;
    std::unique_ptr<TransferItems> items;
};

// What Stop found among the rows: the queued ones (now interrupted, and on the stop list the session
// reads) and whether one of them is running (only the session's abort ends it).
struct TransferStopResult {
    std::vector<std::uint64_t> queued;
    bool runningAmong = false;
};

class TransferQueue final : public TransferRowSink {
  public:
    static std::int64_t SteadyMilliseconds();

    explicit TransferQueue(TransferClock clock = SteadyMilliseconds);
    TransferQueue(const TransferQueue&) = delete;
    TransferQueue& operator=(const TransferQueue&) = delete;

    void AddObserver(TransferQueueObserver* observer);
    void RemoveObserver(TransferQueueObserver* observer);

    // --- Adding ---
    // Appends `rows` as queued with new ids (theirs are ignored); returns the ids in order.
    std::vector<std::uint64_t> Add(std::vector<TransferRow> rows);
    std::unique_ptr<TransferItems> AddTransfers(TransferDirection direction, std::string_view site, int type,
                                                const std::vector<TransferItem>& files) override;
    void NotEnqueued(const TransferItems& items, std::string_view reason) override;
    void SkipRows(const TransferItems& items, std::string_view reason) override;
    // Replaces every row by the saved ones; rows a session still owed an end come back interrupted.
    void Restore(std::vector<TransferRow> rows);

    // --- What the session worker reports (TransferView, on this thread) ---
    void Started(std::uint64_t id, std::int64_t offset, std::int64_t size);
    void Progress(std::uint64_t id, std::int64_t bytes);
    void Retrying(std::uint64_t id, int attempt, int delaySeconds, std::string_view reason);
    void Ended(std::uint64_t id, TransferEnd end, std::string_view reason);

    // --- What the user does ---
    // Failed and interrupted rows among `ids` go back to queued; what to enqueue for them, grouped (binary
    // rows that moved bytes continue where they stopped).
    std::vector<RetriedTransfers> Retry(const std::vector<std::uint64_t>& ids);
    // Removes the rows among `ids` that are not running; returns how many went.
    int Remove(const std::vector<std::uint64_t>& ids);
    // Removes the done and skipped rows: failed and interrupted ones stay for Retry.
    int ClearFinished();
    TransferStopResult Stop(const std::vector<std::uint64_t>& ids);
    // The session ended: rows it still owed an end for (queued or running on `site`) are interrupted.
    void InterruptUnfinished(std::string_view site, std::string_view reason);

    // --- Reading ---
    int Count() const { return static_cast<int>(rows_.size()); }
    const TransferRow& At(int index) const { return rows_[static_cast<std::size_t>(index)]; }
    const std::vector<TransferRow>& Rows() const { return rows_; }
    // The index of row `id`, or -1.
    int IndexOf(std::uint64_t id) const;
    TransferBatchSummary Summary() const;

    static constexpr std::string_view kStoppedReason = "Stopped by the user";
    static constexpr std::string_view kRestoredReason = "Interrupted: the program ended before it finished";

  private:
    // Per row, beside it: the speed's start and whether it belongs to the current batch.
    struct Track {
        std::int64_t startMs = 0;
        std::int64_t startBytes = 0;
        bool inBatch = false;
    };

    // New rows while nothing is queued or running begin a new batch.
    void BeginRowsOfBatch();
    bool AnyUnfinished() const;
    std::shared_ptr<TransferStopList> NewStopList();
    // Tells the observers about row `index` (and the store whether only progress moved).
    void Changed(int index, bool states);
    void RemoveWhere(const std::function<bool(const TransferRow&)>& remove);
    template <typename Call>
    void Tell(Call call);

    TransferClock clock_;
    std::vector<TransferRow> rows_;  // ascending ids
    std::vector<Track> tracks_;
    std::uint64_t nextId_ = 1;
    std::vector<TransferQueueObserver*> observers_;
    // Stop lists handed out with requests the session may still hold.
    std::vector<std::weak_ptr<TransferStopList>> stopLists_;
};
