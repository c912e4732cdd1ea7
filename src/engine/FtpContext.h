#pragma once
// One session's connection state and what the request handlers (connect and login, data connections,
// transfers, directory commands) may do with it: the URL and options, the control connection with its
// commands and replies, the views, the transfer type, the passive flag, TLS and the abort. FtpSession
// owns one and keeps only the queue, the worker and the handle; the pages never see it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BufferedSocket.h"
#include "engine/FtpAbort.h"
#include "engine/FtpFeatures.h"
#include "engine/FtpReply.h"
#include "hosts/FtpUrl.h"
#include "views/SessionViews.h"

class SocketInterrupt;
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
    // TLS (ftpes://, ftps://): a PEM file of trusted certificates used instead of the system's trust
    // store (tests); empty: the system's store.
    std::string tlsTrustFile;
    // Highest TLS version offered: 0x0303 (1.2) or 0x0304 (1.3); 0: the library's highest.
    int tlsMaxVersion = 0;
    // The certificates the user chose to always trust; null: none are stored, and "Always" trusts the
    // certificate for this session only.
    std::shared_ptr<TrustedCertificates> trustedCertificates;
    // While no request runs, NOOP after this much quiet so that the server and the routers on the way
    // keep the session ("Keep the connection alive"); 0: never.
    int keepAliveIdleMs = 60000;
    // No more NOOPs once the user has asked for nothing this long: the server may end the session then.
    int keepAliveLimitMs = 30 * 60 * 1000;
    // After an upload the server's file gets the local file's time, with MFMT where the server offers it
    // ("Keep file times on upload").
    bool keepUploadTimes = true;
    // A queued file that failed for a passing reason (a cut connection, a busy server) is tried again
    // after each of these waits in turn, then given up.
    std::vector<int> retryDelaysMs = {1000, 5000, 15000};
};

class FtpContext {
  public:
    static constexpr int kControlBufferSize = 4096;
    static constexpr int kReplyLineSize = 256;
    // What a request gets for a command that was refused before sending (too long, or holding CR, LF or
    // NUL): a syntax error in the parameters, decided locally.
    static constexpr int kCommandRefused = 501;

    FtpContext(const FtpContext&) = delete;
    FtpContext& operator=(const FtpContext&) = delete;

    const FtpUrl& Url() const { return url_; }
    const FtpSessionOptions& Options() const { return options_; }
    BufferedSocket& Control() { return control_; }
    StatusView& Status() { return views_.status; }
    // Handlers log through this; it remembers the last message for the reasons shown to the user.
    LogView& Log() { return handlerLog_; }
    HostView& Host() { return views_.host; }
    RemoteView& Remote() { return views_.remote; }
    TransferView& Transfers() { return views_.transfers; }

    // Logs and sends one command line (urgent: preceded by Telnet IP and an urgent Telnet DM). Returns
    // false only when the command was refused and nothing was sent (longer than 510 characters, or
    // holding CR, LF or NUL): the caller must not wait for a reply then. A failed send is logged and
    // counts as sent; the ReadReply that follows fails with 421.
    bool SendCommand(std::string_view command, bool urgent = false);
    // Reads one complete reply from the control connection; returns its code, or 421 (logged on the
    // traffic channel) when the connection fails, times out, or sends a line that is too long or short.
    // After an ABOR the aborted transfer's 426 and a 225 are passed over for the reply that follows.
    int ReadReply(FtpReply* reply = nullptr);
    // SendCommand then ReadReply; kCommandRefused without reading when the command was refused.
    int Command(std::string_view command, FtpReply* reply = nullptr);
    // The final reply of a transfer command whose preliminary reply was read: further 1xx replies are
    // passed over, and after an ABOR every reply the server owes for the transfer and the ABOR is taken
    // (in either order, within the abort's grace), so none is left to answer the next command.
    int ReadFinalReply();
    // Waits, at most the control time-out, until a reply starts to arrive; false when the server stayed
    // silent (the connection stays usable: a reply that comes later is discarded as stray).
    bool AwaitReply();
    // True when the last ReadReply failed on the connection rather than reading a server's reply.
    bool ConnectionFailed() const { return lastReadError_ != 0; }
    // Gives a data socket the session's data time-out and makes Stop end its waits (WSAEINTR), and Abort
    // too unless `abortEnds` is false.
    void PrepareDataSocket(Socket& socket, bool abortEnds = true) const;

    // Why the last exchange on the control connection failed, in words: the server's last reply line, or
    // what broke the connection ("the connection was reset (WSAECONNRESET)").
    std::string LastReplyInWords() const;
    // The last complete reply (code 421 after a failed read).
    const FtpReply& LastReply() const { return lastReply_; }
    // The last message a handler logged, without its "... " marker.
    std::string LastMessageInWords() const;
    // A failure of the running request: `message` goes to the log, and `words` (by default the message
    // without its marker) is kept for the page until TakeFailure.
    void LogFailure(std::string_view message, std::string_view words = {});
    // Keeps `words` as the running request's failure without logging anything more.
    void NoteFailure(std::string words) { failureNote_ = std::move(words); }
    std::string TakeFailure();
    // Tells the Remote page why `what` failed ("Could not download a.txt"): the failure logged with
    // LogFailure, else the server's refusal when `result` is the last reply's code. Nothing when the
    // user's abort or the session's end reports it instead. Takes the logged failure either way.
    void ShowFailure(std::string_view what, int result);

    // The session's TLS configuration and newest session; null while the session is plain.
    const std::shared_ptr<TlsContext>& Tls() const { return tls_; }
    void SetTls(std::shared_ptr<TlsContext> tls);
    // The fingerprint of the control connection's certificate, accepted by the trust store or the user:
    // every data connection must show the same one.
    const std::string& AcceptedFingerprint() const { return acceptedFingerprint_; }
    void SetAcceptedFingerprint(std::string fingerprint) { acceptedFingerprint_ = std::move(fingerprint); }

    // What the server offered in its answer to FEAT after the login; none until then.
    const FtpFeatures& Features() const { return features_; }
    FtpFeatures& Features() { return features_; }

    // The server's current folder as the last CWD or PWD established it; empty when unknown (a new
    // connection, a CWD whose PWD failed).
    const std::string& CurrentFolder() const { return currentFolder_; }
    void SetCurrentFolder(std::string folder) { currentFolder_ = std::move(folder); }
    // A new control connection: the server's transfer type, folder and features are those of a fresh
    // login again.
    void ForgetConnectionState();
    // Closes the control connection (an ABOR may be being written from the user-interface thread).
    void CloseControl();

    int CurrentType() const { return currentType_; }
    void SetCurrentType(int index) { currentType_ = index; }
    bool Passive() const { return passive_; }
    void ClearPassive() { passive_ = false; }
    // The user's abort, shared with the user-interface thread.
    FtpAbort& Abort() { return abort_; }
    const FtpAbort& Abort() const { return abort_; }
    bool AbortRequested() const { return abort_.Requested(); }
    bool StopRequested() const { return stopRequested_; }
    // The millisecond tick count transfers are timed with (32 bits, wrapping).
    std::uint32_t Ticks() const;

  private:
    friend class FtpSession;
    friend class FtpSessionTesting;
    FtpContext(FtpUrl url, SessionViews views, FtpSessionOptions options);

    // What the handlers log through: the log, remembering the last message, which names the reason when
    // a session cannot begin (a TLS refusal, say) where no reply does.
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

    // The grace an abort gives the reads of the request it stopped.
    int AbortGraceMs() const;
    // Reads and drops the rest of a reply line that did not fit; false (WSAEMSGSIZE) when it runs on past
    // a megabyte, or the connection fails.
    bool SkipRestOfLine();
    // True when a reply is waiting, or starts to arrive within `waitMs` (and the abort's grace).
    bool ReplyArrivesWithin(int waitMs);

    const FtpUrl url_;
    const FtpSessionOptions options_;
    const SessionViews views_;
    BufferedSocket control_;
    // Over every write on the control connection: the user-interface thread writes an ABOR.
    std::mutex sendLock_;
    int currentType_;
    bool passive_;
    std::string currentFolder_;
    FtpFeatures features_;
    std::shared_ptr<TlsContext> tls_;
    // Read on the user-interface thread by the abort, which then knows ABOR goes in-band.
    std::atomic<bool> usesTls_{false};
    std::string acceptedFingerprint_;
    std::atomic<bool> stopRequested_{false};
    const std::shared_ptr<SocketInterrupt> stopSignal_;
    // Worker: the last complete reply (code 421 after a failed read), the socket error that failed the
    // last read (0 after a reply), the last message a handler logged and the running request's failure.
    FtpReply lastReply_;
    int lastReadError_ = 0;
    std::string lastMessage_;
    std::string failureNote_;
    NotingLog handlerLog_{views_.log, lastMessage_};
    // Empty: the steady clock. Tests set it (FtpSessionTesting) to make the statistics exact.
    std::function<std::uint32_t()> tickSource_;
    FtpAbort abort_{control_, sendLock_, views_.log, usesTls_};
};
