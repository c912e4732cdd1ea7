// Lines of every listing format against what the Remote page shows for them, in New York time with the
// clock fixed at 10 March 2025 12:00: MLSD, DOS/IIS, EPLF and Unix lines, lines that give no row, and
// malformed lines and facts.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "listing/ListingParser.h"
#include "listing/LocalZone.h"

using namespace std::string_literals;

namespace {

struct Row {
    EntryKind kind;
    std::string name;
    std::string linkTarget;
    std::string sizeText;
    std::int64_t size;
    std::string dateText;
    std::int32_t time;
    bool exact;
};

struct ParseCase {
    const char* what;
    std::string line;
    std::optional<Row> row;  // nullopt: the line gives no row
};

constexpr std::int32_t kJan5Utc1845 = 1736102700;  // 5 January 2025 13:45 EST

ParseCase File(const char* what, std::string line, std::string name, std::int64_t size, std::string dateText,
               std::int32_t time, bool exact = false) {
    const std::string sizeText = size < 0 ? "" : std::to_string(size);
    return {what, std::move(line),
            Row{EntryKind::File, std::move(name), "", sizeText, size < 0 ? 0 : size, std::move(dateText),
                time, exact}};
}

ParseCase NoRow(const char* what, std::string line) {
    return {what, std::move(line), std::nullopt};
}

std::vector<ParseCase> Table() {
    const std::string absurdFact = "x=" + std::string(5000, 'a');
    return {
        // MLSD
        File("MLSD file", "type=file;size=1024;modify=20250105184500;perm=r; notes.txt", "notes.txt", 1024,
             "Jan 5 13:45", kJan5Utc1845, true),
        {"MLSD directory, facts in any case, sizd",
         "Type=DIR;Sizd=4096;Modify=19960103050000;UNIX.mode=0755; pub dir",
         Row{EntryKind::Directory, "pub dir", "", "4096", 4096, "Jan 3 1996", 820645200, true}},
        {"MLSD directory without a size", "type=dir;modify=20250105184500; d",
         Row{EntryKind::Directory, "d", "", "", 0, "Jan 5 13:45", kJan5Utc1845, true}},
        NoRow("MLSD cdir", "type=cdir;modify=20250105184500; /pub"),
        NoRow("MLSD pdir", "type=PDIR; .."),
        {"MLSD link with a target", "type=OS.unix=slink:/usr/bin;modify=20250105184500; bin",
         Row{EntryKind::Link, "bin", "/usr/bin", "", 0, "Jan 5 13:45", kJan5Utc1845, true}},
        {"MLSD link without a target leads to its name", "type=OS.UNIX=symlink; lnk",
         Row{EntryKind::Link, "lnk", "lnk", "", 0, "", -1, false}},
        File("MLSD other Unix type is a file", "type=OS.unix=chr-13/29;size=0; tty", "tty", 0, "", -1),
        File("MLSD without a type is a file", "size=3;modify=20250105184500; f", "f", 3, "Jan 5 13:45",
             kJan5Utc1845, true),
        File("MLSD name with blanks, ';' and '='", "type=file;size=1; a b;c=d ", "a b;c=d ", 1, "", -1),
        File("MLSD size beyond 4 GiB is exact", "type=file;size=5368709120; big.iso", "big.iso", 5368709120,
             "", -1),
        File("MLSD size 2^63-1", "type=file;size=9223372036854775807; huge", "huge", INT64_MAX, "", -1),
        File("MLSD size 2^63 is ignored", "type=file;size=9223372036854775808; f", "f", -1, "", -1),
        File("MLSD size 2^70 is ignored", "type=file;size=1180591620717411303424; f", "f", -1, "", -1),
        File("MLSD negative size is ignored", "type=file;size=-5; f", "f", -1, "", -1),
        File("MLSD size with letters is ignored", "type=file;size=12abc; f", "f", -1, "", -1),
        File("MLSD modify with fractions", "type=file;modify=20250105184500.123; f", "f", -1, "Jan 5 13:45",
             kJan5Utc1845, true),
        File("MLSD 29 February of a leap year", "modify=20240229120000; f", "f", -1, "Feb 29 2024",
             1709208000, true),
        File("MLSD leap second", "modify=20161231235960; f", "f", -1, "Dec 31 2016", 1483228800, true),
        File("MLSD last second of 32-bit time", "modify=20380119031407; f", "f", -1, "Jan 18 22:14",
             INT32_MAX, true),
        File("MLSD one second later is ignored", "modify=20380119031408; f", "f", -1, "", -1),
        File("MLSD month 13 is ignored", "type=file;size=2;modify=20251301000000; f", "f", 2, "", -1),
        File("MLSD hour 25 is ignored", "modify=20250105250000; f", "f", -1, "", -1),
        File("MLSD 29 February 2025 is ignored", "modify=20250229120000; f", "f", -1, "", -1),
        File("MLSD 13-digit modify is ignored", "modify=2025010518450; f", "f", -1, "", -1),
        File("MLSD modify with a bare dot is ignored", "modify=20250105184500.; f", "f", -1, "", -1),
        File("MLSD modify before 1970 is ignored", "modify=19691231235959; f", "f", -1, "", -1),
        File("MLSD fact without '=' is ignored", "type=file;junk;size=3; f", "f", 3, "", -1),
        File("MLSD fact of absurd length is ignored", "type=file;" + absurdFact + ";size=7; f", "f", 7, "",
             -1),
        File("MLSD NUL ends the name", "type=file;size=3; a\0b"s, "a", 3, "", -1),
        NoRow("MLSD without a blank", "type=file;size=3;"),
        NoRow("MLSD with an empty name", "type=file;size=3; "),
        // DOS / IIS
        {"DOS directory, 12-hour clock", "12-25-19  10:30AM       <DIR>          name",
         Row{EntryKind::Directory, "name", "", "", 0, "Dec 25 2019", 1577287800, false}},
        File("DOS file beyond 4 GiB, 24-hour clock, four-digit year",
             "01-05-2021  23:15   5368709120 big file.iso", "big file.iso", 5368709120, "Jan 5 2021",
             1609906500),
        File("DOS file in the afternoon", "01-05-96  01:45PM                 1234 file.txt", "file.txt", 1234,
             "Jan 5 1996", 820867500),
        File("DOS 12 AM is midnight", "03-09-25  12:05AM  1 midnight", "midnight", 1, "Mar 9 00:05",
             1741496700),
        File("DOS 12 PM is noon", "03-09-25  12:05pm  1 noon", "noon", 1, "Mar 9 12:05", 1741536300),
        File("DOS hour the clock skipped shows as written", "03-09-25  02:30AM  1 gap", "gap", 1,
             "Mar 9 02:30", 1741505400),
        File("DOS year 70 is 1970", "01-01-70  00:00  1 f", "f", 1, "Jan 1 1970", 18000),
        File("DOS year 69 is 2069, past the 32-bit range", "01-01-69  00:00  1 f", "f", 1, "", -1),
        File("DOS month 13 loses the time", "13-05-21  10:00AM  5 f", "f", 5, "", -1),
        File("DOS 13 PM loses the time", "01-05-21  13:00PM  5 f", "f", 5, "", -1),
        File("DOS hour 25 loses the time", "01-05-21  25:00  5 f", "f", 5, "", -1),
        File("DOS minute 60 loses the time", "01-05-21  10:60  5 f", "f", 5, "", -1),
        File("DOS size 2^70 loses the size", "01-05-21  10:00  1180591620717411303424 f", "f", -1,
             "Jan 5 2021", 1609858800),
        File("DOS name with leading and trailing blanks", "01-05-21  10:00  5   a  b ", "a  b ", 5,
             "Jan 5 2021", 1609858800),
        NoRow("DOS without a name", "12-25-19  10:30AM  <DIR>"),
        NoRow("DOS with blanks and no name", "12-25-19  10:30AM  <DIR>   "),
        NoRow("DOS date alone", "12-25-19"),
        NoRow("DOS three-digit year", "12-25-019  10:30AM  <DIR>  a"),
        NoRow("DOS unknown marker", "12-25-19  10:30XM  <DIR>  a"),
        NoRow("DOS three-digit hour", "12-25-19  103:30  <DIR>  a"),
        NoRow("DOS column neither <DIR> nor a size", "12-25-19  10:30AM  <FILE>  a"),
        NoRow("DOS without a time", "12-25-19  <DIR>  a"),
        // EPLF
        File("EPLF file", "+i8388621.48594,m825718503,r,s280,\tdjb.html", "djb.html", 280, "Mar 1 1996",
             825718503),
        {"EPLF directory", "+i8388621.50690,m824255907,/,\t514",
         Row{EntryKind::Directory, "514", "", "", 0, "Feb 13 1996", 824255907, false}},
        File("EPLF time and size out of range are ignored", "+m9999999999,s99999999999999999999,\tx y", "x y",
             -1, "", -1),
        File("EPLF size beyond 4 GiB", "+s5368709120,r,\tbig", "big", 5368709120, "", -1),
        NoRow("EPLF without a tab", "+i1,r,s280, djb.html"),
        NoRow("EPLF with an empty name", "+i1,r,s280,\t"),
        // Unix
        NoRow("Unix total line", "total 12"),
        NoRow("Unix line of 30 characters", std::string(30, 'x')),
        {"Unix line of 31 characters is a placeholder", std::string(31, 'x'),
         Row{EntryKind::File, "\"" + std::string(31, 'x') + "\"", "", "<NA>", 0, "<NA>", -1, false}},
        {"Unix directory", "drwxr-xr-x   2 owner group 512 Jan  5 13:45 pub",
         Row{EntryKind::Directory, "pub", "", "512", 512, "Jan 5 13:45", kJan5Utc1845, false}},
        {"Unix size keeps its 32-bit wrap", "-rw-r--r--   1 owner group 4294967297 Jan  5 13:45 f",
         Row{EntryKind::File, "f", "", "4294967297", 1, "Jan 5 13:45", kJan5Utc1845, false}},
        {"Unix name with '=' and ';'", "-rw-r--r--   1 owner group 5 Jan  5 13:45 a=b;c d",
         Row{EntryKind::File, "a=b;c d", "", "5", 5, "Jan 5 13:45", kJan5Utc1845, false}},
        {"Unix line with leading blanks", "   lrwxrwxrwx 1 o g 7 Jan  5 13:45 bin -> usr/bin",
         Row{EntryKind::Link, "bin", "usr/bin", "7", 7, "Jan 5 13:45", kJan5Utc1845, false}},
    };
}

TEST(ListingParserTest, EveryFormatGivesTheRowsTheUserSees) {
    LocalZone zone;
    for (const ParseCase& c : Table()) {
        SCOPED_TRACE(c.what);
        const std::optional<RemoteEntry> entry = ListingParser::Parse(c.line, kTenthOfMarchNoon);
        ASSERT_EQ(entry.has_value(), c.row.has_value());
        if (!entry) {
            continue;
        }
        EXPECT_EQ(entry->Kind(), c.row->kind);
        EXPECT_EQ(entry->Name(), c.row->name);
        EXPECT_EQ(entry->LinkTarget(), c.row->linkTarget);
        EXPECT_EQ(entry->SizeText(), c.row->sizeText);
        EXPECT_EQ(entry->Size(), c.row->size);
        EXPECT_EQ(entry->DateText(), c.row->dateText);
        EXPECT_EQ(entry->Time(), c.row->time);
        EXPECT_EQ(entry->ExactTime(), c.row->exact);
    }
}

// An uploaded file's time is the local file's, not the server's exact one.
TEST(ListingParserTest, UploadReplacesAnExactTime) {
    LocalZone zone;
    std::optional<RemoteEntry> entry =
        ListingParser::Parse("type=file;size=1;modify=20250105184500; f", kTenthOfMarchNoon);
    ASSERT_TRUE(entry && entry->ExactTime());
    entry->SetSizeAndTime(6000000000, 1741536000, kTenthOfMarchNoon);
    EXPECT_FALSE(entry->ExactTime());
    EXPECT_EQ(entry->Size(), 6000000000);
    EXPECT_EQ(entry->SizeText(), "6000000000");
}

}  // namespace
