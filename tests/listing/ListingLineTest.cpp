// The listing line parser against a table of named lines, in New York time (daylight saving) with the
// clock fixed at 10 March 2025 12:00, once in the "C" locale and once in a German one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listing/LocalZone.h"
#include "listing/RemoteEntry.h"

using namespace std::string_literals;

namespace {

struct LineCase {
    const char* name;
    std::string line;
    EntryKind kind;
    std::string entryName;
    std::string linkTarget;
    std::string sizeText;
    std::int32_t size;
    std::string dateText;
    std::int32_t time;
};

// Fields 1 to 4 of an ordinary file line, ready for size, month, day, year-or-time and name.
std::string FileLine(const std::string& size, const std::string& date, const std::string& name) {
    return "-rw-r--r--   1 owner    group    " + size + " " + date + " " + name;
}

LineCase Placeholder(const char* name, const std::string& line, const std::string& shown) {
    return {name, line, EntryKind::File, "\"" + shown + "\"", "", "<NA>", 0, "<NA>", -1};
}

LineCase SizeCase(const char* name, const std::string& size, std::int32_t value) {
    return {
        name,     FileLine(size, "Dec 12 1995", "f"), EntryKind::File, "f", "", size, value, "Dec 12 1995",
        818744400};
}

LineCase DateCase(const char* name, const std::string& date, std::int32_t time) {
    return {name, FileLine("1", date, "f"), EntryKind::File, "f", "", "1", 1, date, time};
}

std::vector<LineCase> Table() {
    const std::string prefix = FileLine("512", "Jan 3 1996", "");
    const std::string longName511(511 - prefix.size(), 'x');
    const std::string longName4000(4000, 'y');
    const std::string dosDirectory = "01-05-96  01:45PM       <DIR>          pub";
    const std::string dosFile = "01-05-96  01:45PM                 1234 file.txt";
    const std::int32_t jan3 = 820645200;  // 3 January 1996 00:00 EST

    return {
        // Unix lines
        {"directory with two blanks before the day", "drwxr-xr-x   2 owner group 512 Jan  5 13:45 pub",
         EntryKind::Directory, "pub", "", "512", 512, "Jan 5 13:45", 1736102700},
        {"link with arrow", "lrwxrwxrwx   1 root  root    7 Dec 12 1995 bin -> usr/bin", EntryKind::Link,
         "bin", "usr/bin", "7", 7, "Dec 12 1995", 818744400},
        {"link without arrow is a file", "lrwxrwxrwx   1 root  root    7 Dec 12 1995 oddname",
         EntryKind::File, "oddname", "", "7", 7, "Dec 12 1995", 818744400},
        {"nine fields, the ninth ends the line", FileLine("512", "Jan 3 1996", "pub"), EntryKind::File, "pub",
         "", "512", 512, "Jan 3 1996", jan3},
        {"tabs separate fields", "drwxr-xr-x\t2\towner\tgroup\t512\tJan\t5\t13:45\tpub", EntryKind::Directory,
         "pub", "", "512", 512, "Jan 5 13:45", 1736102700},
        {"leading blanks before the permissions", "   drwxr-xr-x 2 o g 512 Jan 3 1996 pub",
         EntryKind::Directory, "pub", "", "512", 512, "Jan 3 1996", jan3},
        // Names keep their blanks and tabs
        {"blanks inside and after a name", FileLine("10", "Jan 3 1996", "my  file.txt "), EntryKind::File,
         "my  file.txt ", "", "10", 10, "Jan 3 1996", jan3},
        {"tabs inside and after a name", FileLine("10", "Jan 3 1996", "a\tb\t"), EntryKind::File, "a\tb\t",
         "", "10", 10, "Jan 3 1996", jan3},
        {"further fields belong to the name", FileLine("10", "Jan 3 1996", "one two\tthree 4"),
         EntryKind::File, "one two\tthree 4", "", "10", 10, "Jan 3 1996", jan3},
        {"non-ASCII bytes in a name", FileLine("1", "Jan 3 1996", "caf\xc3\xa9 \xff\x01"), EntryKind::File,
         "caf\xc3\xa9 \xff\x01", "", "1", 1, "Jan 3 1996", jan3},
        // Arrows
        {"arrow in a directory name", "drwxr-xr-x 2 o g 512 Jan 3 1996 a -> b", EntryKind::Directory,
         "a -> b", "", "512", 512, "Jan 3 1996", jan3},
        {"first arrow splits a link", "lrwxrwxrwx 1 o g 7 Jan 3 1996 a b -> c -> d", EntryKind::Link, "a b",
         "c -> d", "7", 7, "Jan 3 1996", jan3},
        {"link with an empty target", "lrwxrwxrwx 1 o g 7 Jan 3 1996 a -> ", EntryKind::Link, "a", "", "7", 7,
         "Jan 3 1996", jan3},
        {"link arrow without its trailing blank", "lrwxrwxrwx 1 o g 7 Jan 3 1996 a ->", EntryKind::File,
         "a ->", "", "7", 7, "Jan 3 1996", jan3},
        {"link target keeps trailing blanks", "lrwxrwxrwx 1 o g 7 Jan 3 1996 a -> /pub/b ", EntryKind::Link,
         "a", "/pub/b ", "7", 7, "Jan 3 1996", jan3},
        {"arrow in a file name", FileLine("1", "Jan 3 1996", "x -> y"), EntryKind::File, "x -> y", "", "1", 1,
         "Jan 3 1996", jan3},
        // Only a lower-case 'd' or 'l' is special
        {"upper-case D is a file", "Drwxr-xr-x 2 o g 512 Jan 3 1996 pub", EntryKind::File, "pub", "", "512",
         512, "Jan 3 1996", jan3},
        {"upper-case L is a file even with an arrow", "Lrwxrwxrwx 1 o g 7 Jan 3 1996 bin -> usr/bin",
         EntryKind::File, "bin -> usr/bin", "", "7", 7, "Jan 3 1996", jan3},
        {"character device", "crw-rw-rw- 1 o g 1 Jan 3 1996 null", EntryKind::File, "null", "", "1", 1,
         "Jan 3 1996", jan3},
        {"block device", "brw-rw---- 1 o g 1 Jan 3 1996 sda", EntryKind::File, "sda", "", "1", 1,
         "Jan 3 1996", jan3},
        {"named pipe", "prw-r--r-- 1 o g 0 Jan 3 1996 fifo", EntryKind::File, "fifo", "", "0", 0,
         "Jan 3 1996", jan3},
        {"socket", "srwxr-xr-x 1 o g 0 Jan 3 1996 sock", EntryKind::File, "sock", "", "0", 0, "Jan 3 1996",
         jan3},
        // Lines of another form become placeholders
        Placeholder("DOS directory line", dosDirectory, dosDirectory),
        Placeholder("DOS file line", dosFile, dosFile),
        Placeholder("eight fields", "-rw-r--r-- 1 owner group 512 Jan 5 1995",
                    "-rw-r--r-- 1 owner group 512 Jan 5 1995"),
        Placeholder("eight fields and trailing blanks", "-rw-r--r-- 1 o g 512 Jan 5 1995 \t ",
                    "-rw-r--r-- 1 o g 512 Jan 5 1995 \t "),
        Placeholder("total line", "total 12", "total 12"),
        Placeholder("empty line", "", ""),
        Placeholder("blank line", "    ", "    "),
        Placeholder("quotes inside are not escaped", "a \"b\" c", "a \"b\" c"),
        Placeholder("NUL before the ninth field ends the line", "drwxr-xr-x 2 o\0 g 512 Jan 3 1996 pub"s,
                    "drwxr-xr-x 2 o"),
        {"NUL ends the name", "drwxr-xr-x 2 o g 512 Jan 3 1996 pub\0junk"s, EntryKind::Directory, "pub", "",
         "512", 512, "Jan 3 1996", jan3},
        // Sizes: sign, digits up to a non-digit, 32-bit wrap; the text stays as written
        SizeCase("size 2147483647", "2147483647", 2147483647),
        SizeCase("size 2147483648 wraps negative", "2147483648", -2147483647 - 1),
        SizeCase("size 3000000000 wraps negative", "3000000000", -1294967296),
        SizeCase("size 4294967296 wraps to 0", "4294967296", 0),
        SizeCase("size 4294967297 wraps to 1", "4294967297", 1),
        SizeCase("size of eleven digits wraps", "99999999999", 1215752191),
        SizeCase("negative size", "-5", -5),
        SizeCase("plus sign", "+7", 7),
        SizeCase("negative size wraps", "-4294967297", -1),
        SizeCase("digits end at a letter", "12abc", 12),
        SizeCase("no digits", "abc", 0),
        SizeCase("sign alone", "-", 0),
        SizeCase("two signs", "+-5", 0),
        // Months: the table's first occurrence, any letter case; everything else is January
        DateCase("month in upper case", "JAN 3 1996", jan3),
        DateCase("month in mixed case", "nOV 3 1996", 846997200),
        DateCase("December in upper case", "DEC 3 1996", 849589200),
        DateCase("Sept is January", "Sept 3 1996", jan3),
        DateCase("June is January", "June 3 1996", jan3),
        DateCase("numeric month is January", "12 3 1996", jan3),
        DateCase("fragment an is January", "an 3 1996", jan3),
        DateCase("fragment eb is February", "eb 3 1996", 823323600),
        DateCase("fragment ct is October", "ct 3 1996", 844315200),
        DateCase("fragment across months", "bmar 3 1996", 825829200),
        // Day and time normalised the mktime way
        DateCase("day 0 is the last day of the month before", "Mar 0 1996", 825570000),
        DateCase("day 32 of January is 1 February", "Jan 32 1996", 823150800),
        DateCase("unreadable day is day 0", "Jan x 1996", 820386000),
        DateCase("hour 25 and minute 61 roll over", "Jan 5 25:61", 1736146860),
        DateCase("no hour before the colon", "Jan 5 :30", 1736055000),
        DateCase("no minute after the colon", "Jan 5 13:", 1736100000),
        DateCase("second colon ends the minute", "Jan 5 1:2:3", 1736056920),
        DateCase("summer time", "Jul 4 1996", 836452800),
        // The year rule, seen from 10 March 12:00
        DateCase("23 hours ahead stays in this year", "Mar 11 11:00", 1741705200),
        DateCase("86,460 seconds ahead is last year", "Mar 11 12:01", 1710172860),
        DateCase("Christmas is last year", "Dec 25 10:00", 1735138800),
        // Times outside 1970 to 2038
        DateCase("first day of 1970", "Jan 1 1970", 18000),
        DateCase("last day of 1969", "Dec 31 1969", -1),
        DateCase("18 January 2038", "Jan 18 2038", 2147403600),
        DateCase("19 January 2038 is past the 32-bit range", "Jan 19 2038", -1),
        DateCase("year 0", "Jan 1 0", -1),
        DateCase("negative year", "Jan 1 -2025", -1),
        DateCase("year that wraps", "Jan 1 99999999999", -1),
        DateCase("day far past the 32-bit range", "Jan 99999 1996", -1),
        // Long lines
        {"511-character line", prefix + longName511, EntryKind::File, longName511, "", "512", 512,
         "Jan 3 1996", jan3},
        {"4000-character line", prefix + longName4000, EntryKind::File, longName4000, "", "512", 512,
         "Jan 3 1996", jan3},
    };
}

class ListingLineTest : public testing::TestWithParam<const char*> {};

TEST_P(ListingLineTest, ParsesEveryLineOfTheTable) {
    LocalZone zone("America/New_York", GetParam());
    if (GetParam() != nullptr && !zone.LocaleSet()) {
        GTEST_SKIP() << "locale " << GetParam() << " is not installed (package locales-all)";
    }
    for (const LineCase& row : Table()) {
        SCOPED_TRACE(row.name);
        RemoteEntry entry = RemoteEntry::FromListingLine(row.line, kTenthOfMarchNoon);
        EXPECT_EQ(entry.Kind(), row.kind);
        EXPECT_EQ(entry.Name(), row.entryName);
        EXPECT_EQ(entry.LinkTarget(), row.linkTarget);
        EXPECT_EQ(entry.SizeText(), row.sizeText);
        EXPECT_EQ(entry.Size(), row.size);
        EXPECT_EQ(entry.DateText(), row.dateText);
        EXPECT_EQ(entry.Time(), row.time);
    }
}

INSTANTIATE_TEST_SUITE_P(Locales, ListingLineTest, testing::Values(nullptr, kForeignLocale),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return info.param == nullptr ? std::string("CLocale") : std::string("German");
                         });

// The year rule at its edge: a time exactly 86,399 seconds ahead is this year's, one second more is
// last year's.
TEST(ListingDateTest, YearRuleBoundary) {
    LocalZone zone;
    struct {
        const char* name;
        std::time_t now;
        std::int32_t time;
    } rows[] = {
        {"86,399 seconds ahead", kTenthOfMarchNoon + 1, 1741708800},  // 11 March 2025 12:00
        {"86,400 seconds ahead", kTenthOfMarchNoon, 1710172800},      // 11 March 2024 12:00
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoteEntry entry;
        entry.SetListingDate("Mar", "11", "12:00", row.now);
        EXPECT_EQ(entry.Time(), row.time);
        EXPECT_EQ(entry.DateText(), "Mar 11 12:00");
    }
}

// The current year comes from the local clock, not UTC: at 20:00 on 31 December in New York it is
// already 1 January in UTC, but "Jan 1 00:30" is still this (local) year's first night.
TEST(ListingDateTest, CurrentYearIsLocal) {
    LocalZone zone;
    const std::time_t newYearsEveEvening = 1735693200;  // 31 December 2024 20:00 EST
    RemoteEntry entry;
    entry.SetListingDate("Jan", "1", "00:30", newYearsEveEvening);
    EXPECT_EQ(entry.Time(), 1704087000);  // 1 January 2024 00:30 EST
}

// The no-argument forms read the clock: a listing date of today stays in this year.
TEST(ListingDateTest, ReadsTheClockWithoutNow) {
    LocalZone zone;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string line = FileLine(
        "1", std::string(months[local.tm_mon]) + " " + std::to_string(local.tm_mday) + " 00:00", "f");
    RemoteEntry entry = RemoteEntry::FromListingLine(line);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    EXPECT_EQ(entry.Time(), static_cast<std::int32_t>(std::mktime(&local)));
}

}  // namespace
