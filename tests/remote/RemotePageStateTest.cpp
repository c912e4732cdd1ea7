#include "remote/RemotePageState.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "listing/CompareEntries.h"
#include "support/MessageLog.h"

namespace {

struct Queued {
    FtpRequestKind kind;
    std::string text;
    bool operator==(const Queued&) const = default;
};

class RecordingQueue : public RemoteRequestQueue {
  public:
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>&,
                 int) override {
        queued.push_back({kind, std::string(text)});
        return true;
    }
    std::vector<Queued> queued;
};

class CountingObserver : public RemotePageObserver {
  public:
    void RowsReset() override { ++resets; }
    void RowsAppended(int, int count) override { appended += count; }
    int resets = 0;
    int appended = 0;
};

// A long-listing line for a file (or, with 'd' / 'l', a directory or link) of `size` bytes.
std::string Line(const std::string& name, std::int64_t size = 100, char type = '-') {
    return std::string(1, type) + "rw-r--r--   1 ftp      ftp      " + std::to_string(size) +
           " Jan  5 13:45 " + name;
}

class RemotePageStateTest : public ::testing::Test {
  protected:
    RemotePageStateTest() : state_(log_) {
        queue_ = std::make_shared<RecordingQueue>();
        state_.ResetForSession(queue_);
    }

    // Lists `path` with `lines` the way the worker does after a successful change of directory.
    void List(const std::string& path, const std::vector<std::string>& lines, bool complete = true) {
        ASSERT_FALSE(state_.EnterDirectory(path));
        for (const std::string& line : lines) {
            state_.AddListingLine(line);
        }
        state_.FinishListing(complete);
    }

    std::vector<std::string> RowNames() const {
        std::vector<std::string> names;
        for (int row = 0; row < state_.RowCount(); ++row) {
            names.push_back(state_.EntryOfRow(row).Name());
        }
        return names;
    }

    MessageLog log_;
    RemotePageState state_;
    std::shared_ptr<RecordingQueue> queue_;
};

TEST_F(RemotePageStateTest, ListingLinesShorterThan31CharactersCarryNoEntry) {
    const struct {
        std::string line;
        int rows;
    } cases[] = {
        {std::string(30, 'x'), 0},
        {std::string(31, 'x'), 1},  // unparsable, but long enough: a placeholder row
        {"total 12", 0},
        {Line("a.txt"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_FALSE(state_.EnterDirectory("/x"));
        state_.AddListingLine(c.line);
        EXPECT_EQ(state_.RowCount(), c.rows);
        EXPECT_EQ(state_.UsedCount(), c.rows);
        state_.FinishListing(false);
    }
}

TEST_F(RemotePageStateTest, BatchOfLinesAppendsLikeSingleLines) {
    CountingObserver observer;
    state_.SetObserver(&observer);
    ASSERT_FALSE(state_.EnterDirectory("/pub"));
    state_.AddListingLines({"total 3", Line("a"), Line("b"), std::string(30, 'y'), Line("c")});
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(observer.appended, 3);
    state_.SetObserver(nullptr);
}

TEST_F(RemotePageStateTest, CompletedListingIsCachedAndShownAgainInSlotOrderWithoutAList) {
    List("/pub", {Line("c", 3), Line("a", 1), Line("b", 2)});
    EXPECT_EQ(state_.CurrentDirectory(), "/pub");
    EXPECT_EQ(log_.messages.back(), "... cached a copy of /pub");
    state_.SortByColumn(0);
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"a", "b", "c"}));
    List("/etc", {Line("x")});

    EXPECT_TRUE(state_.EnterDirectory("/pub"));
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(state_.CurrentDirectory(), "/pub");
    EXPECT_EQ(state_.DirectoryText(), "/pub");
    EXPECT_TRUE(queue_->queued.empty());
    EXPECT_EQ(state_.CachedDirectories(), (std::vector<std::string>{"/etc", "/pub"}));
}

TEST_F(RemotePageStateTest, DeletedFileStaysGoneWhenItsDirectoryComesBackFromTheCache) {
    List("/pub", {Line("a"), Line("b"), Line("c")});
    state_.RemoveEntry(1);
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"a", "c"}));
    EXPECT_TRUE(state_.EntryAt(1).IsBlank());
    EXPECT_EQ(state_.EntryAt(2).Name(), "c");  // the other slots keep their indexes
    List("/etc", {Line("x")});
    ASSERT_TRUE(state_.EnterDirectory("/pub"));
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(state_.UsedCount(), 3);
}

TEST_F(RemotePageStateTest, UploadUpdatesARowOfTheSameNameInAnyCaseAndAppendsANewOne) {
    const struct {
        std::string name;
        std::vector<std::string> rows;
        int changedRow;
    } cases[] = {
        {"readme.txt", {"zz", "README.TXT", "aa"}, 1},
        {"README.TXT", {"zz", "README.TXT", "aa"}, 1},
        {"new.txt", {"zz", "README.TXT", "aa", "new.txt"}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        List("/up", {Line("zz", 1), Line("README.TXT", 2), Line("aa", 3)});
        state_.UploadedFile(c.name, 4321, 0);
        EXPECT_EQ(RowNames(), c.rows);
        EXPECT_EQ(state_.EntryOfRow(c.changedRow).Size(), 4321);
        EXPECT_EQ(state_.EntryOfRow(c.changedRow).SizeText(), "4321");
        state_.Refresh();
    }
}

// MLSD, DOS, EPLF and Unix lines (even mixed) give rows, one line at a time or in a batch; the lines
// that give none (cdir, pdir, "total") leave no gap, and sizes beyond 4 GiB (listed or uploaded) sort as
// the numbers they are.
TEST_F(RemotePageStateTest, EveryListingFormatGivesRowsThatSortBySize) {
    const std::vector<std::string> lines = {
        "type=cdir;modify=20250105184500; /mixed",
        "type=pdir; ..",
        "type=file;size=5368709120;modify=20250105184500; mlsd big.iso",
        "total 3",
        "01-05-2021  23:15   3221225472 dos file",
        "12-25-19  10:30AM       <DIR>          dos dir",
        "+i1.2,m825718503,r,s4294967296,\teplf",
        Line("unix", 100),
    };
    const std::vector<std::string> listed = {"mlsd big.iso", "dos file", "dos dir", "eplf", "unix"};
    const std::vector<std::string> bySize = {"dos dir", "unix", "dos file", "eplf", "mlsd big.iso"};
    for (const bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "line by line");
        ASSERT_FALSE(state_.EnterDirectory(batch ? "/batch" : "/lines"));
        if (batch) {
            state_.AddListingLines(lines);
        } else {
            for (const std::string& line : lines) {
                state_.AddListingLine(line);
            }
        }
        state_.FinishListing(true);
        EXPECT_EQ(RowNames(), listed);
        state_.Arrange(2);
        EXPECT_EQ(RowNames(), bySize);
        // An upload keeps its size exact too.
        state_.UploadedFile("unix", 6000000000, 0);
        EXPECT_EQ(state_.EntryOfRow(1).SizeText(), "6000000000");
        state_.Arrange(2);
        EXPECT_EQ(RowNames().back(), "unix");
        state_.Arrange(0);
    }
}

TEST_F(RemotePageStateTest, PathsDifferingInCaseStayApartButRefreshAndFallBackMatchIgnoringCase) {
    List("/Pub", {Line("upper")});
    List("/pub", {Line("lower")});
    EXPECT_EQ(state_.CachedDirectories(), (std::vector<std::string>{"/Pub", "/pub"}));
    ASSERT_TRUE(state_.EnterDirectory("/pub"));
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"lower"}));
    ASSERT_TRUE(state_.EnterDirectory("/Pub"));
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"upper"}));

    // An aborted listing falls back to the first item that matches ignoring case.
    ASSERT_TRUE(state_.EnterDirectory("/pub"));
    List("/other", {Line("o")}, false);
    EXPECT_EQ(queue_->queued, (std::vector<Queued>{{FtpRequestKind::ChangeDir, "/pub"}}));
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"upper"}));
    EXPECT_EQ(state_.DirectoryText(), "/pub");

    // Refresh in /pub drops the first match ignoring case, too.
    state_.Refresh();
    EXPECT_EQ(state_.CachedDirectories(), (std::vector<std::string>{"/pub"}));
    EXPECT_EQ(log_.messages.back(), "... flushing cached copy of /pub");
}

TEST_F(RemotePageStateTest, DirectoryListIsSortedIgnoringCase) {
    for (const char* path : {"/b", "/C", "/a", "/B/x"}) {
        List(path, {});
    }
    EXPECT_EQ(state_.CachedDirectories(), (std::vector<std::string>{"/a", "/b", "/B/x", "/C"}));
}

TEST_F(RemotePageStateTest, ColumnClicksAlternatePerColumnAndArrangeLeavesTheAlternation) {
    List("/s", {Line("b", 30), Line("C", 10), Line("a", 20)});
    const struct {
        const char* action;
        int argument;
        int mode;
        std::vector<std::string> rows;
    } steps[] = {
        {"click", 1, 2, {"C", "a", "b"}},    // Size ascending
        {"click", 1, -2, {"b", "a", "C"}},   // Size descending
        {"click", 0, 1, {"C", "a", "b"}},    // Name starts ascending, upper case first
        {"arrange", 2, 2, {"C", "a", "b"}},  // "Arrange Icons" is always ascending
        {"click", 1, 2, {"C", "a", "b"}},    // ... and Size's alternation went on from where it was
        {"click", 0, -1, {"b", "a", "C"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.action) + " " + std::to_string(step.argument));
        if (std::string(step.action) == "click") {
            state_.SortByColumn(step.argument);
        } else {
            state_.Arrange(step.argument);
        }
        EXPECT_EQ(state_.SortMode(), step.mode);
        EXPECT_EQ(RowNames(), step.rows);
    }
    // A new session starts every column ascending again.
    state_.ResetForSession(queue_);
    EXPECT_EQ(state_.SortDirection(0), 1);
    EXPECT_EQ(state_.SortDirection(1), 1);
}

TEST_F(RemotePageStateTest, RefreshDoesNothingWhileNotConnectedOrBeforeAnyDirectory) {
    state_.Refresh();  // connected, but nothing listed yet
    List("/pub", {Line("a")}, false);
    state_.Refresh();  // an aborted first listing leaves no directory either
    EXPECT_TRUE(queue_->queued.empty());

    List("/pub", {Line("a")});
    state_.ResetAfterSession();
    state_.Refresh();
    EXPECT_TRUE(queue_->queued.empty());
    EXPECT_EQ(log_.messages, (std::vector<std::string>{"... cached a copy of /pub"}));
    EXPECT_EQ(state_.RowCount(), 0);
    EXPECT_TRUE(state_.CachedDirectories().empty());
}

TEST_F(RemotePageStateTest, AbortedListRightAfterRefreshStandsEmptyAndGoesBackToTheDirectory) {
    List("/pub", {Line("a"), Line("b")});
    state_.Refresh();
    EXPECT_EQ(queue_->queued, (std::vector<Queued>{{FtpRequestKind::ChangeDir, ""}}));
    EXPECT_TRUE(state_.CachedDirectories().empty());

    List("/pub", {Line("a")}, false);
    EXPECT_EQ(queue_->queued,
              (std::vector<Queued>{{FtpRequestKind::ChangeDir, ""}, {FtpRequestKind::ChangeDir, "/pub"}}));
    EXPECT_EQ(state_.RowCount(), 0);
    EXPECT_EQ(state_.DirectoryText(), "/pub");
    EXPECT_EQ(state_.CurrentDirectory(), "/pub");
    // The queued change lists it again.
    List("/pub", {Line("a"), Line("b")});
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(RemotePageStateTest, AbortedFirstListingLeavesAnEmptyPageAndQueuesNothing) {
    List("/pub", {Line("a")}, false);
    EXPECT_EQ(state_.RowCount(), 0);
    EXPECT_EQ(state_.DirectoryText(), "");
    EXPECT_TRUE(queue_->queued.empty());
    EXPECT_TRUE(state_.CachedDirectories().empty());
}

TEST_F(RemotePageStateTest, GetQueuedBeforeRefreshStillResolvesTheOldListing) {
    List("/pub", {Line("a"), Line("b"), Line("c")});
    const std::weak_ptr<const EntryArray> old = state_.Listing();
    state_.Refresh();
    // The worker serves the Get before the ChangeDir that Refresh queued: same array, same slots.
    EXPECT_EQ(state_.EntryAt(1).Name(), "b");
    EXPECT_EQ(state_.RowCount(), 3);
    // Once the new listing replaces it and nothing else holds it, it goes.
    List("/pub", {Line("d")});
    EXPECT_TRUE(old.expired());
    EXPECT_EQ(state_.EntryAt(0).Name(), "d");
    EXPECT_TRUE(state_.EntryAt(1).IsBlank());
}

TEST_F(RemotePageStateTest, CacheKeyIsThePathTheServerNamedNotTheEditedField) {
    ASSERT_FALSE(state_.EnterDirectory("/pub"));
    state_.SetDirectoryText("/typed/meanwhile");
    state_.AddListingLine(Line("a"));
    state_.FinishListing(true);
    EXPECT_EQ(state_.CachedDirectories(), (std::vector<std::string>{"/pub"}));
    EXPECT_EQ(state_.CurrentDirectory(), "/pub");
}

TEST_F(RemotePageStateTest, NavigationQueuesChangesOnlyWhileConnected) {
    List("/pub", {Line("dir", 0, 'd'), Line("file"), "lrwxrwxrwx   1 ftp ftp 7 Jan  5 13:45 bin -> usr/bin"});
    state_.OpenSelection({0});
    state_.OpenSelection({1});     // a file does not open
    state_.OpenSelection({2});     // a link opens its target
    state_.OpenSelection({0, 2});  // two rows open nothing
    state_.ChangeDirectory("");
    state_.ChangeDirectory("/etc");
    state_.UpOneLevel();
    EXPECT_EQ(queue_->queued, (std::vector<Queued>{{FtpRequestKind::ChangeDir, "dir"},
                                                   {FtpRequestKind::ChangeDir, "usr/bin"},
                                                   {FtpRequestKind::ChangeDir, "/etc"},
                                                   {FtpRequestKind::UpOneLevel, ""}}));
    queue_->queued.clear();
    state_.ResetAfterSession();
    state_.ChangeDirectory("/etc");
    state_.UpOneLevel();
    EXPECT_TRUE(queue_->queued.empty());
    EXPECT_FALSE(state_.Connected());
}

TEST_F(RemotePageStateTest, LinesOutsideAListingAreIgnored) {
    List("/pub", {Line("a")});
    state_.AddListingLine(Line("stray"));
    state_.FinishListing(true);
    EXPECT_EQ(RowNames(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(log_.messages.size(), 1u);
}

}  // namespace

namespace {

// Every sort mode orders the rows as CompareEntries orders their entries, equal keys keeping their order.
TEST(RemotePageStateSortTest, EveryModeFollowsCompareEntries) {
    MessageLog log;
    RemotePageState state(log);
    ASSERT_FALSE(state.EnterDirectory("/mixed"));
    const std::int64_t sizes[] = {5, 2147483648LL, 0, 5, 77, 3};
    std::vector<std::string> lines;
    for (int i = 0; i < 6; ++i) {
        lines.push_back(Line(std::string(1, "bAaCcB"[i]) + std::to_string(i), sizes[i]));
    }
    lines.push_back("-rw-r--r--   1 ftp ftp 9 xxx  5 13:45 nodate9");  // no valid time
    lines.push_back("dr-xr-xr-x   2 ftp ftp 9 Feb 29  2000 leap");
    state.AddListingLines(lines);
    state.FinishListing(true);
    for (const int mode : {1, -1, 2, -2, 3, -3}) {
        SCOPED_TRACE(mode);
        std::vector<int> expected;  // the rows as they stand, then sorted
        for (int row = 0; row < state.RowCount(); ++row) {
            expected.push_back(state.SlotOfRow(row));
        }
        state.Arrange(mode);
        std::stable_sort(expected.begin(), expected.end(), [&state, mode](int a, int b) {
            return CompareEntries(state.EntryAt(a), state.EntryAt(b), mode) < 0;
        });
        std::vector<int> rows;
        for (int row = 0; row < state.RowCount(); ++row) {
            rows.push_back(state.SlotOfRow(row));
        }
        EXPECT_EQ(rows, expected);
    }
}

}  // namespace
