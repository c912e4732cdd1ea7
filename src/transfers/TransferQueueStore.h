#pragma once
// Keeps the transfer queue on disk as it changes, so that a crash or a kill at any moment leaves either
// the previous or the new queue whole, and reads it back at start (a damaged file is moved aside).
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "transfers/TransferQueue.h"
#include "transfers/TransferQueueObserver.h"
#include "transfers/TransferRow.h"

class LogView;

class TransferQueueStore final : public TransferQueueObserver {
  public:
    // Progress alone is written at most this often; a change of state at once, unless the last write was
    // more recent than kStateIntervalMs (thousands of small files ending would otherwise rewrite the
    // file thousands of times): then by the next report or SaveIfDue.
    static constexpr std::int64_t kProgressIntervalMs = 1000;
    static constexpr std::int64_t kStateIntervalMs = 250;

    TransferQueueStore(std::filesystem::path file, LogView& log,
                       TransferClock clock = TransferQueue::SteadyMilliseconds);
    ~TransferQueueStore() override;
    TransferQueueStore(const TransferQueueStore&) = delete;
    TransferQueueStore& operator=(const TransferQueueStore&) = delete;

    // $XDG_DATA_HOME/wisp/transfers.queue, else ~/.local/share/wisp/transfers.queue.
    static std::filesystem::path DefaultFile();

    // The saved rows; none when there is no file. A file that cannot be read whole is renamed to
    // "<file>.bad" with a log line, and no rows come back.
    std::vector<TransferRow> Load();
    // Writes `rows` beside the file, flushes it to the disk and renames it over the file.
    bool Save(const std::vector<TransferRow>& rows);

    // From now on saves `queue` as it changes, until destroyed (which saves what is pending); the queue
    // must outlive the store.
    void Follow(TransferQueue& queue);
    // Stops following the queue and deletes the file (the user removes everything the program stored).
    void RemoveFile();
    // Saves a change not yet written.
    void Flush();
    // Saves a change of state not yet written once kStateIntervalMs have passed (and progress after
    // kProgressIntervalMs); the program calls it from a timer.
    void SaveIfDue();

    const std::filesystem::path& File() const { return file_; }

    // The file's text for `rows`, and the rows of a text; false when the text is not a whole queue.
    static std::string Format(const std::vector<TransferRow>& rows);
    static bool Parse(const std::string& text, std::vector<TransferRow>& rows, int& badLine);

  private:
    void QueueChanged(bool states) override;
    void SaveQueue();

    std::filesystem::path file_;
    LogView& log_;
    TransferClock clock_;
    TransferQueue* queue_ = nullptr;
    bool pending_ = false;
    bool pendingStates_ = false;
    std::int64_t lastSaveMs_ = 0;
    bool failing_ = false;
};
