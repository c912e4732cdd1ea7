// Lines of every listing format against the row the Remote page shows for them (or none), in New York
// time with the clock at 10 March 2025 12:00: MLSD, DOS/IIS, EPLF and Unix, well-formed and malformed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listing/ListingParser.h"
#include "listing/LocalZone.h"
#include "listing/PropertiesTexts.h"

namespace {

struct ParseCase {
    const char* what;
    std::string line;
    char kind;  // 'f', 'd', 'l' ("name -> target"), or 0: the line gives no row
    std::string name;
    std::string sizeText;
    std::int64_t size;
    std::string dateText;
    std::int32_t time;
    bool exact;
};

constexpr std::int32_t kJan5 = 1736102700;  // 5 January 2025 13:45 EST, 18:45 UTC

std::vector<ParseCase> Table() {
    const std::string absurd = "x=" + std::string(5000, 'a');
    return {
        {"MLSD file", "type=file;size=5368709120;modify=20250105184500.5;perm=r; notes.txt", 'f', "notes.txt",
         "5368709120", 5368709120, "Jan 5 13:45", kJan5, true},
        {"MLSD facts in any case, sizd", "Type=DIR;Sizd=4096;Modify=19960103050000;UNIX.mode=0755; pub dir",
         'd', "pub dir", "4096", 4096, "Jan 3 1996", 820645200, true},
        {"MLSD cdir", "type=cdir;modify=20250105184500; /pub", 0, "", "", 0, "", 0, false},
        {"MLSD link", "type=OS.unix=slink:/usr/bin;modify=20250105184500; bin", 'l', "bin -> /usr/bin", "", 0,
         "Jan 5 13:45", kJan5, true},
        {"MLSD link without a target", "type=OS.UNIX=symlink; lnk", 'l', "lnk -> lnk", "", 0, "", -1, false},
        {"MLSD name with blanks, ';' and '='", "type=file;size=1; a b;c=d ", 'f', "a b;c=d ", "1", 1, "", -1,
         false},
        {"MLSD size 2^70 ignored", "type=file;size=1180591620717411303424; f", 'f', "f", "", 0, "", -1,
         false},
        {"MLSD month 13 ignored", "type=file;size=2;modify=20251301000000; f", 'f', "f", "2", 2, "", -1,
         false},
        {"MLSD fact without '=', fact of absurd length", "type=file;junk;" + absurd + ";size=7; f", 'f', "f",
         "7", 7, "", -1, false},
        {"MLSD without a name", "type=file;size=3;", 0, "", "", 0, "", 0, false},
        {"DOS directory, 12-hour clock", "12-25-19  10:30PM       <DIR>          name", 'd', "name", "", 0,
         "Dec 25 2019", 1577331000, false},
        {"DOS 24-hour clock, four-digit year, 5 GiB", "01-05-2021  23:15   5368709120 big file.iso", 'f',
         "big file.iso", "5368709120", 5368709120, "Jan 5 2021", 1609906500, false},
        {"DOS 12 AM is midnight", "03-09-25  12:05AM  1 m", 'f', "m", "1", 1, "Mar 9 00:05", 1741496700,
         false},
        {"DOS hour the clock skipped", "03-09-25  02:30AM  1 gap", 'f', "gap", "1", 1, "Mar 9 02:30",
         1741505400, false},
        {"DOS year 69 is 2069, past 2038", "01-01-69  00:00  1 f", 'f', "f", "1", 1, "", -1, false},
        {"DOS month 13 loses the time", "13-05-21  10:00AM  5 f", 'f', "f", "5", 5, "", -1, false},
        {"DOS size 2^70 lost", "01-05-21  10:00  1180591620717411303424  a  b ", 'f', "a  b ", "", 0,
         "Jan 5 2021", 1609858800, false},
        {"DOS without a name", "12-25-19  10:30AM  <DIR>   ", 0, "", "", 0, "", 0, false},
        {"EPLF file", "+i8388621.48594,m825718503,r,s280,\tdjb.html", 'f', "djb.html", "280", 280,
         "Mar 1 1996", 825718503, true},
        {"EPLF directory", "+i8388621.50690,m824255907,/,\t514", 'd', "514", "", 0, "Feb 13 1996", 824255907,
         true},
        {"EPLF without a tab", "+i1,r,s280, djb.html", 0, "", "", 0, "", 0, false},
        {"Unix total line", "total 12", 0, "", "", 0, "", 0, false},
        {"Unix line of 31 characters", std::string(31, 'x'), 'f', "\"" + std::string(31, 'x') + "\"", "<NA>",
         0, "<NA>", -1, false},
        {"Unix size wraps at 32 bits", "-rw-r--r--   1 owner group 4294967297 Jan  5 13:45 a=b;c d", 'f',
         "a=b;c d", "4294967297", 1, "Jan 5 13:45", kJan5, false},
    };
}

TEST(ListingParserTest, EveryFormatGivesTheRowsTheUserSees) {
    LocalZone zone;
    for (const ParseCase& c : Table()) {
        SCOPED_TRACE(c.what);
        const std::optional<RemoteEntry> entry = ListingParser::Parse(c.line, kTenthOfMarchNoon);
        ASSERT_EQ(entry.has_value(), c.kind != 0);
        if (!entry) {
            continue;
        }
        const char kind = entry->Kind() == EntryKind::Directory ? 'd'
                          : entry->Kind() == EntryKind::Link    ? 'l'
                                                                : 'f';
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(kind == 'l' ? entry->Name() + " -> " + entry->LinkTarget() : entry->Name(), c.name);
        EXPECT_EQ(entry->SizeText(), c.sizeText);
        EXPECT_EQ(entry->Size(), c.size);
        EXPECT_EQ(entry->DateText(), c.dateText);
        EXPECT_EQ(entry->Time(), c.time);
        EXPECT_EQ(entry->ExactTime(), c.exact);
    }
    // An upload's time is the local file's, not an exact one from the server.
    std::optional<RemoteEntry> entry = ListingParser::Parse("modify=20250105184500; f", kTenthOfMarchNoon);
    ASSERT_TRUE(entry && entry->ExactTime());
    entry->SetSizeAndTime(1, kJan5, kTenthOfMarchNoon);
    EXPECT_FALSE(entry->ExactTime());
}

// What the Permissions column and the Properties dialog show for each way a listing gives a mode.
TEST(ListingParserTest, PermissionsFromModesAndFacts) {
    const struct {
        const char* what;
        std::string line;
        std::string column;
        std::string properties;
    } rows[] = {
        {"Unix file", "-rw-r--r--   1 owner group 5 Jan  5 13:45 f", "rw-r--r--", "rw-r--r-- (644)"},
        {"Unix set-id and sticky with execute, access-list mark", "drwsr-sr-t+  2 o g 4096 Jan  5 13:45 d",
         "rwsr-sr-t", "rwsr-sr-t (7755)"},
        {"Unix set-id and sticky without execute", "-rwSr-Sr-T@  1 o g 1 Jan  5 13:45 f", "rwSr-Sr-T",
         "rwSr-Sr-T (7644)"},
        {"Unix no bits", "----------   1 o g 1 Jan  5 13:45 f", "---------", "--------- (000)"},
        {"Unix column that is no mode", "-rw-r--r-?   1 owner group 5 Jan  5 13:45 f", "", ""},
        {"Unix mode column too long", "-rw-r--r--xx 1 owner group 5 Jan  5 13:45 f", "", ""},
        {"Unix line it cannot read", std::string(31, 'x'), "", ""},
        {"MLSD UNIX.mode", "type=file;UNIX.mode=0640; f", "rw-r-----", "rw-r----- (640)"},
        {"MLSD unix.mode of a whole mode", "type=file;unix.mode=104755; f", "rwsr-xr-x", "rwsr-xr-x (4755)"},
        {"MLSD unix.mode as a Python literal", "unix.mode=0o755;type=dir; d", "rwxr-xr-x", "rwxr-xr-x (755)"},
        {"MLSD UNIX.mode not octal", "type=file;UNIX.mode=0968; f", "", ""},
        {"MLSD UNIX.mode empty", "type=file;UNIX.mode=; f", "", ""},
        {"MLSD UNIX.mode beyond a mode", "type=file;UNIX.mode=77777777; f", "", ""},
        {"MLSD perm is no mode", "type=file;perm=adfrw; f", "", ""},
        {"DOS", "01-05-2021  23:15   5 f", "", ""},
        {"EPLF", "+m825718503,r,s280,\tf", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::optional<RemoteEntry> entry = ListingParser::Parse(row.line, kTenthOfMarchNoon);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(PermissionsText(entry->Permissions()), row.column);
        EXPECT_EQ(PropertiesTexts::Build(std::span(&*entry, 1), 1).permissionsValue, row.properties);
    }
}

}  // namespace
