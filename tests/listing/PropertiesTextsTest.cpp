// The properties texts: one entry (file, link, placeholder), several entries (counts, common type,
// 64-bit total) and the size summary's units and precision, in English whatever the locale.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "listing/EnglishDate.h"
#include "listing/LocalZone.h"
#include "listing/PropertiesTexts.h"

namespace {

constexpr std::int32_t kFifthOfJanuary1996 = 820867500;  // Friday 5 January 1996 13:45:00 EST

RemoteEntry Line(const std::string& line) {
    return RemoteEntry::FromListingLine(line, kTenthOfMarchNoon);
}

RemoteEntry File(const std::string& name, std::int64_t size) {
    return RemoteEntry(name, size, 0, 0);
}

TEST(PropertiesTextsTest, SizeSummary) {
    struct {
        std::int64_t total;
        const char* text;
    } rows[] = {
        {0, "0 bytes"},
        {512, "512 bytes"},
        {1024, "1024 bytes"},
        {1025, "1.00KB (1025 bytes)"},
        {1152, "1.12KB (1152 bytes)"},  // 1.125: the tie rounds to even, as printf does
        {1408, "1.38KB (1408 bytes)"},
        {1536, "1.50KB (1536 bytes)"},
        {10240, "10.0KB (10240 bytes)"},
        {102359, "100.0KB (102359 bytes)"},
        {102400, "100KB (102400 bytes)"},
        {1048576, "1024KB (1048576 bytes)"},
        {1048577, "1.00MB (1048577 bytes)"},
        {10485760, "10.0MB (10485760 bytes)"},
        {5000000000LL, "4768MB (5000000000 bytes)"},
        {INT64_MAX, "8796093022208MB (9223372036854775807 bytes)"},
        {-5, "-5 bytes"},
        {-1294967296, "-1294967296 bytes"},
        {INT64_MIN, "-9223372036854775808 bytes"},
    };
    for (const char* locale : {static_cast<const char*>(nullptr), kForeignLocale}) {
        LocalZone zone("America/New_York", locale);
        if (locale != nullptr && !zone.LocaleSet()) {
            // The "C" locale ran first; only the foreign run is left out.
            GTEST_SKIP() << "locale " << locale << " is not installed (package locales-all)";
        }
        for (const auto& row : rows) {
            SCOPED_TRACE(row.total);
            EXPECT_EQ(SizeSummary(row.total), row.text);
        }
    }
}

TEST(PropertiesTextsTest, LongDates) {
    struct {
        std::int32_t time;
        const char* text;
    } rows[] = {
        {kFifthOfJanuary1996, "Friday, January 05, 1996 1:45:00 PM"},
        {820818000, "Friday, January 05, 1996 12:00:00 AM"},
        {820861200, "Friday, January 05, 1996 12:00:00 PM"},
        {820904399, "Friday, January 05, 1996 11:59:59 PM"},
        {821682000, "Monday, January 15, 1996 12:00:00 AM"},
        {836452800 + 3723, "Thursday, July 04, 1996 1:02:03 AM"},
        {0, "Wednesday, December 31, 1969 7:00:00 PM"},
        {-1, ""},
        {INT32_MIN, ""},
    };
    for (const char* locale : {static_cast<const char*>(nullptr), kForeignLocale}) {
        LocalZone zone("America/New_York", locale);
        if (locale != nullptr && !zone.LocaleSet()) {
            // The "C" locale ran first; only the foreign run is left out.
            GTEST_SKIP() << "locale " << locale << " is not installed (package locales-all)";
        }
        for (const auto& row : rows) {
            SCOPED_TRACE(row.time);
            EXPECT_EQ(LongDateText(row.time), row.text);
        }
    }
}

TEST(PropertiesTextsTest, OneFile) {
    LocalZone zone;
    RemoteEntry entry("name", 512, kFifthOfJanuary1996, kTenthOfMarchNoon);
    PropertiesTexts texts = PropertiesTexts::Build(std::span(&entry, 1), 1);
    EXPECT_EQ(texts.Caption(), "name Properties");
    EXPECT_EQ(texts.headingText, "name");
    EXPECT_EQ(texts.typeText, "File");
    EXPECT_EQ(texts.sizeSummary, "512 bytes");
    EXPECT_EQ(texts.thirdLabel, "Modified:");
    EXPECT_EQ(texts.thirdValue, "Friday, January 05, 1996 1:45:00 PM");
    EXPECT_EQ(texts.fourthLabel, "");
    EXPECT_EQ(texts.fourthValue, "");
    EXPECT_EQ(texts.iconIndex, 2);
}

TEST(PropertiesTextsTest, OneLink) {
    LocalZone zone;
    RemoteEntry entry = Line("lrwxrwxrwx 1 root root 7 Jan 5 1996 bin -> usr/bin");
    PropertiesTexts texts = PropertiesTexts::Build(std::span(&entry, 1), 1);
    EXPECT_EQ(texts.Caption(), "bin Properties");
    EXPECT_EQ(texts.typeText, "Symbolic link");
    EXPECT_EQ(texts.sizeSummary, "7 bytes");
    EXPECT_EQ(texts.thirdLabel, "Links to:");
    EXPECT_EQ(texts.thirdValue, "usr/bin");
    EXPECT_EQ(texts.fourthLabel, "Modified:");
    EXPECT_EQ(texts.fourthValue, "Friday, January 05, 1996 12:00:00 AM");
    EXPECT_EQ(texts.iconIndex, 1);
}

TEST(PropertiesTextsTest, OneDirectoryAndOnePlaceholder) {
    LocalZone zone;
    RemoteEntry directory = Line("drwxr-xr-x 2 o g 512 Jan 5 1996 pub");
    PropertiesTexts texts = PropertiesTexts::Build(std::span(&directory, 1), 1);
    EXPECT_EQ(texts.typeText, "Folder");
    EXPECT_EQ(texts.iconIndex, 0);

    RemoteEntry placeholder = Line("total 12");
    texts = PropertiesTexts::Build(std::span(&placeholder, 1), 1);
    EXPECT_EQ(texts.Caption(), "\"total 12\" Properties");
    EXPECT_EQ(texts.headingText, "\"total 12\"");
    EXPECT_EQ(texts.typeText, "File");
    EXPECT_EQ(texts.sizeSummary, "0 bytes");
    EXPECT_EQ(texts.thirdLabel, "Modified:");
    EXPECT_EQ(texts.thirdValue, "");
    EXPECT_EQ(texts.iconIndex, 2);

    RemoteEntry blank;
    EXPECT_EQ(PropertiesTexts::Build(std::span(&blank, 1), 1).Caption(), "properties");
}

TEST(PropertiesTextsTest, SeveralEntries) {
    LocalZone zone;
    const RemoteEntry directory = Line("drwxr-xr-x 2 o g 512 Jan 5 1996 pub");
    const RemoteEntry link = Line("lrwxrwxrwx 1 o g 7 Jan 5 1996 bin -> usr/bin");
    struct {
        const char* name;
        std::vector<RemoteEntry> selected;
        int count;
        std::string caption;
        std::string heading;
        std::string type;
        std::string size;
    } rows[] = {
        {"two files and a folder",
         {File("a", 100), directory, File("c", 1000)},
         3,
         "a, ... Properties",
         "2 Files, 1 Folders, 0 Symbolic links",
         "Multiple types",
         "1.57KB (1612 bytes)"},
        {"two folders",
         {directory, directory},
         2,
         "pub, ... Properties",
         "0 Files, 2 Folders, 0 Symbolic links",
         "All of type Folder",
         "1024 bytes"},
        {"two links",
         {link, link},
         2,
         "bin, ... Properties",
         "0 Files, 0 Folders, 2 Symbolic links",
         "All of type Symbolic link",
         "14 bytes"},
        {"two files",
         {File("a", 1), File("b", 2)},
         2,
         "a, ... Properties",
         "2 Files, 0 Folders, 0 Symbolic links",
         "All of type File",
         "3 bytes"},
        {"one of each",
         {link, File("a", 1), directory},
         3,
         "bin, ... Properties",
         "1 Files, 1 Folders, 1 Symbolic links",
         "Multiple types",
         "520 bytes"},
        {"total beyond 4 GB",
         {File("a", 2000000000), File("b", 2000000000), File("c", 1000000000)},
         3,
         "a, ... Properties",
         "3 Files, 0 Folders, 0 Symbolic links",
         "All of type File",
         "4768MB (5000000000 bytes)"},
        {"exact sizes whose sum passes 2^63-1 stop there",
         {File("a", INT64_MAX), File("b", INT64_MAX)},
         2,
         "a, ... Properties",
         "2 Files, 0 Folders, 0 Symbolic links",
         "All of type File",
         "8796093022208MB (9223372036854775807 bytes)"},
        {"a name that is not UTF-8 shows as Latin-1",
         {File("caf\xE9", 1), File("b", 2)},
         2,
         "caf\xC3\xA9, ... Properties",
         "2 Files, 0 Folders, 0 Symbolic links",
         "All of type File",
         "3 bytes"},
        {"wrapped sizes stay negative",
         {File("a", -1294967296), File("b", 0)},
         2,
         "a, ... Properties",
         "2 Files, 0 Folders, 0 Symbolic links",
         "All of type File",
         "-1294967296 bytes"},
        {"count below the selection reads only the count",
         {File("a", 1), File("b", 2), directory},
         2,
         "a, ... Properties",
         "2 Files, 0 Folders, 0 Symbolic links",
         "All of type File",
         "3 bytes"},
        {"count beyond the selection reads what exists",
         {File("a", 1), File("b", 2)},
         5,
         "a, ... Properties",
         "2 Files, 0 Folders, 0 Symbolic links",
         "All of type File",
         "3 bytes"},
        {"empty selection",
         {},
         2,
         "properties",
         "0 Files, 0 Folders, 0 Symbolic links",
         "Multiple types",
         "0 bytes"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PropertiesTexts texts = PropertiesTexts::Build(row.selected, row.count);
        EXPECT_EQ(texts.Caption(), row.caption);
        EXPECT_EQ(texts.headingText, row.heading);
        EXPECT_EQ(texts.typeText, row.type);
        EXPECT_EQ(texts.sizeSummary, row.size);
        EXPECT_EQ(texts.thirdLabel, "");
        EXPECT_EQ(texts.thirdValue, "");
        EXPECT_EQ(texts.fourthLabel, "");
        EXPECT_EQ(texts.fourthValue, "");
        EXPECT_EQ(texts.iconIndex, PropertiesTexts::kSeveralIcon);
    }
}

// With a count of one only the first selected entry is described.
TEST(PropertiesTextsTest, CountOfOneDescribesTheFirst) {
    LocalZone zone;
    std::vector<RemoteEntry> selected = {File("a", 1), File("b", 2)};
    PropertiesTexts texts = PropertiesTexts::Build(selected, 1);
    EXPECT_EQ(texts.Caption(), "a Properties");
    EXPECT_EQ(texts.sizeSummary, "1 bytes");
}

}  // namespace
