#include "transfers/TransferQueue.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <tuple>
#include <utility>

std::int64_t TransferQueue::SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TransferQueue::TransferQueue(TransferClock clock) : clock_(std::move(clock)) {}

void TransferQueue::AddObserver(TransferQueueObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
        observers_.push_back(observer);
    }
}

void TransferQueue::RemoveObserver(TransferQueueObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

template <typename Call>
void TransferQueue::Tell(Call call) {
    // A copy: an observer may detach itself while it is told.
    const std::vector<TransferQueueObserver*> observers = observers_;
    for (TransferQueueObserver* observer : observers) {
        call(*observer);
    }
}

bool TransferQueue::AnyUnfinished() const {
    return std::any_of(rows_.begin(), rows_.end(), [](const TransferRow& row) { return row.Unfinished(); });
}

void TransferQueue::BeginRowsOfBatch() {
    if (!AnyUnfinished()) {
        for (Track& track : tracks_) {
            track.inBatch = false;
        }
    }
}

std::vector<std::uint64_t> TransferQueue::Add(std::vector<TransferRow> rows) {
    std::vector<std::uint64_t> ids;
    if (rows.empty()) {
        return ids;
    }
    BeginRowsOfBatch();
    ids.reserve(rows.size());
    const int first = Count();
    const int count = static_cast<int>(rows.size());
    Tell([&](TransferQueueObserver& o) { o.RowsAboutToBeInserted(first, count); });
    rows_.reserve(rows_.size() + rows.size());
    tracks_.reserve(tracks_.size() + rows.size());
    for (TransferRow& row : rows) {
        row.id = nextId_++;
        row.site = SiteWithoutPassword(row.site);
        row.state = TransferState::Queued;
        row.bytesDone = 0;
        row.reason.clear();
        row.attempt = 0;
        row.bytesPerSecond = 0;
        row.secondsLeft = -1;
        ids.push_back(row.id);
        rows_.push_back(std::move(row));
        tracks_.push_back(Track{0, 0, true});
    }
    Tell([&](TransferQueueObserver& o) { o.RowsInserted(first, count); });
    Tell([](TransferQueueObserver& o) { o.QueueChanged(true); });
    return ids;
}

std::unique_ptr<TransferItems> TransferQueue::AddTransfers(TransferDirection direction, std::string_view site,
                                                           int type, const std::vector<TransferItem>& files) {
    std::vector<TransferRow> rows;
    rows.reserve(files.size());
    for (const TransferItem& file : files) {
        TransferRow row;
        row.direction = direction;
        row.site = std::string(site);
        row.localPath = file.localPath;
        row.remoteFolder = file.remoteFolder;
        row.remoteName = file.remoteName;
        row.type = type;
        row.size = file.size;
        row.time = file.time;
        row.exactTime = file.exactTime;
        rows.push_back(std::move(row));
    }
    const std::vector<std::uint64_t> ids = Add(std::move(rows));
    auto items = std::make_unique<TransferItems>(files);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        items->items[i].row = ids[i];
    }
    items->stops = NewStopList();
    return items;
}

void TransferQueue::NotEnqueued(const TransferItems& items, std::string_view reason) {
    for (const TransferItem& item : items.items) {
        Ended(item.row, TransferEnd::Stopped, reason);
    }
}

void TransferQueue::SkipRows(const TransferItems& items, std::string_view reason) {
    for (const TransferItem& item : items.items) {
        Ended(item.row, TransferEnd::Skipped, reason);
    }
}

void TransferQueue::Restore(std::vector<TransferRow> rows) {
    Tell([](TransferQueueObserver& o) { o.AboutToReset(); });
    std::sort(rows.begin(), rows.end(),
              [](const TransferRow& a, const TransferRow& b) { return a.id < b.id; });
    rows.erase(std::unique(rows.begin(), rows.end(),
                           [](const TransferRow& a, const TransferRow& b) { return a.id == b.id; }),
               rows.end());
    nextId_ = 1;
    for (TransferRow& row : rows) {
        if (row.Unfinished()) {
            row.state = TransferState::Interrupted;
            row.reason = kRestoredReason;
        }
        row.site = SiteWithoutPassword(row.site);
        row.bytesPerSecond = 0;
        row.secondsLeft = -1;
        nextId_ = std::max(nextId_, row.id + 1);
    }
    rows_ = std::move(rows);
    tracks_.assign(rows_.size(), Track{});
    Tell([](TransferQueueObserver& o) { o.Reset(); });
    Tell([](TransferQueueObserver& o) { o.QueueChanged(true); });
}

int TransferQueue::IndexOf(std::uint64_t id) const {
    const auto found =
        std::lower_bound(rows_.begin(), rows_.end(), id,
                         [](const TransferRow& row, std::uint64_t value) { return row.id < value; });
    return found != rows_.end() && found->id == id ? static_cast<int>(found - rows_.begin()) : -1;
}

void TransferQueue::Changed(int index, bool states) {
    Tell([&](TransferQueueObserver& o) { o.RowsChanged(index, index); });
    Tell([&](TransferQueueObserver& o) { o.QueueChanged(states); });
}

void TransferQueue::Started(std::uint64_t id, std::int64_t offset, std::int64_t size) {
    const int index = IndexOf(id);
    if (index < 0) {
        return;
    }
    TransferRow& row = rows_[static_cast<std::size_t>(index)];
    Track& track = tracks_[static_cast<std::size_t>(index)];
    row.state = TransferState::Running;
    row.bytesDone = std::max<std::int64_t>(offset, 0);
    if (size >= 0) {
        row.size = size;
    }
    row.bytesPerSecond = 0;
    row.secondsLeft = -1;
    track.startMs = clock_();
    track.startBytes = row.bytesDone;
    Changed(index, true);
}

void TransferQueue::Progress(std::uint64_t id, std::int64_t bytes) {
    const int index = IndexOf(id);
    if (index < 0) {
        return;
    }
    TransferRow& row = rows_[static_cast<std::size_t>(index)];
    Track& track = tracks_[static_cast<std::size_t>(index)];
    bool states = false;
    if (row.state != TransferState::Running) {
        // A report that overtook the start: the row runs from here.
        if (!row.Unfinished()) {
            return;
        }
        row.state = TransferState::Running;
        track.startMs = clock_();
        track.startBytes = bytes;
        states = true;
    }
    row.bytesDone = bytes;
    const std::int64_t elapsedMs = clock_() - track.startMs;
    if (elapsedMs > 0 && bytes >= track.startBytes) {
        row.bytesPerSecond =
            static_cast<double>(bytes - track.startBytes) * 1000.0 / static_cast<double>(elapsedMs);
    }
    if (row.size >= 0 && row.bytesPerSecond > 0) {
        row.secondsLeft = static_cast<std::int64_t>(
            std::ceil(static_cast<double>(std::max<std::int64_t>(row.size - bytes, 0)) / row.bytesPerSecond));
    } else {
        row.secondsLeft = -1;
    }
    Changed(index, states);
}

void TransferQueue::Retrying(std::uint64_t id, int attempt, int /*delaySeconds*/, std::string_view reason) {
    const int index = IndexOf(id);
    if (index < 0 || !rows_[static_cast<std::size_t>(index)].Unfinished()) {
        return;
    }
    TransferRow& row = rows_[static_cast<std::size_t>(index)];
    row.state = TransferState::Running;
    row.attempt = attempt;
    row.reason = std::string(reason);
    row.bytesPerSecond = 0;
    row.secondsLeft = -1;
    Changed(index, true);
}

void TransferQueue::Ended(std::uint64_t id, TransferEnd end, std::string_view reason) {
    const int index = IndexOf(id);
    if (index < 0) {
        return;
    }
    TransferRow& row = rows_[static_cast<std::size_t>(index)];
    switch (end) {
        case TransferEnd::Done:
            row.state = TransferState::Done;
            if (row.size >= 0) {
                row.bytesDone = row.size;
            }
            row.reason.clear();
            break;
        case TransferEnd::Failed:
            row.state = TransferState::Failed;
            row.reason = std::string(reason);
            break;
        case TransferEnd::Skipped:
            row.state = TransferState::Skipped;
            row.reason = std::string(reason);
            break;
        case TransferEnd::Stopped:
            row.state = TransferState::Interrupted;
            row.reason = reason.empty() ? std::string(kStoppedReason) : std::string(reason);
            break;
    }
    row.bytesPerSecond = 0;
    row.secondsLeft = -1;
    Changed(index, true);
}

std::shared_ptr<TransferStopList> TransferQueue::NewStopList() {
    stopLists_.erase(
        std::remove_if(stopLists_.begin(), stopLists_.end(),
                       [](const std::weak_ptr<TransferStopList>& list) { return list.expired(); }),
        stopLists_.end());
    auto list = std::make_shared<TransferStopList>();
    stopLists_.push_back(list);
    return list;
}

std::vector<RetriedTransfers> TransferQueue::Retry(const std::vector<std::uint64_t>& ids) {
    std::vector<RetriedTransfers> retries;
    std::vector<int> indexes;
    for (const std::uint64_t id : ids) {
        const int index = IndexOf(id);
        if (index >= 0 &&
            (At(index).state == TransferState::Failed || At(index).state == TransferState::Interrupted)) {
            indexes.push_back(index);
        }
    }
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    if (indexes.empty()) {
        return retries;
    }
    BeginRowsOfBatch();
    // One request per site, direction and type, in the order their first rows appear.
    std::map<std::tuple<std::string, TransferDirection, int>, std::size_t> groups;
    for (const int index : indexes) {
        TransferRow& row = rows_[static_cast<std::size_t>(index)];
        tracks_[static_cast<std::size_t>(index)].inBatch = true;
        row.state = TransferState::Queued;
        row.reason.clear();
        row.attempt = 0;
        const auto key = std::make_tuple(row.site, row.direction, row.type);
        auto group = groups.find(key);
        if (group == groups.end()) {
            group = groups.emplace(key, retries.size()).first;
            RetriedTransfers retry;
            retry.site = row.site;
            retry.direction = row.direction;
            retry.type = row.type;
            retry.items = std::make_unique<TransferItems>();
            retry.items->stops = NewStopList();
            retries.push_back(std::move(retry));
        }
        TransferItem item;
        item.row = row.id;
        item.remoteFolder = row.remoteFolder;
        item.remoteName = row.remoteName;
        item.localPath = row.localPath;
        item.size = row.size;
        item.time = row.time;
        item.exactTime = row.exactTime;
        // Only bytes this row moved are continued: a local file it never wrote may be one the user chose to
        // replace. Text files change length with their line ends on the way, so only binary ones can.
        item.resume = row.type == kImageType && row.bytesDone > 0;
        retries[group->second].items->items.push_back(std::move(item));
    }
    Tell([&](TransferQueueObserver& o) { o.RowsChanged(indexes.front(), indexes.back()); });
    Tell([](TransferQueueObserver& o) { o.QueueChanged(true); });
    return retries;
}

void TransferQueue::RemoveWhere(const std::function<bool(const TransferRow&)>& remove) {
    // From the end, one range of neighbours at a time, so the indexes told stay true.
    int end = Count();
    while (end > 0) {
        int last = end - 1;
        while (last >= 0 && !remove(At(last))) {
            --last;
        }
        if (last < 0) {
            break;
        }
        int first = last;
        while (first > 0 && remove(At(first - 1))) {
            --first;
        }
        const int count = last - first + 1;
        Tell([&](TransferQueueObserver& o) { o.RowsAboutToBeRemoved(first, count); });
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        tracks_.erase(tracks_.begin() + first, tracks_.begin() + last + 1);
        Tell([&](TransferQueueObserver& o) { o.RowsRemoved(first, count); });
        end = first;
    }
}

int TransferQueue::Remove(const std::vector<std::uint64_t>& ids) {
    std::vector<std::uint64_t> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    const int before = Count();
    RemoveWhere([&](const TransferRow& row) {
        return row.state != TransferState::Running &&
               std::binary_search(sorted.begin(), sorted.end(), row.id);
    });
    const int removed = before - Count();
    if (removed > 0) {
        Tell([](TransferQueueObserver& o) { o.QueueChanged(true); });
    }
    return removed;
}

int TransferQueue::ClearFinished() {
    const int before = Count();
    RemoveWhere([](const TransferRow& row) {
        return row.state == TransferState::Done || row.state == TransferState::Skipped;
    });
    const int removed = before - Count();
    if (removed > 0) {
        Tell([](TransferQueueObserver& o) { o.QueueChanged(true); });
    }
    return removed;
}

TransferStopResult TransferQueue::Stop(const std::vector<std::uint64_t>& ids) {
    TransferStopResult result;
    int first = Count();
    int last = -1;
    for (const std::uint64_t id : ids) {
        const int index = IndexOf(id);
        if (index < 0) {
            continue;
        }
        TransferRow& row = rows_[static_cast<std::size_t>(index)];
        if (row.state == TransferState::Running) {
            result.runningAmong = true;
        } else if (row.state == TransferState::Queued) {
            row.state = TransferState::Interrupted;
            row.reason = kStoppedReason;
            result.queued.push_back(id);
            first = std::min(first, index);
            last = std::max(last, index);
        }
    }
    if (!result.queued.empty()) {
        for (const std::weak_ptr<TransferStopList>& weak : stopLists_) {
            if (const std::shared_ptr<TransferStopList> list = weak.lock()) {
                for (const std::uint64_t id : result.queued) {
                    list->Stop(id);
                }
            }
        }
        Tell([&](TransferQueueObserver& o) { o.RowsChanged(first, last); });
        Tell([](TransferQueueObserver& o) { o.QueueChanged(true); });
    }
    return result;
}

void TransferQueue::InterruptUnfinished(std::string_view site, std::string_view reason) {
    int first = Count();
    int last = -1;
    for (int index = 0; index < Count(); ++index) {
        TransferRow& row = rows_[static_cast<std::size_t>(index)];
        if (row.Unfinished() && row.site == site) {
            row.state = TransferState::Interrupted;
            row.reason = std::string(reason);
            row.bytesPerSecond = 0;
            row.secondsLeft = -1;
            first = std::min(first, index);
            last = index;
        }
    }
    if (last >= 0) {
        Tell([&](TransferQueueObserver& o) { o.RowsChanged(first, last); });
        Tell([](TransferQueueObserver& o) { o.QueueChanged(true); });
    }
}

TransferBatchSummary TransferQueue::Summary() const {
    TransferBatchSummary summary;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (!tracks_[i].inBatch) {
            continue;
        }
        const TransferRow& row = rows_[i];
        ++summary.files;
        if (row.Unfinished()) {
            summary.active = true;
        } else {
            ++summary.filesFinished;
        }
        if (row.size >= 0) {
            summary.bytes += row.size;
            summary.bytesDone += std::min(row.bytesDone, row.size);
        }
        if (row.state == TransferState::Running) {
            summary.bytesPerSecond += row.bytesPerSecond;
        }
    }
    return summary;
}
