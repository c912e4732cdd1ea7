#include "engine/FtpContext.h"

#include <algorithm>
#include <utility>

#include "engine/FailureText.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpRequest.h"
#include "engine/TransferStatistics.h"
#include "platform/SocketError.h"
#include "platform/SocketInterrupt.h"
#include "platform/WinsockErrorName.h"

namespace {

// How long the reads of an aborted request may go on when the control connection has no time-out.
constexpr int kAbortGraceWithoutTimeoutMs = 60000;
// After an ABOR, how long a second reply is waited for once the first final one was not the aborted
// transfer's 426 (after which the ABOR's own answer must still come): a server that owes one more sends
// it at once, and one that answers with a single reply costs no more than this.
constexpr int kSecondAbortReplyWaitMs = 1000;
// The longest reply text line passed over before the connection is given up as sending nothing sane.
constexpr std::int64_t kMaxReplyLineSkipped = 1 << 20;

// The traffic copy of a command: a password is shown as one '*' per character.
std::string TrafficCopy(std::string_view command) {
    std::string logged = "<";
    if (command.find("PASS ") != std::string_view::npos) {
        logged.append(command.substr(0, 5));
        logged.append(command.size() - 5, '*');
    } else {
        logged.append(command);
    }
    return logged;
}

// The reply code's value; 0 when it does not start with a digit.
int LeadingNumber(std::string_view code) {
    return static_cast<int>(FtpProtocol::LeadingNumber(code, 999).value_or(0));
}

bool IsPreliminary(int code) {
    return code >= 100 && code < 200;
}

// The abort's own replies: the aborted transfer's 426 and "225 no transfer to abort".
bool IsAbortAnswer(int code) {
    return code == 426 || code == 225;
}

}  // namespace

FtpContext::FtpContext(FtpUrl url, SessionViews views, FtpSessionOptions options)
    : url_(std::move(url)),
      options_(std::move(options)),
      views_(views),
      currentType_(kAsciiType),
      passive_(options_.passive),
      stopSignal_(std::make_shared<SocketInterrupt>()) {
    control_.SetTimeout(options_.controlTimeoutMs);
    // The control connection ends only with Stop; Abort must not break the reply that follows an ABOR.
    control_.SetInterrupts(stopSignal_);
}

std::uint32_t FtpContext::Ticks() const {
    return TransferStatistics::Ticks(tickSource_);
}

int FtpContext::AbortGraceMs() const {
    return options_.controlTimeoutMs > 0 ? options_.controlTimeoutMs : kAbortGraceWithoutTimeoutMs;
}

void FtpContext::ForgetConnectionState() {
    currentType_ = kAsciiType;
    currentFolder_.clear();
    features_ = FtpFeatures();
    lastReadError_ = 0;
}

void FtpContext::CloseControl() {
    std::lock_guard lock(sendLock_);
    control_.Close();
}

void FtpContext::SetTls(std::shared_ptr<TlsContext> tls) {
    usesTls_ = tls != nullptr;
    tls_ = std::move(tls);
}

bool FtpContext::SendCommand(std::string_view command, bool urgent) {
    // A line that does not fit, or that would end early and smuggle a second command, is never sent.
    switch (FtpProtocol::CheckCommandLine(command)) {
        case FtpProtocol::LineFault::Unsafe:
            LogFailure("... command not sent: it holds a CR, LF or NUL character");
            return false;
        case FtpProtocol::LineFault::TooLong:
            LogFailure("... command not sent: it is longer than 510 characters");
            return false;
        case FtpProtocol::LineFault::None:
            break;
    }
    abort_.SendOwed();
    views_.log.LogTraffic(TrafficCopy(command));
    int sent = 0;
    {
        std::lock_guard lock(sendLock_);
        if (urgent && !usesTls_) {
            static constexpr char kTelnetIp[] = {'\xff', '\xf4'};
            static constexpr char kTelnetDm[] = {'\xff', '\xf2'};
            (void)control_.SendAll(kTelnetIp, sizeof kTelnetIp);
            (void)control_.SendAll(kTelnetDm, sizeof kTelnetDm, true);
        }
        sent = control_.SendLine(command);
    }
    if (sent < 0) {
        views_.log.LogMessage("... [CONTROL] Send failed, WinSock err = " + WinsockErrorName());
    }
    return true;
}

int FtpContext::ReadReply(FtpReply* reply) {
    abort_.SendOwed();
    std::string code = "421";
    std::string line;
    const bool keepLines = reply != nullptr && reply->keepLines;
    if (keepLines) {
        reply->lines.clear();
        reply->linesCut = false;
    }
    bool firstLine = true;
    bool multiLine = false;
    std::string key;
    bool complete = false;
    while (!complete) {
        // After an abort the reply gets one grace period to end, or a server that never ends it (or
        // keeps it trickling) would hold the worker for good.
        int length = -1;
        bool pastGrace = false;
        if (const auto left = abort_.GraceLeftMs()) {
            if (*left > 0) {
                control_.SetTimeout(static_cast<int>(std::min<std::int64_t>(
                    *left, options_.controlTimeoutMs > 0 ? options_.controlTimeoutMs : *left)));
                length = control_.ReadLine(line, kReplyLineSize);
                control_.SetTimeout(options_.controlTimeoutMs);
            }
            pastGrace = abort_.GraceLeftMs().value_or(1) == 0;
        } else {
            length = control_.ReadLine(line, kReplyLineSize);
        }
        if (pastGrace && (length < 4 || line.compare(0, 4, key) != 0)) {
            length = -1;
            SetLastSocketError(wsa::kInterrupted);
        }
        if (length >= 4) {
            if (firstLine) {
                code = line.substr(0, 3);
                key = code + ' ';
                multiLine = line[3] == '-';
                firstLine = false;
            }
            views_.log.LogTraffic(">" + line);
            complete = line.compare(0, 4, key) == 0;
            if (keepLines) {
                if (reply->lines.size() < FtpReply::kMaxKeptLines) {
                    reply->lines.push_back(line);
                } else {
                    reply->linesCut = true;
                }
            }
        } else if (length < 0 && multiLine && LastSocketError() == wsa::kMessageTooLong && SkipRestOfLine()) {
            // Inside a reply, a text line too long to keep is passed over to its end: the reply's last
            // line still ends it.
        } else if (length < 0 || !multiLine) {
            if (length >= 0) {
                // A line too short to be a reply carries no socket error; name it rather than show a
                // stale one.
                SetLastSocketError(wsa::kInvalidArgument);
            }
            views_.log.LogTraffic("... [CONTROL] Receive failed, WinSock err = " + WinsockErrorName());
            lastReadError_ = LastSocketError();
            lastReply_ = FtpReply{};  // code 421, no line
            if (reply != nullptr) {
                reply->code = FtpProtocol::kLostConnection;
                reply->codeText = "421";
            }
            return FtpProtocol::kLostConnection;
        }
        // A short line inside a multi-line reply is skipped unlogged.
    }
    const int value = LeadingNumber(code);
    lastReadError_ = 0;
    lastReply_.code = value;
    lastReply_.codeText = code;
    lastReply_.lastLine = line;
    if (reply != nullptr) {
        reply->code = value;
        reply->codeText = code;
        reply->lastLine = line;
    }
    return value;
}

int FtpContext::Command(std::string_view command, FtpReply* reply) {
    if (!SendCommand(command)) {
        if (reply != nullptr) {
            reply->code = kCommandRefused;
            reply->codeText = "501";
        }
        return kCommandRefused;
    }
    return ReadReply(reply);
}

int FtpContext::ReadFinalReply() {
    // Several preliminary replies may come before the final one (125, then 150).
    const auto readFinal = [this] {
        int code = ReadReply();
        while (IsPreliminary(code)) {
            code = ReadReply();
        }
        return code;
    };
    int code = readFinal();
    if (!abort_.AborBegun() || ConnectionFailed()) {
        return code;
    }
    // After ABOR the server owes one reply for the transfer and one for the ABOR, in either order: 426
    // then 226, 226 then 225, 225 then 226. The request's answer is the first that is not the abort's own
    // (or the last), and the other is taken too, so it cannot answer the next command.
    int answer = code;
    bool answered = !IsAbortAnswer(code);
    for (int taken = 1; taken < 2; ++taken) {
        if (code != 426 && !ReplyArrivesWithin(kSecondAbortReplyWaitMs)) {
            break;
        }
        code = readFinal();
        if (ConnectionFailed()) {
            return code;
        }
        if (!answered) {
            answer = code;
            answered = !IsAbortAnswer(code);
        }
    }
    return answer;
}

bool FtpContext::SkipRestOfLine() {
    std::string piece;
    std::int64_t skipped = kReplyLineSize;
    for (;;) {
        if (control_.ReadLine(piece, kReplyLineSize) >= 0) {
            break;
        }
        if (LastSocketError() != wsa::kMessageTooLong) {
            return false;
        }
        skipped += kReplyLineSize;
        if (skipped > kMaxReplyLineSkipped) {
            return false;  // a line without end: the connection is of no more use
        }
    }
    views_.log.LogTraffic("... [CONTROL] over-long reply line passed over");
    return true;
}

bool FtpContext::AwaitReply() {
    if (options_.controlTimeoutMs <= 0) {
        return true;  // no bound: the read that follows waits as long as it takes
    }
    return ReplyArrivesWithin(options_.controlTimeoutMs);
}

bool FtpContext::ReplyArrivesWithin(int waitMs) {
    if (control_.Buffered() > 0) {
        return true;
    }
    const auto left = abort_.GraceLeftMs();
    const int wait = static_cast<int>(std::min<std::int64_t>(waitMs, left.value_or(waitMs)));
    if (wait <= 0) {
        return false;
    }
    control_.SetTimeout(wait);
    const bool ready = control_.WaitReadable();
    control_.SetTimeout(options_.controlTimeoutMs);
    return ready;
}

void FtpContext::PrepareDataSocket(Socket& socket, bool abortEnds) const {
    socket.SetTimeout(options_.dataTimeoutMs);
    socket.SetInterrupts(stopSignal_, abortEnds ? abort_.Signal() : nullptr);
}

std::string FtpContext::LastReplyInWords() const {
    if (lastReadError_ != 0) {
        return FailureText::SocketError(lastReadError_);
    }
    return FailureText::ReplyLine(lastReply_.lastLine);
}

std::string FtpContext::LastMessageInWords() const {
    return FailureText::Message(lastMessage_);
}

void FtpContext::LogFailure(std::string_view message, std::string_view words) {
    handlerLog_.LogMessage(message);
    failureNote_ = words.empty() ? FailureText::Message(message) : std::string(words);
}

std::string FtpContext::TakeFailure() {
    return std::exchange(failureNote_, {});
}

void FtpContext::ShowFailure(std::string_view what, int result) {
    std::string why = TakeFailure();
    if (AbortRequested() || result == FtpProtocol::kLostConnection) {
        return;
    }
    if (why.empty()) {
        if (result < 400 || lastReply_.code != result) {
            return;
        }
        why = LastReplyInWords();
    }
    views_.remote.ShowFailure(std::string(what) + ": " + why);
}
