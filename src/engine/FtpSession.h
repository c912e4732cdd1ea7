#pragma once
// One connection to an FTP server: the control connection, the fixed pool and queue of requests and the
// worker thread that connects, logs in and serves the requests one at a time in the order they came.
//
// Lifetime. Start creates the session and its worker and returns a shared FtpSessionHandle. The worker
// owns the session: when the session ends (Logoff, a 421 or lost connection, a failed login, Stop) it
// closes the control connection, discards the queued requests (their objects are released), calls
// ResetAfterSession on the Host view and then on the Remote view — the pages drop the handle they got
// from ResetForSession there — and only then frees the session. The handle stays valid after that.
// At program exit the owner fences the user-interface bridge, then calls Stop and WaitEnded with a bound.
//
// The connection and everything the request handlers use live in the session's FtpContext; the session
// itself keeps the queue, the worker and the handle. The handlers live in FtpLogin, FtpDataConnection,
// FtpTransfers and FtpDirectoryCommands.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/BufferedSocket.h"
#include "engine/FtpContext.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSessionHandle.h"
#include "engine/RequestQueue.h"
#include "engine/SessionWorker.h"
#include "hosts/FtpUrl.h"
#include "platform/SocketInterrupt.h"
#include "views/SessionViews.h"

class FtpSession : public SessionWorker {
  public:
    static constexpr int kPoolSize = RequestQueue::kPoolSize;
    static constexpr int kControlBufferSize = FtpContext::kControlBufferSize;
    static constexpr int kReplyLineSize = FtpContext::kReplyLineSize;
    static constexpr int kCommandRefused = FtpContext::kCommandRefused;

    // Parses the URL text (already accepted by the Host page), creates the session and starts its worker.
    static std::shared_ptr<FtpSessionHandle> Start(std::string_view urlText, SessionViews views,
                                                   FtpSessionOptions options = {});
    static std::shared_ptr<FtpSessionHandle> Start(FtpUrl url, SessionViews views,
                                                   FtpSessionOptions options = {});
    ~FtpSession() override;
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    // Any thread. Queues a request; the session then owns `object` (moved out). Returns false when all
    // 64 records are in use or the session is ending: nothing is queued and `object` is left untouched.
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value) override;
    bool Enqueue(FtpRequestKind kind, std::string_view text = {}, int value = 0);
    // User interface thread. Stops a running transfer with an urgent ABOR, discards the queued requests
    // and reports "Transfer terminated", "Queue flushed" or both.
    void Abort() override;
    // What the pages get from ResetForSession: it refuses once the session is gone.
    std::shared_ptr<FtpSessionHandle> Handle() const { return handle_; }

  private:
    FtpSession(FtpUrl url, SessionViews views, FtpSessionOptions options);
    static std::shared_ptr<FtpSessionHandle> StartWorker(std::unique_ptr<FtpSession> session);
    static void Run(std::unique_ptr<FtpSession> session);
    void SessionMain();
    void ServeRequests();
    // Reads and drops replies that arrived while no command was outstanding; false when the control
    // connection can no longer be queried.
    bool DiscardExtraneousReplies();
    // Waits for the next request, keeping an idle session alive with NOOP meanwhile; false when the
    // connection was lost on the way (endReason_ says why).
    bool AwaitRequest();
    int Dispatch(FtpRequest& request);
    // Ends the session's queue: later Enqueue calls refuse and the waiting requests are released.
    void DiscardPending();
    // From the handle's Stop.
    void RequestStop() override;

    // Declared first: the handle's stop signal and the queue's end come from it.
    FtpContext context_;
    RequestQueue queue_;
    // Worker: why the session ended when it was neither the user's Logoff nor Stop.
    std::string endReason_;
    // Worker: when the user last asked for something, and when the control connection last carried a
    // command (ticks), for the keep-alive.
    std::uint32_t lastRequestTicks_ = 0;
    std::uint32_t lastCommandTicks_ = 0;
    // Tests of the worker loop serve requests with this instead of the handlers (Logoff excepted).
    std::function<int(FtpContext&, FtpRequest&)> handlerOverride_;
    std::shared_ptr<FtpSessionHandle> handle_;

    friend class FtpSessionHandle;
    // Tests and tools that drive a session's connection and handlers from their own thread.
    friend class FtpSessionTesting;
};
