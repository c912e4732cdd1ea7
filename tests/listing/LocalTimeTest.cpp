// The listing's local-time conversion must give exactly what mktime gives: checked over random and
// out-of-range fields in zones with daylight saving, half-hour saving and a skipped day, and at the
// skipped and repeated hours where only mktime decides.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "listing/LocalTime.h"
#include "listing/LocalZone.h"

namespace {

std::int64_t Mktime(std::int64_t year, int month, int day, int hour, int minute) {
    std::tm fields{};
    fields.tm_year = static_cast<int>(year - 1900);
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_isdst = -1;
    return std::mktime(&fields);
}

std::int32_t Clamped(std::int64_t time) {
    return time < 0 || time > INT32_MAX ? -1 : static_cast<std::int32_t>(time);
}

TEST(LocalTimeTest, QuickConversionMatchesMktime) {
    for (const char* zone : {"America/New_York", "Europe/Berlin", "Australia/Lord_Howe", "Pacific/Apia",
                             "America/Sao_Paulo", "Asia/Kolkata", "Europe/Moscow", "UTC"}) {
        LocalZone local(zone);
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> year(1968, 2039), month(1, 12), day(-3, 34), hour(-2, 26),
            minute(-5, 64);
        int quick = 0;
        const int total = 20000;
        for (int i = 0; i < total; ++i) {
            int y = year(random), mo = month(random), d = day(random), h = hour(random), mi = minute(random);
            std::optional<std::int64_t> time = TimeFromLocalQuick(y, mo, d, h, mi);
            if (time) {
                ++quick;
                ASSERT_EQ(*time, Mktime(y, mo, d, h, mi))
                    << zone << " " << y << "-" << mo << "-" << d << " " << h << ":" << mi;
            }
        }
        // Only times near a zone transition are left to mktime.
        EXPECT_GT(quick, total * 9 / 10) << zone;
    }
}

// The skipped hour of a spring morning and the repeated hour of an autumn night have no single answer:
// they go to mktime, whose choice the listing keeps.
TEST(LocalTimeTest, TransitionsAreLeftToMktime) {
    LocalZone local("America/New_York");
    struct {
        const char* name;
        int year, month, day, hour, minute;
    } rows[] = {
        {"skipped hour", 2025, 3, 9, 2, 30},
        {"repeated hour", 2024, 11, 3, 1, 30},
        {"skipped hour by normalisation", 2025, 3, 8, 26, 30},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(TimeFromLocalQuick(row.year, row.month, row.day, row.hour, row.minute).has_value());
        std::int64_t expected = Mktime(row.year, row.month, row.day, row.hour, row.minute);
        EXPECT_EQ(TimeFromLocal(row.year, row.month, row.day, row.hour, row.minute), Clamped(expected));
    }
}

// Without TZ the conversion takes the quick way in the system's zone; it must still agree with mktime,
// and keep 1970 to 2038 as the only valid range.
TEST(LocalTimeTest, SystemZoneMatchesMktime) {
    std::optional<std::string> oldZone;
    if (const char* old = std::getenv("TZ")) {
        oldZone = old;
    }
    unsetenv("TZ");
    tzset();
    std::mt19937 random(777);
    std::uniform_int_distribution<int> year(1965, 2045), month(1, 12), day(-40, 70), hour(-30, 50),
        minute(-100, 100);
    for (int i = 0; i < 5000; ++i) {
        int y = year(random), mo = month(random), d = day(random), h = hour(random), mi = minute(random);
        ASSERT_EQ(TimeFromLocal(y, mo, d, h, mi), Clamped(Mktime(y, mo, d, h, mi)))
            << y << "-" << mo << "-" << d << " " << h << ":" << mi;
    }
    EXPECT_EQ(TimeFromLocal(INT_MAX, 12, INT_MAX, INT_MAX, INT_MAX), -1);
    EXPECT_EQ(TimeFromLocal(INT_MIN, 1, INT_MIN, INT_MIN, INT_MIN), -1);
    if (oldZone) {
        setenv("TZ", oldZone->c_str(), 1);
    }
    tzset();
}

}  // namespace
