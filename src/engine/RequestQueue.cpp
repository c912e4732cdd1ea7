#include "engine/RequestQueue.h"

#include <utility>

RequestQueue::RequestQueue() {
    // The free list holds the records in array order with its head on top of the stack, so the first
    // record is used first and a record given back is the next one taken.
    for (auto record = records_.rbegin(); record != records_.rend(); ++record) {
        free_[static_cast<std::size_t>(freeCount_++)] = &*record;
    }
}

bool RequestQueue::Enqueue(FtpRequestKind kind, std::string_view text,
                           std::unique_ptr<FtpRequestObject>& object, int value) {
    std::lock_guard lock(lock_);
    if (closed_ || stopped_ || freeCount_ == 0) {
        return false;
    }
    FtpRequest* record = free_[static_cast<std::size_t>(--freeCount_)];
    record->kind = kind;
    record->text.assign(text);
    record->object = std::move(object);
    record->value = value;
    pending_[static_cast<std::size_t>((pendingHead_ + pendingCount_) % kPoolSize)] = record;
    ++pendingCount_;
    queued_.release();
    return true;
}

void RequestQueue::Wait() {
    queued_.acquire();
}

bool RequestQueue::WaitFor(std::chrono::milliseconds timeout) {
    return queued_.try_acquire_for(timeout);
}

FtpRequest* RequestQueue::Take() {
    std::lock_guard lock(lock_);
    return pendingCount_ == 0 ? nullptr : PopLocked();
}

FtpRequest* RequestQueue::PopLocked() {
    FtpRequest* record = pending_[static_cast<std::size_t>(pendingHead_)];
    pendingHead_ = (pendingHead_ + 1) % kPoolSize;
    --pendingCount_;
    return record;
}

int RequestQueue::FlushLocked(Released& released) {
    int flushed = 0;
    while (pendingCount_ > 0) {
        FtpRequest* record = PopLocked();
        record->text.clear();
        released.push_back(std::move(record->object));
        free_[static_cast<std::size_t>(freeCount_++)] = record;
        ++flushed;
    }
    return flushed;
}

void RequestQueue::Return(FtpRequest* record) {
    // A handler that did not release its object leaves it to this.
    record->text.clear();
    record->object.reset();
    std::lock_guard lock(lock_);
    free_[static_cast<std::size_t>(freeCount_++)] = record;
}

int RequestQueue::Flush(Released& released) {
    std::lock_guard lock(lock_);
    const int flushed = FlushLocked(released);
    // Never blocks: when the worker has already taken a flushed request's count, it finds the queue
    // empty and waits again. After Stop the counts no longer matter and the wake-up must stay.
    for (int i = 0; i < flushed && !stopped_; ++i) {
        (void)queued_.try_acquire();
    }
    return flushed;
}

void RequestQueue::Close(Released& released) {
    std::lock_guard lock(lock_);
    closed_ = true;
    FlushLocked(released);
}

void RequestQueue::Stop(const std::function<bool()>& markStopped) {
    std::lock_guard lock(lock_);
    if (!markStopped()) {
        return;
    }
    stopped_ = true;
    // Wakes a worker waiting for a request. Counts never exceed the queued records, so one more fits
    // unless all 64 are queued, and then the worker is not waiting.
    if (pendingCount_ < kPoolSize) {
        queued_.release();
    }
}

void RequestQueue::ReportNotRun(TransferView& transfers, Released& released, std::string_view reason) {
    for (const auto& object : released) {
        if (const auto* items = dynamic_cast<const TransferItems*>(object.get())) {
            for (const TransferItem& item : items->items) {
                if (item.row != 0) {
                    transfers.TransferEnded(item.row, TransferEnd::Stopped, reason);
                }
            }
        }
    }
    released.clear();
}
