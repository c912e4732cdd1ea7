#pragma once
// The user's abort of the running request, from the Escape on the user-interface thread to the last
// reply the server owes for it on the worker: whether handlers must stop, whether ABOR is owed to the
// server or on its way, and how long the reads of the aborted request may still last. Every change of
// that state is one of the functions below.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class BufferedSocket;
class LogView;
class SocketInterrupt;

class FtpAbort {
  public:
    // Where the ABOR command stands: not wanted; due but not (wholly) sent, which the worker finishes
    // before it writes or reads anything else; on the wire, so the replies it brings are the abort's.
    enum class Abor { None, Owed, Sent };

    // `control` and `sendLock` are the session's control connection and the lock over its writes;
    // `usesTls` tells whether ABOR must go in-band.
    FtpAbort(BufferedSocket& control, std::mutex& sendLock, LogView& log, const std::atomic<bool>& usesTls);
    FtpAbort(const FtpAbort&) = delete;
    FtpAbort& operator=(const FtpAbort&) = delete;

    // ---- User-interface thread ----
    // The user's abort: handlers stop, data waits end, and the reads of the running request get one
    // grace period from now. Sends what it can of an ABOR when a transfer runs and none was begun;
    // true when this call began one.
    bool Request(int graceMs);
    // ---- Stop (any thread): handlers stop as for the user's abort, without ABOR. ----
    void RequestStop() { requested_ = true; }

    // ---- Worker ----
    // A new request begins, or one has ended: nothing of an earlier abort holds any more.
    void Reset();
    // A handler is done with the abort: later steps of its request run normally.
    void ClearRequested() { requested_ = false; }
    // Sends what is owed of an ABOR; before any other write or read on the control connection.
    void SendOwed();
    // Between requests: an ABOR never begun belonged to the request that ended and is dropped; one begun
    // is finished so that the next command is not written into its middle.
    void Settle();
    // The data of a transfer moves: only now does an abort send ABOR.
    void SetTransferring(bool on) { transferring_ = on; }

    bool Requested() const { return requested_; }
    bool Transferring() const { return transferring_; }
    Abor AborState() const { return abor_; }
    bool AborBegun() const { return abor_ != Abor::None; }
    // Milliseconds left for reads of the aborted request (never below 0); nullopt when no abort holds.
    std::optional<std::int64_t> GraceLeftMs() const;
    // The data sockets' wake-up for the user's abort.
    const std::shared_ptr<SocketInterrupt>& Signal() const { return signal_; }

  private:
    // The ABOR part of Request; true when this call began one.
    bool SendAbor();
    // With sendLock_ held: sends the owed pieces. Without `wait` only what the connection takes at once.
    bool SendPiecesLocked(bool wait);
    std::vector<std::pair<std::string, bool>> Pieces() const;

    BufferedSocket& control_;
    std::mutex& sendLock_;
    LogView& log_;
    const std::atomic<bool>& usesTls_;
    const std::shared_ptr<SocketInterrupt> signal_;
    std::atomic<bool> requested_{false};
    std::atomic<bool> transferring_{false};
    std::atomic<Abor> abor_{Abor::None};
    // When the abort's grace ends (steady-clock milliseconds); 0: no abort holds.
    std::atomic<std::int64_t> graceEndsMs_{0};
    // Guarded by sendLock_: what is still to go of an ABOR (bytes, urgent).
    std::vector<std::pair<std::string, bool>> owed_;
};
