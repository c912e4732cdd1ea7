// The numbers a transfer reports: the statistics message in both forms, in any locale, and the progress
// percentage and expected size of files beyond 2 and 4 GiB.
#include "engine/TransferStatistics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "listing/RemoteEntry.h"
#include "support/EngineFixture.h"

namespace {

TEST(TransferStatisticsTest, MessageInBothFormsWithADecimalPointInEveryLocale) {
    struct Case {
        const char* direction;
        std::int64_t bytes;
        std::uint32_t elapsedMs;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"received", 0, 0, "... received 0 bytes in 0 seconds"},
        {"received", 2000, 1000, "... received 2000 bytes in 1 seconds (2 KB/s)"},
        {"sent", 1234, 7, "... sent 1234 bytes in 0.007 seconds (176.286 KB/s)"},
        {"received", 3000, 1500, "... received 3000 bytes in 1.5 seconds (2 KB/s)"},
        {"sent", 5000000000, 1500, "... sent 5000000000 bytes in 1.5 seconds (3.33333e+06 KB/s)"},
        {"received", 1, 4294967295u, "... received 1 bytes in 4.29497e+06 seconds (2.32831e-10 KB/s)"},
    };
    // Qt installs the user's locale at start; a comma there must not reach the message.
    const int locales = ForEachLocale([&](const char* locale) {
        for (const Case& c : cases) {
            EXPECT_EQ(TransferStatistics::Message(c.direction, c.bytes, c.elapsedMs), c.message) << locale;
        }
    });
    EXPECT_GT(locales, 1) << "no comma locale installed; only the C locale was tried";
}

TEST(TransferStatisticsTest, PercentIsTruncatedAndNeverAboveOneHundred) {
    struct Case {
        std::uint64_t bytes;
        std::uint64_t expected;
        int percent;
    };
    const std::uint64_t gib = std::uint64_t{1} << 30;
    const std::vector<Case> cases = {
        {0, 0, 0},
        {1, 0, 100},
        {0, 10, 0},
        {9, 10, 90},
        {10, 10, 100},
        {11, 10, 100},
        {1, 3, 33},
        {2, 3, 66},
        {3 * gib, 6 * gib, 50},
        {5 * gib - 1, 5 * gib, 99},
        {~std::uint64_t{0} - 1, ~std::uint64_t{0}, 99},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TransferStatistics::Percent(c.bytes, c.expected), c.percent)
            << c.bytes << "/" << c.expected;
    }
}

TEST(TransferStatisticsTest, ExpectedSizeComesFromTheSizeTextWhenTheListedSizeWrapped) {
    struct Case {
        const char* sizeField;
        std::uint64_t expected;
    };
    const std::vector<Case> cases = {
        {"1234", 1234},
        {"0", 0},
        {"2147483648", 2147483648u},  // 2 GiB: the 32-bit size is negative
        {"3000000000", 3000000000u},
        {"5000000000", 5000000000u},  // beyond 4 GiB: the 32-bit size wrapped to a small number
        {"4294967296", 4294967296u},  // exactly 4 GiB: the 32-bit size is 0
        {"-5", 0},
        {"12x", 12},  // not a whole number: the listed size, as parsed
    };
    for (const Case& c : cases) {
        const std::string line = std::string("-rw-r--r-- 1 u g ") + c.sizeField + " Jan  5  2020 f";
        EXPECT_EQ(TransferStatistics::ExpectedSize(RemoteEntry::FromListingLine(line)), c.expected) << line;
    }
    EXPECT_EQ(TransferStatistics::ExpectedSize(RemoteEntry("up", 77, 0)), 77u);
}

}  // namespace
