#include "engine/TransferStatistics.h"

#include <charconv>
#include <chrono>

#include "engine/FtpSession.h"
#include "listing/RemoteEntry.h"

std::uint32_t TransferStatistics::Ticks(const std::function<std::uint32_t()>& source) {
    if (source) {
        return source();
    }
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string TransferStatistics::General(double value) {
    // to_chars is defined as printf in the "C" locale, unlike snprintf under the locale Qt installs.
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    return std::string(text, result.ptr);
}

std::string TransferStatistics::Message(std::string_view direction, std::int64_t bytes,
                                        std::uint32_t elapsedMs) {
    std::string message = "... ";
    message.append(direction);
    message += ' ';
    message += std::to_string(bytes);
    message += " bytes in ";
    message += General(elapsedMs * 0.001);
    message += " seconds";
    if (elapsedMs != 0) {
        message += " (";
        message += General(static_cast<double>(bytes) / elapsedMs);
        message += " KB/s)";
    }
    return message;
}

int TransferStatistics::Percent(std::uint64_t bytes, std::uint64_t expected) {
    if (bytes >= expected) {
        return bytes == 0 ? 0 : 100;
    }
    // 128 bits: bytes * 100 cannot overflow whatever the file size.
    const auto scaled = static_cast<unsigned __int128>(bytes) * 100u / expected;
    return static_cast<int>(scaled);
}

std::uint64_t TransferStatistics::ExpectedSize(const RemoteEntry& entry) {
    const std::string& text = entry.SizeText();
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool whole = !text.empty() && error == std::errc() && end == text.data() + text.size();
    if (whole && static_cast<std::uint32_t>(value) == static_cast<std::uint32_t>(entry.Size())) {
        return value;
    }
    return entry.Size() > 0 ? static_cast<std::uint64_t>(entry.Size()) : 0;
}

std::string TransferStatistics::Grouped(std::int64_t value) {
    const std::string digits = std::to_string(value < 0 ? -value : value);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += ',';
        }
        grouped += digits[i];
    }
    return value < 0 ? "-" + grouped : grouped;
}
