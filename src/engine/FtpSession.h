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
// Request handlers (worker thread) see the session only through its FtpContext: the control connection,
// SendCommand/ReadReply, the views, the session's flags and options. They live in FtpLogin,
// FtpDataConnection, FtpTransfers and FtpDirectoryCommands.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/BufferedSocket.h"
#include "engine/FtpContext.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSessionHandle.h"
#include "engine/SessionViews.h"
#include "hosts/FtpUrl.h"
#include "platform/SocketInterrupt.h"

class TlsContext;
class TrustedCertificates;

struct FtpSessionOptions {
    // Open data connections with PASV (the Options page's "Passive" when the session starts).
    bool passive = true;
    // Longest silence accepted on the control connection (each read, and the connect) before the read
    // fails with WSAETIMEDOUT and the session ends with 421. 0 waits for ever.
    int controlTimeoutMs = 60000;
    // The same bound for data connections: connect, accept in active mode, every receive and send.
    int dataTimeoutMs = 60000;
    // When set, serves every request except Logoff instead of the built-in handlers: tests of the
    // worker loop itself, independent of what the handlers send.
    std::function<int(FtpContext&, FtpRequest&)> handlerOverride;
    // The millisecond tick count that transfer statistics are timed with (32 bits, wrapping); empty uses
    // the steady clock. Tests set it to make the statistics message exact.
    std::function<std::uint32_t()> tickSource;
    // TLS (ftpes://, ftps://): a PEM file of trusted certificates used instead of the system's trust
    // store (tests); empty: the system's store.
    std::string tlsTrustFile;
    // Highest TLS version offered: 0x0303 (1.2) or 0x0304 (1.3); 0: the library's highest.
    int tlsMaxVersion = 0;
    // The certificates the user chose to always trust; null: none are stored, and "Always" trusts the
    // certificate for this session only.
    std::shared_ptr<TrustedCertificates> trustedCertificates;
};

class FtpSession {
  public:
    static constexpr int kPoolSize = 64;
    static constexpr int kControlBufferSize = 4096;
    static constexpr int kReplyLineSize = 256;
    // What a request gets for a command that was refused before sending (too long, or holding CR, LF or
    // NUL): a syntax error in the parameters, decided locally.
    static constexpr int kCommandRefused = 501;

    // Parses the URL text (already accepted by the Host page), creates the session and starts its worker.
    static std::shared_ptr<FtpSessionHandle> Start(std::string_view urlText, SessionViews views,
                                                   FtpSessionOptions options = {});
    static std::shared_ptr<FtpSessionHandle> Start(FtpUrl url, SessionViews views,
                                                   FtpSessionOptions options = {});
    // A session without a worker, for driving the connection and the handlers from the caller's own
    // thread (tests, tools) through Context(). Its handle works as usual but never reports an end.
    static std::unique_ptr<FtpSession> CreateWithoutWorker(FtpUrl url, SessionViews views,
                                                           FtpSessionOptions options = {});
    ~FtpSession();
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    // Any thread. Queues a request; the session then owns `object` (moved out). Returns false when all
    // 64 records are in use or the session is ending: nothing is queued and `object` is left untouched.
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value);
    bool Enqueue(FtpRequestKind kind, std::string_view text = {}, int value = 0);
    // User interface thread. Stops a running transfer with an urgent ABOR, discards the queued requests
    // and reports "Transfer terminated", "Queue flushed" or both.
    void Abort();
    // What the pages get from ResetForSession: it refuses once the session is gone.
    std::shared_ptr<FtpSessionHandle> Handle() const { return handle_; }

    // The handlers' view of the session. Only the worker and the owner of a session made by
    // CreateWithoutWorker hold an FtpSession; Start hands out the handle alone.
    FtpContext& Context() { return context_; }

  private:
    // ---- Reached by the request handlers through FtpContext (worker thread unless stated) ----
    const FtpUrl& Url() const { return url_; }
    const FtpSessionOptions& Options() const { return options_; }
    BufferedSocket& Control() { return control_; }
    StatusView& Status() { return views_.status; }
    LogView& Log() { return handlerLog_; }
    HostView& Host() { return views_.host; }
    RemoteView& Remote() { return views_.remote; }

    // Logs and sends one command line (urgent: preceded by Telnet IP and an urgent Telnet DM). Returns
    // false only when the command was refused and nothing was sent (longer than 510 characters, or
    // holding CR, LF or NUL): the caller must not wait for a reply then. A failed send is logged and
    // counts as sent; the ReadReply that follows fails with 421. Any thread (Abort sends ABOR).
    bool SendCommand(std::string_view command, bool urgent = false);
    // Reads one complete reply from the control connection; returns its code, or 421 (logged on the
    // traffic channel) when the connection fails, times out, or sends a line that is too long or short.
    int ReadReply(FtpReply* reply = nullptr);
    // SendCommand then ReadReply; kCommandRefused without reading when the command was refused.
    int Command(std::string_view command, FtpReply* reply = nullptr);
    // Gives a data socket the session's data time-out and makes Stop end its waits (WSAEINTR), and Abort
    // too unless `abortEnds` is false.
    void PrepareDataSocket(Socket& socket, bool abortEnds = true) const;

    int CurrentType() const { return currentType_; }
    void SetCurrentType(int index) { currentType_ = index; }
    bool Passive() const { return passive_; }
    void ClearPassive() { passive_ = false; }
    // Shared with Abort on the user interface thread.
    bool Transferring() const { return transferring_.load(); }
    void SetTransferring(bool on) { transferring_.store(on); }
    bool AbortRequested() const { return abortRequested_.load(); }
    void ClearAbortRequested() { abortRequested_.store(false); }
    bool AborSent() const { return aborSent_.load(); }
    bool StopRequested() const { return stopRequested_.load(); }

    // What the handlers log through: the log, remembering the last message, which names the reason
    // when a session cannot begin (a TLS refusal, say) where no reply does.
    class NotingLog final : public LogView {
      public:
        NotingLog(LogView& log, std::string& last) : log_(log), last_(last) {}
        void LogTraffic(std::string_view line) override { log_.LogTraffic(line); }
        void LogMessage(std::string_view line) override {
            last_.assign(line);
            log_.LogMessage(line);
        }

      private:
        LogView& log_;
        std::string& last_;
    };

    FtpSession(FtpUrl url, SessionViews views, FtpSessionOptions options);
    static void Run(std::unique_ptr<FtpSession> session);
    void SessionMain();
    void ServeRequests();
    // Reads and drops replies that arrived while no command was outstanding; false when the control
    // connection can no longer be queried.
    bool DiscardExtraneousReplies();
    FtpRequest* TakePending();
    // With queueLock_ held: the head of pending_; pending_ must not be empty.
    FtpRequest* PopPendingLocked();
    // With queueLock_ held: empties pending_, releasing each request's object; returns how many.
    int FlushPendingLocked();
    void ReturnRecord(FtpRequest* record);
    int Dispatch(FtpRequest& request);
    // Ends the session's queue: later Enqueue calls refuse and the waiting requests are released.
    void DiscardPending();
    // From the handle's Stop.
    void RequestStop();
    bool SendAborOnce();
    // ReadReply's work; `failed` tells a failure of the connection from a server's own 421.
    int ReadReplyNoting(FtpReply* reply, bool& failed);
    // With sendLock_ held: sends what is owed of an ABOR. Without `wait` (user-interface thread) only
    // what the connection takes at once; the rest stays owed. False on a send error.
    bool SendOwedAborLocked(bool wait);
    // Worker: sends an ABOR that Abort could not send in full before anything else is read or written.
    void SendOwedAbor();
    // Worker, between requests: an ABOR not begun belongs to the request that ended; a begun one is
    // finished so that the next command is not written into its middle.
    void SettleOwedAbor();

    FtpUrl url_;
    BufferedSocket control_;
    std::mutex sendLock_;
    std::mutex queueLock_;
    // One count per record in pending_; counts are given under queueLock_, so there are never more
    // counts than queued records (plus the single wake-up of Stop), which keeps it within its maximum.
    std::counting_semaphore<kPoolSize> queued_{0};
    std::array<FtpRequest*, kPoolSize> freeRecords_{};  // a stack: the head is freeRecords_[freeCount_ - 1]
    int freeCount_ = 0;
    std::array<FtpRequest*, kPoolSize> pending_{};  // a ring: first in, first out
    int pendingHead_ = 0;
    int pendingCount_ = 0;
    bool queueClosed_ = false;
    std::array<FtpRequest, kPoolSize> records_;
    int currentType_ = kAsciiType;
    bool passive_ = true;
    std::atomic<bool> transferring_{false};
    std::atomic<bool> abortRequested_{false};
    std::atomic<bool> aborSent_{false};
    std::atomic<bool> stopRequested_{false};
    // When the user's abort came (steady-clock milliseconds, 0: none): reads of the running request end
    // one control time-out after it, whatever the server keeps sending.
    std::atomic<std::int64_t> abortAtMs_{0};
    // Abort found sendLock_ taken: the worker sends the whole ABOR before its next read or command.
    std::atomic<bool> aborDeferred_{false};
    // Guarded by sendLock_: the pieces of an ABOR the connection did not take at once (urgent flag each).
    std::vector<std::pair<std::string, bool>> aborOwed_;
    SessionViews views_;
    // Worker: the last complete reply (code 421 after a failed read), the socket error that failed the
    // last read (0 after a reply), the last message a handler logged, and why the session ended when it
    // was neither the user's Logoff nor Stop.
    FtpReply lastReply_;
    int lastReadError_ = 0;
    std::string lastMessage_;
    std::string failureNote_;  // worker: see FtpContext::LogFailure
    NotingLog handlerLog_{views_.log, lastMessage_};
    std::string endReason_;
    FtpSessionOptions options_;
    // Set by the login before any request runs; read on the user-interface thread by Abort, which then
    // knows the control connection is TLS.
    std::shared_ptr<TlsContext> tls_;
    std::atomic<bool> usesTls_{false};
    std::string acceptedFingerprint_;
    std::shared_ptr<SocketInterrupt> stopSignal_;
    std::shared_ptr<SocketInterrupt> abortSignal_;
    std::shared_ptr<FtpSessionHandle> handle_;
    FtpContext context_{*this};

    friend class FtpContext;
    friend class FtpSessionHandle;
};
