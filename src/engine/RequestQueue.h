#pragma once
// A session's fixed pool of 64 request records and the queue of those waiting, first in, first out:
// Enqueue from any thread, the worker's wait and take, the flush of Abort and the close at the end, and
// the report of transfer rows whose requests will never run. FtpSession and SftpSession share it.
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string_view>
#include <vector>

#include "engine/FtpRequest.h"
#include "views/TransferView.h"

class RequestQueue {
  public:
    static constexpr int kPoolSize = 64;
    using Released = std::vector<std::unique_ptr<FtpRequestObject>>;

    RequestQueue();
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    // Any thread. False when all records are in use, or after Stop or Close: nothing is queued and
    // `object` is left untouched.
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value);

    // Worker: waits for a queued request (or Stop's wake-up); WaitFor gives up after `timeout`.
    void Wait();
    bool WaitFor(std::chrono::milliseconds timeout);
    // Worker: the oldest queued request, or null when Abort flushed it after its count was taken.
    FtpRequest* Take();
    // Worker: gives a record back, releasing what its handler left in it.
    void Return(FtpRequest* record);

    // Abort: empties the queue into `released` and returns how many requests it held.
    int Flush(Released& released);
    // The session ends: later Enqueue calls refuse and the waiting requests go into `released`.
    void Close(Released& released);
    // Stop: later Enqueue calls refuse and a waiting worker wakes. `markStopped` runs under the queue's
    // lock, so that a worker woken sees what it sets; it returns false when the session was stopped
    // already, and then nothing else happens.
    void Stop(const std::function<bool()>& markStopped);

    // Outside the lock: tells the transfer queue that the rows of requests that will never run were
    // stopped (`reason`), then releases their objects.
    static void ReportNotRun(TransferView& transfers, Released& released, std::string_view reason);

  private:
    // With lock_ held.
    FtpRequest* PopLocked();
    int FlushLocked(Released& released);

    std::mutex lock_;
    // One count per queued record; counts are given under lock_, so there are never more counts than
    // queued records (plus the single wake-up of Stop), which keeps it within its maximum.
    std::counting_semaphore<kPoolSize> queued_{0};
    std::array<FtpRequest*, kPoolSize> free_{};  // a stack: the head is free_[freeCount_ - 1]
    int freeCount_ = 0;
    std::array<FtpRequest*, kPoolSize> pending_{};  // a ring: first in, first out
    int pendingHead_ = 0;
    int pendingCount_ = 0;
    bool stopped_ = false;
    bool closed_ = false;
    std::array<FtpRequest, kPoolSize> records_;
};
