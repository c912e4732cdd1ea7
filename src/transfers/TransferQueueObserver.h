#pragma once
// Told by the transfer queue what changed, in ranges of rows, on the thread that changed it (the user
// interface thread in the program): the Transfers page's model and the queue's store listen.
#include <cstdint>

class TransferQueueObserver {
  public:
    virtual ~TransferQueueObserver() = default;
    // `count` rows are added at `first` (always at the end): before and after.
    virtual void RowsAboutToBeInserted(int /*first*/, int /*count*/) {}
    virtual void RowsInserted(int /*first*/, int /*count*/) {}
    // Rows first..last (inclusive) changed in place.
    virtual void RowsChanged(int /*first*/, int /*last*/) {}
    // `count` rows at `first` go away: before and after.
    virtual void RowsAboutToBeRemoved(int /*first*/, int /*count*/) {}
    virtual void RowsRemoved(int /*first*/, int /*count*/) {}
    // All rows are replaced: before and after.
    virtual void AboutToReset() {}
    virtual void Reset() {}
    // After every operation that changed something: `states` is false when only progress moved (bytes,
    // speed, time left), true when a row was added, removed or changed state, reason or attempt.
    virtual void QueueChanged(bool /*states*/) {}
};
