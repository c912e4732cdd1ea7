#include "engine/FailureText.h"

#include <cstring>

#include "engine/PrintableText.h"
#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace FailureText {

std::string SocketError(int winsockCode) {
    const char* words = nullptr;
    switch (winsockCode) {
        case wsa::kConnectionRefused:
            words = "connection refused";
            break;
        case wsa::kTimedOut:
            words = "no answer in time";
            break;
        case wsa::kConnectionReset:
        case wsa::kConnectionAborted:
            words = "the connection was reset";
            break;
        case wsa::kHostNotFound:
        case wsa::kNoData:
            words = "no such host";
            break;
        case wsa::kTryAgain:
        case wsa::kNoRecovery:
            words = "the host name could not be looked up";
            break;
        case wsa::kNotConnected:
            words = "the connection was closed";
            break;
        case wsa::kInterrupted:
            words = "stopped";
            break;
        default:
            break;
    }
    const std::string name = WinsockErrorName(winsockCode);
    return words == nullptr ? name : std::string(words) + " (" + name + ")";
}

std::string ReplyLine(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    return Printable(line);
}

std::string Message(std::string_view message) {
    while (!message.empty() && (message.front() == ' ' || message.front() == '.')) {
        message.remove_prefix(1);
    }
    return std::string(message);
}

namespace {

[[maybe_unused]] const char* ReasonText(int rc, const char* buffer) {
    return rc == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ReasonText(const char* text, const char* /*buffer*/) {
    return text;
}

}  // namespace

// strerror_r comes in two flavours; the overloads above take either.
std::string SystemError(int error) {
    char buffer[256] = {};
    return ReasonText(strerror_r(error, buffer, sizeof buffer), buffer);
}

}  // namespace FailureText
