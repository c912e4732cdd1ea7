#include "listing/LocalTime.h"

#include <chrono>
#include <climits>
#include <cstdlib>

namespace {

constexpr std::int64_t kDay = 86400;
// More than any jump of a UTC offset (Samoa skipped a whole day): a second local match would lie within
// this distance, so an offset unchanged this far either side shows the match is the only one (given
// that a zone never changes its offset twice within two days).
constexpr std::int64_t kProbe = 2 * kDay;
// localtime_r keeps the zone rules it read first; re-read them now and then so a changed zone shows.
constexpr auto kZoneRefresh = std::chrono::seconds(1);

// Local wall-clock time read as if it were UTC: linear in every field, as mktime treats them.
std::int64_t WallSeconds(std::int64_t year, int month, std::int64_t day, std::int64_t hour,
                         std::int64_t minute) {
    return (DaysFromCivil(year, month, 1) + day - 1) * kDay + hour * 3600 + minute * 60;
}

// The UTC offset in force at `time`.
bool OffsetAt(std::int64_t time, std::int64_t& offset) {
    std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return false;
    }
    offset =
        WallSeconds(local.tm_year + 1900LL, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min) +
        local.tm_sec - time;
    return true;
}

void RefreshZoneRulesNowAndThen() {
    thread_local std::chrono::steady_clock::time_point lastRefresh;
    thread_local bool refreshed = false;
    auto now = std::chrono::steady_clock::now();
    if (!refreshed || now - lastRefresh >= kZoneRefresh) {
        tzset();
        lastRefresh = now;
        refreshed = true;
    }
}

std::int32_t ClampToTime(std::int64_t time) {
    return time < 0 || time > INT32_MAX ? -1 : static_cast<std::int32_t>(time);
}

std::int32_t ViaMktime(std::int64_t year, int month, std::int64_t day, std::int64_t hour,
                       std::int64_t minute) {
    if (year - 1900 < INT_MIN || year - 1900 > INT_MAX || day < INT_MIN || day > INT_MAX || hour < INT_MIN ||
        hour > INT_MAX || minute < INT_MIN || minute > INT_MAX) {
        return -1;
    }
    std::tm fields{};
    fields.tm_year = static_cast<int>(year - 1900);
    fields.tm_mon = month - 1;
    fields.tm_mday = static_cast<int>(day);
    fields.tm_hour = static_cast<int>(hour);
    fields.tm_min = static_cast<int>(minute);
    fields.tm_sec = 0;
    fields.tm_isdst = -1;
    return ClampToTime(std::mktime(&fields));
}

}  // namespace

std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::optional<std::int64_t> TimeFromLocalQuick(std::int64_t year, int month, std::int64_t day,
                                               std::int64_t hour, std::int64_t minute) {
    thread_local std::int64_t lastOffset = 0;
    const std::int64_t wall = WallSeconds(year, month, day, hour, minute);
    std::int64_t offset = 0;
    std::int64_t time = wall - lastOffset;
    if (!OffsetAt(time, offset)) {
        return std::nullopt;
    }
    if (offset != lastOffset) {
        time = wall - offset;
        std::int64_t check = 0;
        if (!OffsetAt(time, check) || check != offset) {
            return std::nullopt;
        }
    }
    std::int64_t before = 0;
    std::int64_t after = 0;
    if (!OffsetAt(time - kProbe, before) || before != offset || !OffsetAt(time + kProbe, after) ||
        after != offset) {
        return std::nullopt;
    }
    lastOffset = offset;
    return time;
}

std::int32_t TimeFromLocal(std::int64_t year, int month, std::int64_t day, std::int64_t hour,
                           std::int64_t minute) {
    // Far outside 1970 to 2038 every match is too, since no offset exceeds a day.
    const std::int64_t wall = WallSeconds(year, month, day, hour, minute);
    if (wall < -kProbe || wall > INT32_MAX + kProbe) {
        return -1;
    }
    // With TZ set, mktime's re-reading of the zone is a string compare and mktime is the fastest way.
    if (std::getenv("TZ") != nullptr) {
        return ViaMktime(year, month, day, hour, minute);
    }
    RefreshZoneRulesNowAndThen();
    if (std::optional<std::int64_t> time = TimeFromLocalQuick(year, month, day, hour, minute)) {
        return ClampToTime(*time);
    }
    return ViaMktime(year, month, day, hour, minute);
}

int LocalYear(std::time_t time) {
    std::tm fields{};
    if (localtime_r(&time, &fields) == nullptr) {
        return 1970;
    }
    return fields.tm_year + 1900;
}
