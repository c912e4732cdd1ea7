// Rows sorted by name as the Remote page's Name column shows them: unsigned byte order, a prefix first,
// equal names in their earlier order, ascending and descending, for names short and long.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listing/NameSorter.h"

namespace {

struct NameOrderRow {
    const char* what;
    std::vector<std::string> names;  // stored in slots 0, 1, ... and shown in that order
    bool descending;
    std::vector<int> expectedSlots;
};

const std::string kLong = "a-name-longer-than-sixteen-bytes-";

const NameOrderRow kRows[] = {
    {"upper case before lower case", {"beta", "Alpha", "alpha", "Beta"}, false, {1, 3, 2, 0}},
    {"descending reverses it", {"beta", "Alpha", "alpha", "Beta"}, true, {0, 2, 3, 1}},
    {"a prefix goes first", {"abc", "ab", "abcd", "a"}, false, {3, 1, 0, 2}},
    {"a prefix goes last descending", {"abc", "ab", "abcd", "a"}, true, {2, 0, 1, 3}},
    {"bytes past 127 after ASCII",
     {"\xc3\xa9t\xc3\xa9", "zebra", "\xe2\x82\xac", "Zebra"},
     false,
     {3, 1, 0, 2}},
    {"equal names keep their order", {"same", "other", "same", "same"}, false, {1, 0, 2, 3}},
    {"equal names keep their order descending", {"same", "other", "same", "same"}, true, {0, 2, 3, 1}},
    {"a NUL byte after the end of a prefix",
     {std::string("ab\0", 3), "ab", std::string("ab\0c", 4)},
     false,
     {1, 0, 2}},
    {"names alike for sixteen bytes and more",
     {kLong + "c", kLong + "a", kLong, kLong + "b", kLong + "a"},
     false,
     {2, 1, 4, 3, 0}},
    {"names alike for sixteen bytes, descending",
     {kLong + "c", kLong + "a", kLong, kLong + "b", kLong + "a"},
     true,
     {0, 3, 1, 4, 2}},
    {"exactly sixteen and seventeen bytes",
     {"0123456789abcdefg", "0123456789abcdef", "0123456789abcdeF"},
     false,
     {2, 1, 0}},
    {"empty", {}, false, {}},
};

class NameSorterTest : public testing::TestWithParam<NameOrderRow> {};

TEST_P(NameSorterTest, GivesTheNameOrder) {
    const NameOrderRow& row = GetParam();
    EntryArray entries;
    std::vector<int> slots;
    for (std::size_t i = 0; i < row.names.size(); ++i) {
        entries.Set(static_cast<int>(i), RemoteEntry(row.names[i], 0, 0, 0));
        slots.push_back(static_cast<int>(i));
    }
    NameSorter::Sort(slots, entries, row.descending);
    EXPECT_EQ(slots, row.expectedSlots) << row.what;
}

INSTANTIATE_TEST_SUITE_P(Rows, NameSorterTest, testing::ValuesIn(kRows));

// Rows already in another order (as after a sort by size), some slots not shown (deleted): only the
// rows given come back, ties in the order they had.
TEST(NameSorterOrderTest, StartsFromTheRowsAsShown) {
    EntryArray entries;
    const std::vector<std::string> names = {"b", "a", "gone", "b", "a"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        entries.Set(static_cast<int>(i), RemoteEntry(names[i], 0, 0, 0));
    }
    std::vector<int> slots = {4, 3, 0, 1};
    NameSorter::Sort(slots, entries, false);
    EXPECT_EQ(slots, (std::vector<int>{4, 1, 3, 0}));
}

}  // namespace
