#include "engine/FtpAbort.h"

#include <chrono>

#include "engine/BufferedSocket.h"
#include "platform/SocketInterrupt.h"
#include "platform/WinsockErrorName.h"
#include "views/LogView.h"

namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

FtpAbort::FtpAbort(BufferedSocket& control, std::mutex& sendLock, LogView& log,
                   const std::atomic<bool>& usesTls)
    : control_(control),
      sendLock_(sendLock),
      log_(log),
      usesTls_(usesTls),
      signal_(std::make_shared<SocketInterrupt>()) {}

std::vector<std::pair<std::string, bool>> FtpAbort::Pieces() const {
    // ABOR as RFC 959 asks: Telnet IP as normal data, Telnet DM as urgent data, then the command. Inside
    // TLS there is no urgent data (and Telnet bytes would only confuse a TLS server's command reader), so
    // ABOR goes in-band alone; a server reads it between the blocks it sends.
    if (usesTls_) {
        return {{std::string("ABOR\r\n"), false}};
    }
    return {
        {std::string("\xff\xf4"), false}, {std::string("\xff\xf2"), true}, {std::string("ABOR\r\n"), false}};
}

bool FtpAbort::Request(int graceMs) {
    std::int64_t none = 0;
    graceEndsMs_.compare_exchange_strong(none, NowMs() + graceMs);
    requested_ = true;
    signal_->Trigger();  // ends an active-mode accept and a transfer's data waits at once
    return SendAbor();
}

bool FtpAbort::SendAbor() {
    // Owed is set before anything leaves, so the reply reader already takes a fast 426 as the abort's.
    Abor expected = Abor::None;
    if (!transferring_ || !abor_.compare_exchange_strong(expected, Abor::Owed)) {
        return false;
    }
    log_.LogTraffic("<ABOR");
    // The user-interface thread never waits on the connection: when the worker is writing, or the server
    // has stopped reading, the worker sends the ABOR (or its rest) itself.
    bool failed = false;
    {
        std::unique_lock lock(sendLock_, std::try_to_lock);
        if (lock.owns_lock() && owed_.empty()) {
            owed_ = Pieces();
            failed = !SendPiecesLocked(false);
        }
    }
    if (failed) {
        log_.LogMessage("... [CONTROL] Send failed, WinSock err = " + WinsockErrorName());
    }
    return true;
}

bool FtpAbort::SendPiecesLocked(bool wait) {
    while (!owed_.empty()) {
        auto& [bytes, urgent] = owed_.front();
        if (wait) {
            if (control_.SendAll(bytes.data(), bytes.size(), urgent) < 0) {
                owed_.clear();
                abor_ = Abor::Sent;
                return false;
            }
            bytes.clear();
        } else {
            const long sent = control_.SendWithoutWaiting(bytes.data(), bytes.size(), urgent);
            if (sent < 0) {
                owed_.clear();
                abor_ = Abor::Sent;
                return false;
            }
            bytes.erase(0, static_cast<std::size_t>(sent));
            if (!bytes.empty()) {
                return true;  // still owed: the worker finishes it
            }
        }
        owed_.erase(owed_.begin());
    }
    abor_ = Abor::Sent;
    return true;
}

void FtpAbort::SendOwed() {
    if (abor_ != Abor::Owed) {
        return;
    }
    bool failed = false;
    {
        std::lock_guard lock(sendLock_);
        if (abor_ == Abor::Owed) {
            if (owed_.empty()) {
                owed_ = Pieces();
            }
            failed = !SendPiecesLocked(true);
        }
    }
    if (failed) {
        log_.LogMessage("... [CONTROL] Send failed, WinSock err = " + WinsockErrorName());
    }
}

void FtpAbort::Settle() {
    if (abor_ != Abor::Owed) {
        return;
    }
    {
        std::lock_guard lock(sendLock_);
        if (owed_.empty()) {
            abor_ = Abor::None;  // nothing of it left: the request it was for has ended
            return;
        }
    }
    SendOwed();
}

void FtpAbort::Reset() {
    requested_ = false;
    graceEndsMs_ = 0;
    // An ABOR that raced the end of the previous request must not make the reader skip the answer the
    // next request gets.
    abor_ = Abor::None;
    signal_->Reset();
}

std::optional<std::int64_t> FtpAbort::GraceLeftMs() const {
    const std::int64_t ends = graceEndsMs_;
    if (ends == 0) {
        return std::nullopt;
    }
    const std::int64_t left = ends - NowMs();
    return left > 0 ? left : 0;
}
