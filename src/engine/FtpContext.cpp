#include "engine/FtpContext.h"

#include "engine/FailureText.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpSession.h"

#include <utility>

const FtpUrl& FtpContext::Url() const {
    return session_.Url();
}
const FtpSessionOptions& FtpContext::Options() const {
    return session_.Options();
}
BufferedSocket& FtpContext::Control() {
    return session_.Control();
}
StatusView& FtpContext::Status() {
    return session_.Status();
}
LogView& FtpContext::Log() {
    return session_.Log();
}
HostView& FtpContext::Host() {
    return session_.Host();
}
RemoteView& FtpContext::Remote() {
    return session_.Remote();
}
const std::shared_ptr<TlsContext>& FtpContext::Tls() const {
    return session_.tls_;
}
void FtpContext::SetTls(std::shared_ptr<TlsContext> tls) {
    session_.usesTls_ = tls != nullptr;
    session_.tls_ = std::move(tls);
}
const std::string& FtpContext::AcceptedFingerprint() const {
    return session_.acceptedFingerprint_;
}
void FtpContext::SetAcceptedFingerprint(std::string fingerprint) {
    session_.acceptedFingerprint_ = std::move(fingerprint);
}
bool FtpContext::SendCommand(std::string_view command, bool urgent) {
    return session_.SendCommand(command, urgent);
}
int FtpContext::ReadReply(FtpReply* reply) {
    return session_.ReadReply(reply);
}
int FtpContext::Command(std::string_view command, FtpReply* reply) {
    return session_.Command(command, reply);
}
void FtpContext::PrepareDataSocket(Socket& socket, bool abortEnds) const {
    session_.PrepareDataSocket(socket, abortEnds);
}
int FtpContext::CurrentType() const {
    return session_.CurrentType();
}
void FtpContext::SetCurrentType(int index) {
    session_.SetCurrentType(index);
}
bool FtpContext::Passive() const {
    return session_.Passive();
}
void FtpContext::ClearPassive() {
    session_.ClearPassive();
}
bool FtpContext::Transferring() const {
    return session_.Transferring();
}
void FtpContext::SetTransferring(bool on) {
    session_.SetTransferring(on);
}
bool FtpContext::AbortRequested() const {
    return session_.AbortRequested();
}
void FtpContext::ClearAbortRequested() {
    session_.ClearAbortRequested();
}
bool FtpContext::AborSent() const {
    return session_.AborSent();
}
bool FtpContext::StopRequested() const {
    return session_.StopRequested();
}

std::string FtpContext::LastReplyInWords() const {
    if (session_.lastReadError_ != 0) {
        return FailureText::SocketError(session_.lastReadError_);
    }
    return FailureText::ReplyLine(session_.lastReply_.lastLine);
}
std::string FtpContext::LastMessageInWords() const {
    return FailureText::Message(session_.lastMessage_);
}
const FtpReply& FtpContext::LastReply() const {
    return session_.lastReply_;
}
void FtpContext::LogFailure(std::string_view message, std::string_view words) {
    session_.Log().LogMessage(message);
    session_.failureNote_ = words.empty() ? FailureText::Message(message) : std::string(words);
}
std::string FtpContext::TakeFailure() {
    return std::exchange(session_.failureNote_, {});
}
void FtpContext::ShowFailure(std::string_view what, int result) {
    std::string why = TakeFailure();
    if (session_.AbortRequested() || result == FtpProtocol::kLostConnection) {
        return;
    }
    if (why.empty()) {
        if (result < 400 || session_.lastReply_.code != result) {
            return;
        }
        why = LastReplyInWords();
    }
    session_.Remote().ShowFailure(std::string(what) + ": " + why);
}
