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

// Listings across the blocks the slots are kept in: every slot keeps its entry while the array grows
// and after a trim, and a trim leaves exactly the used slots.
struct GrowthRow {
    int written;  // slots 0 .. written-1 are set
    int trimmedTo;
};

const GrowthRow kGrowthRows[] = {
    {EntryArray::kBlockSlots - 1, EntryArray::kBlockSlots - 1},
    {EntryArray::kBlockSlots, EntryArray::kBlockSlots},
    {EntryArray::kBlockSlots + 1, EntryArray::kBlockSlots + 1},
    {EntryArray::kBlockSlots * 3 + 5, EntryArray::kBlockSlots},
    {EntryArray::kBlockSlots * 2, EntryArray::kBlockSlots + 7},
    {EntryArray::kBlockSlots * 2 + 1, 20},
};

class EntryArrayGrowthTest : public testing::TestWithParam<GrowthRow> {};

TEST_P(EntryArrayGrowthTest, SlotsKeepTheirEntries) {
    const GrowthRow& row = GetParam();
    EntryArray array;
    const RemoteEntry* first = nullptr;
    for (int i = 0; i < row.written; ++i) {
        ASSERT_TRUE(array.Set(i, Named(i)));
        if (i == EntryArray::kBlockSlots - 1) {
            first = &array[0];  // a full block
        }
    }
    ASSERT_EQ(array.Count(), row.written);
    // Growing past a full block moves nothing in it.
    if (first != nullptr) {
        EXPECT_EQ(&array[0], first);
    }
    array.Trim(row.trimmedTo);
    ASSERT_EQ(array.Count(), row.trimmedTo);
    for (int i = 0; i < row.trimmedTo; ++i) {
        ASSERT_EQ(array[i].Name(), "f" + std::to_string(i)) << i;
    }
    EXPECT_TRUE(array.At(row.trimmedTo).IsBlank());
    // Written past the end again: new slots are blank, the old ones kept.
    ASSERT_TRUE(array.Set(row.trimmedTo + EntryArray::kBlockSlots, Named(1)));
    EXPECT_TRUE(array[row.trimmedTo].IsBlank());
    EXPECT_EQ(array[row.trimmedTo - 1].Name(), "f" + std::to_string(row.trimmedTo - 1));
    EXPECT_EQ(array.Count(), row.trimmedTo + EntryArray::kBlockSlots + 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, EntryArrayGrowthTest, testing::ValuesIn(kGrowthRows));

}  // namespace
