#include "sftp/SftpContext.h"

#include <chrono>
#include <utility>

#include "engine/FailureText.h"

SftpContext::SftpContext(FtpUrl url, SessionViews views, SftpSessionOptions options)
    : url_(std::move(url)), views_(views), options_(std::move(options)) {}

void SftpContext::Attach(std::unique_ptr<SshConnection> connection, std::unique_ptr<SftpClient> client) {
    connection_ = std::move(connection);
    client_ = std::move(client);
}

void SftpContext::Close() {
    // The client's SFTP channel lives in the connection's session: it goes first.
    client_.reset();
    connection_.reset();
}

bool SftpContext::ConnectionLost() const {
    return connection_ == nullptr || connection_->Cancelled() || !connection_->IsOpen();
}

void SftpContext::ResetAbort() {
    if (!StopRequested()) {
        abort_.store(false, std::memory_order_release);
    }
}

void SftpContext::RequestStop() {
    stop_.store(true, std::memory_order_release);
    abort_.store(true, std::memory_order_release);
}

void SftpContext::LogFailure(std::string_view message, std::string_view words) {
    views_.log.LogMessage(message);
    failureNote_ = words.empty() ? FailureText::Message(message) : std::string(words);
}

std::string SftpContext::TakeFailure() {
    return std::exchange(failureNote_, {});
}

void SftpContext::ShowFailure(std::string_view what) {
    std::string why = TakeFailure();
    if (AbortRequested() || ConnectionLost() || why.empty()) {
        return;
    }
    views_.remote.ShowFailure(std::string(what) + ": " + why);
}

std::uint32_t SftpContext::Ticks() const {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
