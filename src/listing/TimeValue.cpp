#include "listing/TimeValue.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "listing/LocalTime.h"

namespace {

constexpr std::size_t kDigits = 14;
constexpr std::int64_t kSecondsPerDay = 86400;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int Number(std::string_view digits) {
    int value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

}  // namespace

std::optional<std::int64_t> TimeValue::Parse(std::string_view text) {
    if (text.size() < kDigits) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kDigits; ++i) {
        if (!IsDigit(text[i])) {
            return std::nullopt;
        }
    }
    if (text.size() > kDigits) {
        const std::string_view fraction = text.substr(kDigits);
        if (fraction.size() < 2 || fraction.front() != '.') {
            return std::nullopt;
        }
        for (const char c : fraction.substr(1)) {
            if (!IsDigit(c)) {
                return std::nullopt;
            }
        }
    }
    const int year = Number(text.substr(0, 4));
    const int month = Number(text.substr(4, 2));
    const int day = Number(text.substr(6, 2));
    const int hour = Number(text.substr(8, 2));
    const int minute = Number(text.substr(10, 2));
    const int second = Number(text.substr(12, 2));
    // A leap second (60) is read as the last second of its minute.
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 60) {
        return std::nullopt;
    }
    return DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 +
           (second == 60 ? 59 : second);
}

std::string TimeValue::Format(std::int64_t seconds) {
    constexpr std::int64_t kYear10000 = 253402300800;  // 10000-01-01T00:00:00Z
    if (seconds < 0 || seconds >= kYear10000) {
        return {};
    }
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm fields{};
    if (::gmtime_r(&time, &fields) == nullptr) {
        return {};
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}
