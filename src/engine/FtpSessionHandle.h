#pragma once
// The creator's thread-safe handle on a running session, FTP or SFTP alike (it reaches the session as a
// SessionWorker). It outlives the session: once the session has ended, Enqueue refuses and Abort and Stop
// do nothing, so the user interface never reaches freed storage.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "engine/FtpRequest.h"
#include "engine/SessionWorker.h"
#include "platform/SocketInterrupt.h"

class FtpSession;
class SftpSession;

class FtpSessionHandle {
  public:
    ~FtpSessionHandle();
    FtpSessionHandle(const FtpSessionHandle&) = delete;
    FtpSessionHandle& operator=(const FtpSessionHandle&) = delete;

    // As SessionWorker::Enqueue; also false once the session has ended (the object stays the caller's).
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value);
    bool Enqueue(FtpRequestKind kind, std::string_view text = {}, int value = 0);
    // As SessionWorker::Abort. User interface thread only: it reports through the views while it holds
    // the handle, and the worker must not be waiting for the user interface thread meanwhile.
    void Abort();
    // Ends the session as soon as possible, from any thread, without waiting: every blocked wait of the
    // worker (connect, reads, accept) fails at once with WSAEINTR, the running handler sees
    // abortRequested, no further request is taken and no QUIT is sent. The worker still closes the
    // connection, discards the queue and calls ResetAfterSession on the views.
    void Stop();
    // True once the worker has released the session (and the thread is joined), within `timeout`.
    bool WaitEnded(std::chrono::milliseconds timeout);
    bool HasEnded() const;

  private:
    friend class FtpSession;
    friend class SftpSession;
    explicit FtpSessionHandle(std::shared_ptr<SocketInterrupt> stopSignal);
    // Worker: no call reaches the session any more.
    void Detach();
    // Worker: the session's storage is gone.
    void MarkEnded();

    mutable std::mutex mutex_;
    std::condition_variable endedChanged_;
    SessionWorker* session_ = nullptr;
    bool ended_ = false;
    std::thread worker_;
    std::shared_ptr<SocketInterrupt> stopSignal_;
};
