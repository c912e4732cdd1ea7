// What the Transfers page and the title say about rows and batches, as rows; and that a locale with a
// decimal comma does not change them.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "transfers/TransferTexts.h"

namespace {

struct SizeRow {
    std::int64_t bytes;
    const char* text;
};

class SizeTexts : public ::testing::TestWithParam<SizeRow> {};

TEST_P(SizeTexts, ReadAsAPersonWouldSayThem) {
    EXPECT_EQ(TransferTexts::Size(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Rows, SizeTexts,
                         ::testing::Values(SizeRow{-1, ""}, SizeRow{0, "0 bytes"}, SizeRow{1, "1 byte"},
                                           SizeRow{1023, "1023 bytes"}, SizeRow{1024, "1.0 KB"},
                                           SizeRow{1536, "1.5 KB"}, SizeRow{1048575, "1.0 MB"},
                                           SizeRow{5 * 1048576 + 104858, "5.1 MB"},
                                           SizeRow{3LL * 1073741824, "3.0 GB"},
                                           SizeRow{INT64_MAX, "8589934592.0 GB"}));

struct TimeRow {
    std::int64_t seconds;
    const char* text;
};

class TimeTexts : public ::testing::TestWithParam<TimeRow> {};

TEST_P(TimeTexts, AreClockLike) {
    EXPECT_EQ(TransferTexts::TimeLeft(GetParam().seconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Rows, TimeTexts,
                         ::testing::Values(TimeRow{-1, ""}, TimeRow{0, "0:00"}, TimeRow{5, "0:05"},
                                           TimeRow{750, "12:30"}, TimeRow{3723, "1:02:03"},
                                           TimeRow{360000, "100:00:00"}));

struct StatusRow {
    const char* name;
    TransferState state;
    int attempt;
    const char* reason;
    std::int64_t size;
    std::int64_t bytes;
    const char* status;
    int percent;
};

class RowTexts : public ::testing::TestWithParam<StatusRow> {};

TEST_P(RowTexts, SayTheStateAndWhy) {
    const StatusRow& c = GetParam();
    TransferRow row;
    row.state = c.state;
    row.attempt = c.attempt;
    row.reason = c.reason;
    row.size = c.size;
    row.bytesDone = c.bytes;
    EXPECT_EQ(TransferTexts::Status(row), c.status);
    EXPECT_EQ(TransferTexts::Percent(row), c.percent);
}

using S = TransferState;
INSTANTIATE_TEST_SUITE_P(Rows, RowTexts,
                         ::testing::Values(StatusRow{"Queued", S::Queued, 0, "", 100, 0, "Queued", 0},
                                           StatusRow{"Running", S::Running, 0, "", 200, 50, "Running", 25},
                                           StatusRow{"Retrying", S::Running, 2, "421 Timeout.", 200, 50,
                                                     "Retrying (attempt 2): 421 Timeout.", 25},
                                           StatusRow{"Done", S::Done, 0, "", -1, 0, "Done", 100},
                                           StatusRow{"Failed", S::Failed, 3, "550 No such file.", 10, 3,
                                                     "Failed: 550 No such file.", 30},
                                           StatusRow{"Skipped", S::Skipped, 0, "Kept the local file", 10, 0,
                                                     "Skipped: Kept the local file", 0},
                                           StatusRow{"Interrupted", S::Interrupted, 0, "Stopped by the user",
                                                     -1, 7, "Interrupted: Stopped by the user", -1},
                                           StatusRow{"EmptyFile", S::Running, 0, "", 0, 0, "Running", 0},
                                           StatusRow{"MoreThanListed", S::Running, 0, "", 10, 25, "Running",
                                                     100}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BatchRow {
    TransferBatchSummary summary;
    const char* title;
    int percent;
};

class BatchTexts : public ::testing::TestWithParam<BatchRow> {};

TEST_P(BatchTexts, SayFilesBytesAndSpeed) {
    EXPECT_EQ(TransferTexts::BatchTitle(GetParam().summary), GetParam().title);
    EXPECT_EQ(TransferTexts::BatchPercent(GetParam().summary), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(Rows, BatchTexts,
                         ::testing::Values(BatchRow{{10, 2, 12 * 1048576, 1536 * 1024, 300 * 1024, true},
                                                    "2 of 10 files, 1.5 MB of 12.0 MB, 300.0 KB/s",
                                                    12},
                                           BatchRow{{4, 1, 0, 0, 0, true}, "1 of 4 files", 25},
                                           BatchRow{{0, 0, 0, 0, 0, false}, "0 of 0 files", 0}));

TEST(TransferTexts, ALocaleWithADecimalCommaChangesNothing) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "no German locale here";
    }
    EXPECT_EQ(TransferTexts::Size(1536), "1.5 KB");
    EXPECT_EQ(TransferTexts::Speed(1536), "1.5 KB/s");
    std::setlocale(LC_ALL, previous.c_str());
}

}  // namespace
