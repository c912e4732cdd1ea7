// File entries built for uploads (size text and the date's short form), the paths a download uses, and
// the local-name check.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "listing/LocalZone.h"
#include "listing/RemoteEntry.h"

using namespace std::string_literals;

namespace {

TEST(RemoteEntryTest, DefaultEntryIsABlankFile) {
    RemoteEntry entry;
    EXPECT_TRUE(entry.IsBlank());
    EXPECT_EQ(entry.Kind(), EntryKind::File);
    EXPECT_EQ(entry.Size(), 0);
    EXPECT_EQ(entry.Time(), 0);
    EXPECT_EQ(entry.SizeText(), "");
    EXPECT_EQ(entry.DateText(), "");
    EXPECT_EQ(entry.LinkTarget(), "");
}

struct UploadCase {
    const char* name;
    std::time_t now;
    std::int64_t size;
    std::int32_t time;
    std::string sizeText;
    std::string dateText;  // in the "C" locale and in the German one alike
};

constexpr std::time_t kTwentiethOfJanuaryNoon = 1737392400;  // 20 January 2025 12:00 EST

const UploadCase kUploads[] = {
    {"yesterday", kTenthOfMarchNoon, 1234, 1741536000, "1234", "Mar 9 12:00"},
    {"this year, no leading zero on the day", kTenthOfMarchNoon, 0, 1736102700, "0", "Jan 5 13:45"},
    {"eight months ago, last year", kTenthOfMarchNoon, 1, 1720627200, "1", "Jul 10 2024"},
    {"three months ago, last year", kTwentiethOfJanuaryNoon, 1, 1729440000, "1", "Oct 20 12:00"},
    {"exactly 4383 hours ago, last year", kTenthOfMarchNoon, 1, 1725843600, "1", "Sep 8 2024"},
    {"a second less than 4383 hours ago", kTenthOfMarchNoon, 1, 1725843601, "1", "Sep 8 21:00"},
    {"next year", kTenthOfMarchNoon, 1, 1767589200, "1", "Jan 5 00:00"},
    {"time 0 is 1969 in New York", kTenthOfMarchNoon, 1, 0, "1", "Dec 31 1969"},
    {"no valid time has no date", kTenthOfMarchNoon, 1, -1, "1", ""},
    {"negative size", kTenthOfMarchNoon, -5, -1, "-5", ""},
    {"largest size", kTenthOfMarchNoon, INT32_MAX, -1, "2147483647", ""},
    {"smallest size", kTenthOfMarchNoon, INT32_MIN, -1, "-2147483648", ""},
    {"size beyond 4 GiB stays exact", kTenthOfMarchNoon, 5368709120, -1, "5368709120", ""},
    // Months whose German names differ
    {"December, last year but recent", kTenthOfMarchNoon, 1, 1733058000, "1", "Dec 1 08:00"},
    {"October, last year but recent", kTenthOfMarchNoon, 1, 1728964800, "1", "Oct 15 00:00"},
    {"May, last year", kTenthOfMarchNoon, 1, 1715745600, "1", "May 15 2024"},
};

TEST(RemoteEntryTest, UploadedFileEntries) {
    for (const char* locale : {static_cast<const char*>(nullptr), kForeignLocale}) {
        LocalZone zone("America/New_York", locale);
        if (locale != nullptr && !zone.LocaleSet()) {
            // The "C" locale ran first; only the foreign run is left out.
            GTEST_SKIP() << "locale " << locale << " is not installed (package locales-all)";
        }
        for (const UploadCase& row : kUploads) {
            SCOPED_TRACE(std::string(row.name) + (locale ? " in German" : ""));
            RemoteEntry entry("upload.bin", row.size, row.time, row.now);
            EXPECT_EQ(entry.Name(), "upload.bin");
            EXPECT_EQ(entry.Kind(), EntryKind::File);
            EXPECT_EQ(entry.LinkTarget(), "");
            EXPECT_EQ(entry.Size(), row.size);
            EXPECT_EQ(entry.Time(), row.time);
            EXPECT_EQ(entry.SizeText(), row.sizeText);
            EXPECT_EQ(entry.DateText(), row.dateText);
        }
    }
}

TEST(RemoteEntryTest, SetSizeAndTimeReplacesAListedDate) {
    LocalZone zone;
    RemoteEntry entry = RemoteEntry::FromListingLine("-rw-r--r-- 1 o g 10 Sept 3 1996 f", kTenthOfMarchNoon);
    entry.SetSizeAndTime(20, 1736102700, kTenthOfMarchNoon);
    EXPECT_EQ(entry.SizeText(), "20");
    EXPECT_EQ(entry.DateText(), "Jan 5 13:45");
    EXPECT_EQ(entry.Name(), "f");
}

TEST(RemoteEntryTest, TargetPathAndLocalName) {
    struct {
        const char* name;
        std::string line;
        std::string targetPath;
        std::string localName;
    } rows[] = {
        {"link to an absolute path", "lrwxrwxrwx 1 o g 7 Jan 3 1996 f -> /pub/a/file.txt", "/pub/a/file.txt",
         "file.txt"},
        {"link to a relative path", "lrwxrwxrwx 1 o g 7 Jan 3 1996 bin -> usr/bin", "usr/bin", "bin"},
        {"link target without a slash", "lrwxrwxrwx 1 o g 7 Jan 3 1996 f -> other.txt", "other.txt",
         "other.txt"},
        {"link target ending in a slash", "lrwxrwxrwx 1 o g 7 Jan 3 1996 d -> /pub/dir/", "/pub/dir/", ""},
        {"empty link target", "lrwxrwxrwx 1 o g 7 Jan 3 1996 d -> ", "", ""},
        {"directory", "drwxr-xr-x 2 o g 512 Jan 3 1996 pub", "pub", "pub"},
        {"file with blanks", "-rw-r--r-- 1 o g 10 Jan 3 1996 my  file ", "my  file ", "my  file "},
        {"file with a slash keeps it", "-rw-r--r-- 1 o g 10 Jan 3 1996 a/b", "a/b", "a/b"},
        {"link without arrow", "lrwxrwxrwx 1 o g 7 Jan 3 1996 a/b", "a/b", "a/b"},
        {"placeholder", "total 12", "\"total 12\"", "\"total 12\""},
    };
    LocalZone zone;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoteEntry entry = RemoteEntry::FromListingLine(row.line, kTenthOfMarchNoon);
        EXPECT_EQ(entry.TargetPath(), row.targetPath);
        EXPECT_EQ(entry.LocalName(), row.localName);
    }
}

TEST(RemoteEntryTest, SafeLocalNames) {
    struct {
        std::string name;
        bool safe;
    } rows[] = {
        {"file.txt", true}, {"my  file ", true},   {"...", true},    {".hidden", true},
        {"..x", true},      {"caf\xc3\xa9", true}, {"", false},      {".", false},
        {"..", false},      {"a/b", false},        {"/", false},     {"dir/", false},
        {"/etc", false},    {"../x", false},       {"a\0b"s, false}, {"\0"s, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.name));
        EXPECT_EQ(IsSafeLocalName(row.name), row.safe);
    }
}

}  // namespace
