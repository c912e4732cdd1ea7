// The slots of one directory's entries: growth past the first 16, stable indexes, blanking and trimming.
#include <gtest/gtest.h>

#include <string>

#include "listing/EntryArray.h"

namespace {

RemoteEntry Named(int i) {
    return RemoteEntry("f" + std::to_string(i), i, 0, 0);
}

TEST(EntryArrayTest, StartsWithSixteenBlankSlots) {
    EntryArray array;
    ASSERT_EQ(array.Count(), 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_TRUE(array[i].IsBlank());
        EXPECT_EQ(array[i].Kind(), EntryKind::File);
        EXPECT_EQ(array[i].Time(), 0);
    }
}

TEST(EntryArrayTest, WritingPastTheEndGrowsAndKeepsIndexes) {
    EntryArray array;
    for (int i = 0; i <= 16; ++i) {
        ASSERT_TRUE(array.Set(i, Named(i)));
    }
    EXPECT_EQ(array.Count(), 17);
    ASSERT_TRUE(array.Set(40, Named(40)));
    EXPECT_EQ(array.Count(), 41);
    for (int i = 0; i <= 16; ++i) {
        EXPECT_EQ(array[i].Name(), "f" + std::to_string(i));
    }
    for (int i = 17; i < 40; ++i) {
        EXPECT_TRUE(array[i].IsBlank()) << i;
    }
    EXPECT_EQ(array[40].Name(), "f40");
}

TEST(EntryArrayTest, OutsideIndexesChangeNothing) {
    EntryArray array;
    EXPECT_FALSE(array.Set(-1, Named(1)));
    EXPECT_FALSE(array.MakeBlank(-1));
    EXPECT_FALSE(array.MakeBlank(16));
    EXPECT_EQ(array.Count(), 16);
    EXPECT_TRUE(array.At(-1).IsBlank());
    EXPECT_TRUE(array.At(16).IsBlank());
    EXPECT_FALSE(array.Contains(16));
}

TEST(EntryArrayTest, BlankingKeepsTheSlot) {
    EntryArray array;
    for (int i = 0; i < 3; ++i) {
        array.Set(i, Named(i));
    }
    ASSERT_TRUE(array.MakeBlank(1));
    EXPECT_TRUE(array[1].IsBlank());
    EXPECT_EQ(array[1].SizeText(), "1");
    EXPECT_EQ(array[2].Name(), "f2");
    EXPECT_EQ(array.Count(), 16);
}

TEST(EntryArrayTest, TrimKeepsExactlyTheUsedSlots) {
    EntryArray array;
    for (int i = 0; i < 20; ++i) {
        array.Set(i, Named(i));
    }
    array.Trim(3);
    ASSERT_EQ(array.Count(), 3);
    EXPECT_EQ(array[2].Name(), "f2");
    array.Trim(0);
    EXPECT_EQ(array.Count(), 0);
    // A trimmed array still grows when written.
    array.Set(0, Named(7));
    EXPECT_EQ(array.Count(), 1);
    EXPECT_EQ(array[0].Name(), "f7");
}

}  // namespace
