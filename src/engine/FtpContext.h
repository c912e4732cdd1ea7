#pragma once
// What the request handlers (connect and login, data connections, transfers, directory commands) see of
// their session: the control connection, commands and replies, the views, the options and the flags.
// Only the worker's handlers get one; the pages reach a session through its FtpSessionHandle alone.
#include <memory>
#include <string>
#include <string_view>

#include "engine/FtpReply.h"

class BufferedSocket;
class FtpSession;
class HostView;
class LogView;
class RemoteView;
class Socket;
class StatusView;
class TlsContext;
struct FtpSessionOptions;
struct FtpUrl;

class FtpContext {
  public:
    FtpContext(const FtpContext&) = delete;
    FtpContext& operator=(const FtpContext&) = delete;

    const FtpUrl& Url() const;
    const FtpSessionOptions& Options() const;
    BufferedSocket& Control();
    StatusView& Status();
    LogView& Log();
    HostView& Host();
    RemoteView& Remote();

    // Logs and sends one command line (urgent: preceded by Telnet IP and an urgent Telnet DM). Returns
    // false only when the command was refused and nothing was sent (longer than 510 characters, or
    // holding CR, LF or NUL): the caller must not wait for a reply then. A failed send is logged and
    // counts as sent; the ReadReply that follows fails with 421.
    bool SendCommand(std::string_view command, bool urgent = false);
    // Reads one complete reply from the control connection; returns its code, or 421 (logged on the
    // traffic channel) when the connection fails, times out, or sends a line that is too long or short.
    int ReadReply(FtpReply* reply = nullptr);
    // SendCommand then ReadReply; kCommandRefused without reading when the command was refused.
    int Command(std::string_view command, FtpReply* reply = nullptr);
    // Why the last exchange on the control connection failed, in words: the server's last reply line, or
    // what broke the connection ("the connection was reset (WSAECONNRESET)").
    std::string LastReplyInWords() const;
    // A failure of the running request: `message` goes to the log, and `words` (by default the message
    // without its marker) is kept for the page until TakeFailure.
    void LogFailure(std::string_view message, std::string_view words = {});
    std::string TakeFailure();
    // Tells the Remote page why `what` failed ("Could not download a.txt"): the failure logged with
    // LogFailure, else the server's refusal when `result` is the last reply's code. Nothing when the
    // user's abort or the session's end reports it instead. Takes the logged failure either way.
    void ShowFailure(std::string_view what, int result);
    // The last complete reply (code 421 after a failed read).
    const FtpReply& LastReply() const;
    // The last message a handler logged, without its "... " marker.
    std::string LastMessageInWords() const;
    // Gives a data socket the session's data time-out and makes Stop end its waits (WSAEINTR), and Abort
    // too unless `abortEnds` is false.
    void PrepareDataSocket(Socket& socket, bool abortEnds = true) const;

    // The session's TLS configuration and newest session; null while the session is plain.
    const std::shared_ptr<TlsContext>& Tls() const;
    void SetTls(std::shared_ptr<TlsContext> tls);
    // The fingerprint of the control connection's certificate, accepted by the trust store or the user:
    // every data connection must show the same one.
    const std::string& AcceptedFingerprint() const;
    void SetAcceptedFingerprint(std::string fingerprint);

    int CurrentType() const;
    void SetCurrentType(int index);
    bool Passive() const;
    void ClearPassive();
    // Shared with Abort on the user interface thread.
    bool Transferring() const;
    void SetTransferring(bool on);
    bool AbortRequested() const;
    void ClearAbortRequested();
    bool AborSent() const;
    bool StopRequested() const;

  private:
    explicit FtpContext(FtpSession& session) : session_(session) {}

    FtpSession& session_;

    friend class FtpSession;
};
