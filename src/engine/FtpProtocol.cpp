#include "engine/FtpProtocol.h"

#include <charconv>

#include "engine/BufferedSocket.h"

FtpProtocol::LineFault FtpProtocol::CheckCommandLine(std::string_view command) {
    if (command.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        return LineFault::Unsafe;
    }
    if (command.size() > BufferedSocket::kMaxLineText) {
        return LineFault::TooLong;
    }
    return LineFault::None;
}

std::optional<std::uint64_t> FtpProtocol::LeadingNumber(std::string_view text, std::uint64_t max) {
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;  // from_chars would also take a sign
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (error != std::errc() || value > max) {
        return std::nullopt;
    }
    return value;
}
