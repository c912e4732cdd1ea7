#pragma once
// What a session's worker tells the transfer queue about each file it moves, by the queue row's id.
// Implementations post to the user-interface thread; the worker never waits for them.
#include <cstdint>
#include <string_view>

enum class TransferEnd : std::int32_t {
    Done = 0,
    Failed = 1,   // a lasting reason, or the retries are used up
    Skipped = 2,  // nothing to do (the user's answer, a refused name)
    Stopped = 3,  // the user's Stop, Escape or Logoff, or the session ended before the row's turn
};

class TransferView {
  public:
    virtual ~TransferView() = default;
    // The row's data began to move: `offset` bytes were already in place (a resume), `size` is the whole
    // file's length when known, else -1.
    virtual void TransferStarted(std::uint64_t row, std::int64_t offset, std::int64_t size) = 0;
    // Bytes of the whole file now in place (the offset included); a few times a second at most.
    virtual void TransferProgress(std::uint64_t row, std::int64_t bytes) = 0;
    // A passing failure (`reason` in words): the row is tried again after `delaySeconds`; attempt 1..3.
    virtual void TransferRetrying(std::uint64_t row, int attempt, int delaySeconds, std::string_view reason) = 0;
    // The row's end; `reason` says why for every end but Done ("550 No such file.", "Stopped by the user").
    virtual void TransferEnded(std::uint64_t row, TransferEnd end, std::string_view reason) = 0;
};
