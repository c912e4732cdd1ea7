// The Remote page's folder commands without widgets: New folder and Rename with the names they refuse,
// Delete of a selection holding folders (the walk, the question, the answer), and what the page shows
// when the session reports the outcome.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/DeletePlan.h"
#include "remote/RemotePageState.h"
#include "support/MessageLog.h"
#include "support/RecordingQueue.h"

namespace {

class CountingObserver : public RemotePageObserver {
  public:
    void DeletePlanWaiting() override { ++waiting; }
    void RowChanged(int row) override { changed.push_back(row); }
    int waiting = 0;
    std::vector<int> changed;
};

std::string File(const std::string& name) {
    return "-rw-r--r--   1 ftp      ftp      100 Jan  5 13:45 " + name;
}
std::string Folder(const std::string& name) {
    return "drwxr-xr-x   2 ftp      ftp     4096 Jan  5 13:45 " + name;
}
std::string Link(const std::string& name, const std::string& target) {
    return "lrwxrwxrwx   1 ftp      ftp        4 Jan  5 13:45 " + name + " -> " + target;
}

class RemotePageFolderCommandsTest : public ::testing::Test {
  protected:
    RemotePageFolderCommandsTest() : state_(log_) {
        queue_ = std::make_shared<RecordingQueue>();
        state_.ResetForSession(queue_);
        state_.SetObserver(&observer_);
    }
    void List(const std::string& path, const std::vector<std::string>& lines) {
        ASSERT_FALSE(state_.EnterDirectory(path));
        for (const std::string& line : lines) {
            state_.AddListingLine(line);
        }
        state_.FinishListing(true);
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (int row = 0; row < state_.RowCount(); ++row) {
            names.push_back(state_.EntryOfRow(row).Name());
        }
        return names;
    }

    MessageLog log_;
    CountingObserver observer_;
    RemotePageState state_;
    std::shared_ptr<RecordingQueue> queue_;
};

TEST_F(RemotePageFolderCommandsTest, DeleteWalksOnlyWhenFoldersAreSelected) {
    struct Case {
        const char* what;
        std::vector<int> rows;
        Queued expected;
    };
    const std::vector<Case> cases = {
        {"files only: the plain Delete, without a question", {1, 3}, {FtpRequestKind::Delete, "", {1, 3}}},
        {"a link to a folder is a file here", {2}, {FtpRequestKind::Delete, "", {2}}},
        {"a folder and a file: one walk naming both",
         {0, 1},
         {FtpRequestKind::WalkTrees, "", {0, 1}, {"/pub", "d/", "f.txt"}}},
    };
    List("/pub", {Folder("d"), File("f.txt"), Link("ln", "/etc"), File("g")});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        queue_->queued.clear();
        state_.DeleteRows(c.rows);
        ASSERT_EQ(queue_->queued.size(), 1U);
        EXPECT_EQ(queue_->queued[0], c.expected);
    }
}

TEST_F(RemotePageFolderCommandsTest, DeleteQuestionCountsFoldersAndFilesBelow) {
    struct Case {
        int folders;
        int filesBelow;
        int selectedFiles;
        int unread;
        std::string question;
    };
    const std::vector<Case> cases = {
        {1, 1, 0, 0, "Delete 1 folder holding 1 file?"},
        {3, 1234, 0, 0, "Delete 3 folders holding 1,234 files?"},
        {2, 0, 1, 0, "Delete 2 folders holding 0 files, and 1 other file?"},
        {1, 1000000, 2, 0, "Delete 1 folder holding 1,000,000 files, and 2 other files?"},
        {2, 5, 0, 1,
         "Delete 2 folders holding 5 files? 1 folder in them could not be looked into and will stay."},
    };
    List("/pub", {Folder("d")});
    for (const Case& c : cases) {
        auto plan = std::make_shared<DeletePlan>();
        plan->selectedFolders = c.folders;
        plan->filesBelow = c.filesBelow;
        plan->selectedFiles = c.selectedFiles;
        plan->unreadFolders = c.unread;
        state_.DeletePlanReady(plan);
        EXPECT_EQ(state_.DeleteQuestion(), c.question);
    }
    EXPECT_EQ(observer_.waiting, static_cast<int>(cases.size()));
}

TEST_F(RemotePageFolderCommandsTest, AnswerYesQueuesTheRemovalAndNoDropsThePlan) {
    List("/pub", {Folder("d")});
    auto plan = std::make_shared<DeletePlan>();
    plan->steps = {{"/pub/d/x", "d/x", EntryKind::File, -1, 1, false},
                   {"/pub/d", "d", EntryKind::Directory, 0, -1, false}};
    state_.DeletePlanReady(plan);
    state_.AnswerDeletePlan(false);
    EXPECT_TRUE(queue_->queued.empty());
    EXPECT_EQ(state_.PendingDeletePlan(), nullptr);
    EXPECT_EQ(log_.messages.back(), "... Delete cancelled: nothing was deleted");

    state_.DeletePlanReady(plan);
    state_.AnswerDeletePlan(true);
    state_.AnswerDeletePlan(true);  // answered once only
    ASSERT_EQ(queue_->queued.size(), 1U);
    EXPECT_EQ(queue_->queued[0], (Queued{FtpRequestKind::RemoveTrees, "", {-1, 0}, {"/pub/d/x", "/pub/d"}}));

    // A plan arriving after the session ended is nobody's to answer.
    state_.ResetAfterSession();
    state_.DeletePlanReady(plan);
    EXPECT_EQ(state_.PendingDeletePlan(), nullptr);
}

TEST_F(RemotePageFolderCommandsTest, NewFolderAndRenameRefuseNamesThatCannotBeOne) {
    struct Case {
        std::string name;
        std::string problem;  // empty: queued
    };
    const std::vector<Case> cases = {
        {"new", ""},
        {"with space \xC3\xA9", ""},
        {"", "a name cannot be empty"},
        {"a/b", "a name cannot hold '/'"},
        {"tab\there", "a name cannot hold control characters"},
        {std::string("nul\0x", 5), "a name cannot hold control characters"},
        {"..", "\"..\" names the folder itself or its parent"},
    };
    List("/pub", {File("old.txt")});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        queue_->queued.clear();
        EXPECT_EQ(state_.MakeFolder(c.name), c.problem.empty());
        EXPECT_EQ(state_.RenameRow(0, c.name), c.problem.empty());
        if (c.problem.empty()) {
            EXPECT_EQ(queue_->queued,
                      (std::vector<Queued>{{FtpRequestKind::MakeFolder, c.name},
                                           {FtpRequestKind::Rename, "", {0}, {"old.txt", c.name}}}));
            EXPECT_EQ(state_.Failure(), "");
        } else {
            EXPECT_TRUE(queue_->queued.empty());
            EXPECT_EQ(state_.Failure(), "Could not rename old.txt: " + c.problem);
        }
    }
    // The same name again is no rename.
    EXPECT_FALSE(state_.RenameRow(0, "old.txt"));
}

TEST_F(RemotePageFolderCommandsTest, OutcomesChangeTheRowsAndTheCache) {
    List("/pub/sub", {File("s")});
    List("/pub/sub/deeper", {File("t")});
    List("/pub", {Folder("sub"), File("old.txt")});
    ASSERT_EQ(state_.CachedDirectories(), (std::vector<std::string>{"/pub", "/pub/sub", "/pub/sub/deeper"}));

    state_.FolderMade("made");
    state_.FolderMade("made");  // already shown: no second row
    EXPECT_EQ(Names(), (std::vector<std::string>{"sub", "old.txt", "made"}));
    EXPECT_EQ(state_.EntryOfRow(2).Kind(), EntryKind::Directory);

    state_.EntryRenamed(1, "old.txt", "new.txt");
    state_.EntryRenamed(1, "old.txt", "other");  // the slot no longer holds that name: nothing changes
    EXPECT_EQ(Names(), (std::vector<std::string>{"sub", "new.txt", "made"}));
    EXPECT_EQ(observer_.changed, (std::vector<int>{1}));

    state_.EntryRenamed(0, "sub", "renamed");
    EXPECT_EQ(Names(), (std::vector<std::string>{"renamed", "new.txt", "made"}));
    EXPECT_EQ(state_.CachedDirectories(), (std::vector<std::string>{"/pub"}));

    // The cached copy of /pub is the listing shown: going elsewhere and back shows the changes.
    ASSERT_TRUE(state_.EnterDirectory("/pub"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"renamed", "new.txt", "made"}));
}

}  // namespace
