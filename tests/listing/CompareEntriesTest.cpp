// The list orders: names as unsigned bytes, signed sizes, times with -1 oldest, permissions, and the
// unsorted modes.
#include <gtest/gtest.h>

#include <climits>

#include "listing/CompareEntries.h"

namespace {

RemoteEntry Entry(const std::string& name, std::int32_t size = 0, std::int32_t time = 0) {
    return RemoteEntry(name, size, time, 0);
}

RemoteEntry Moded(int permissions) {
    RemoteEntry entry = Entry("m");
    entry.SetPermissions(permissions);
    return entry;
}

int Sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(CompareEntriesTest, Orders) {
    struct {
        const char* name;
        RemoteEntry a;
        RemoteEntry b;
        int sortMode;
        int expected;  // sign of the result
    } rows[] = {
        {"upper case before lower case", Entry("Zeta"), Entry("alpha"), 1, -1},
        {"prefix first", Entry("abc"), Entry("abcd"), 1, -1},
        {"longer after its prefix", Entry("abcd"), Entry("abc"), 1, 1},
        {"equal names", Entry("abc"), Entry("abc"), 1, 0},
        {"bytes above 127 after ASCII", Entry("\xe9t\xe9"), Entry("zz"), 1, 1},
        {"names descending", Entry("Zeta"), Entry("alpha"), -1, 1},
        {"prefix last descending", Entry("abc"), Entry("abcd"), -1, 1},
        {"negative size first", Entry("a", -1294967296), Entry("b", 0), 2, -1},
        {"sizes across the whole range", Entry("a", INT32_MIN), Entry("b", INT32_MAX), 2, -1},
        {"sizes across the whole range, reversed", Entry("a", INT32_MAX), Entry("b", INT32_MIN), 2, 1},
        {"equal sizes", Entry("a", 5), Entry("b", 5), 2, 0},
        {"sizes descending", Entry("a", INT32_MIN), Entry("b", INT32_MAX), -2, 1},
        {"no valid time is oldest", Entry("a", 0, -1), Entry("b", 0, 0), 3, -1},
        {"newer after older", Entry("a", 0, 2000000000), Entry("b", 0, 1), 3, 1},
        {"equal times", Entry("a", 0, 7), Entry("b", 0, 7), 3, 0},
        {"no valid time last descending", Entry("a", 0, -1), Entry("b", 0, 0), -3, 1},
        {"mode 0 is unsorted", Entry("a", 1, 1), Entry("b", 2, 2), 0, 0},
        {"unknown permissions first", Entry("a"), Moded(0), 4, -1},
        {"fewer bits first", Moded(0644), Moded(04644), 4, -1},
        {"more bits first descending", Moded(0644), Moded(04644), -4, 1},
        {"mode 5 is unsorted", Entry("a", 1, 1), Entry("b", 2, 2), 5, 0},
        {"mode -5 is unsorted", Entry("a", 1, 1), Entry("b", 2, 2), -5, 0},
        {"mode INT_MIN is unsorted", Entry("a", 1, 1), Entry("b", 2, 2), INT_MIN, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Sign(CompareEntries(row.a, row.b, row.sortMode)), row.expected);
    }
}

}  // namespace
