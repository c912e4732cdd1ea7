// The Remote page's commands without widgets: Delete, Logoff and Abort, downloads with their folder and
// overwrite questions, and dropped files, as the requests a session would receive.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "remote/RemotePageState.h"
#include "support/MessageLog.h"
#include "support/RecordingQueue.h"
#include "support/TempDir.h"

namespace {

// Answers from a script: the folder (nothing = cancelled) and one answer per question, recording both.
class ScriptedChoices : public DownloadChoices {
  public:
    std::optional<std::string> ChooseFolder(const std::string& startFolder) override {
        startFolders.push_back(startFolder);
        return folder;
    }
    Answer AskOverwrite(const std::string& localPath) override {
        asked.push_back(localPath);
        if (whileAsking) {
            whileAsking();
        }
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question about " << localPath;
            return Answer::Cancel;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::string> folder;
    std::function<void()> whileAsking;
    std::deque<Answer> answers;
    std::vector<std::string> startFolders;
    std::vector<std::string> asked;
};

std::string Line(const std::string& name, char type = '-', const std::string& target = {}) {
    std::string line = std::string(1, type) + "rw-r--r--   1 ftp      ftp      100 Jan  5 13:45 " + name;
    if (!target.empty()) {
        line += " -> " + target;
    }
    return line;
}

class RemotePageCommandsTest : public ::testing::Test {
  protected:
    RemotePageCommandsTest() : state_(log_) {
        queue_ = std::make_shared<RecordingQueue>();
        state_.ResetForSession(queue_);
    }
    void List(const std::string& path, const std::vector<std::string>& lines) {
        ASSERT_FALSE(state_.EnterDirectory(path));
        for (const std::string& line : lines) {
            state_.AddListingLine(line);
        }
        state_.FinishListing(true);
    }
    bool Get(const std::vector<int>& rows, int mode = kAsciiType) {
        deselected_.clear();
        return state_.GetFilesAs(rows, mode, choices_, [this](int row) { deselected_.push_back(row); });
    }

    MessageLog log_;
    RemotePageState state_;
    std::shared_ptr<RecordingQueue> queue_;
    ScriptedChoices choices_;
    std::vector<int> deselected_;
    TempDir local_;
};

TEST_F(RemotePageCommandsTest, DownloadAsksAboutExistingFilesOnly) {
    using A = DownloadChoices::Answer;
    ASSERT_TRUE(local_.WriteFile("sub/b.txt", "old"));
    ASSERT_TRUE(local_.WriteFile("sub/c.txt", "old"));
    const std::string sub = (local_ / "sub").string();
    const struct {
        const char* what;
        std::string folder;
        std::deque<A> answers;
        bool queued;
        std::vector<std::int32_t> indexes;
        std::vector<int> deselected;
        std::vector<std::string> asked;
    } cases[] = {
        {"a sub-folder, nothing there yet", (local_ / "empty").string(), {}, true, {0, 1, 2}, {}, {}},
        {"the root folder joins with a single slash", "/", {}, true, {0, 1, 2}, {}, {}},
        {"No at the second of three",
         sub,
         {A::No, A::Yes},
         true,
         {0, 2},
         {1},
         {sub + "/b.txt", sub + "/c.txt"}},
        {"Cancel at the second of three", sub, {A::Cancel}, false, {}, {}, {sub + "/b.txt"}},
        {"No for every existing file",
         sub + "/",
         {A::No, A::No},
         true,
         {0},
         {1, 2},
         {sub + "/b.txt", sub + "/c.txt"}},
    };
    std::filesystem::create_directory(local_ / "empty");
    List("/pub", {Line("a.txt"), Line("b.txt"), Line("c.txt")});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        queue_->queued.clear();
        choices_.asked.clear();
        choices_.folder = c.folder;
        choices_.answers = c.answers;
        EXPECT_EQ(Get({0, 1, 2}), c.queued);
        EXPECT_EQ(choices_.asked, c.asked);
        EXPECT_EQ(deselected_, c.deselected);
        if (c.queued) {
            ASSERT_EQ(queue_->queued.size(), 1U);
            EXPECT_EQ(queue_->queued[0], (Queued{FtpRequestKind::Get, c.folder, c.indexes, {}, kAsciiType}));
        } else {
            EXPECT_TRUE(queue_->queued.empty());
        }
        EXPECT_EQ(state_.DownloadFolder(), c.folder);
    }
}

TEST_F(RemotePageCommandsTest, AllAnsweredNoOrTheFolderCancelledQueuesNothing) {
    using A = DownloadChoices::Answer;
    ASSERT_TRUE(local_.WriteFile("a.txt", "old"));
    List("/pub", {Line("a.txt")});
    choices_.folder = local_.Path().string();
    choices_.answers = {A::No};
    EXPECT_FALSE(Get({0}));
    choices_.folder.reset();
    EXPECT_FALSE(Get({0}));
    EXPECT_TRUE(queue_->queued.empty());
    // The chooser opens on the last folder chosen, and a cancel keeps it.
    EXPECT_EQ(choices_.startFolders, (std::vector<std::string>{"", local_.Path().string()}));
    EXPECT_EQ(state_.DownloadFolder(), local_.Path().string());
}

// The question names the file the download will write: the server's name as UTF-8, '/' and control
// characters as '_'.
TEST_F(RemotePageCommandsTest, DownloadAsksAboutTheNameTheFileGetsOnDisk) {
    using A = DownloadChoices::Answer;
    const struct {
        const char* what;
        std::string line;
        std::string localName;
    } cases[] = {
        {"Latin-1 name", Line("caf\xE9"), "caf\xC3\xA9"},
        {"slash in an MLSD name", "type=file;size=1; a/b", "a_b"},
        {"tab in a DOS name", "01-05-21  10:00  5 tab\there", "tab_here"},
    };
    choices_.folder = local_.Path().string();
    int listing = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(local_.WriteFile(c.localName, "old"));
        List("/pub" + std::to_string(++listing), {c.line});
        choices_.asked.clear();
        choices_.answers = {A::No};
        EXPECT_FALSE(Get({0}));
        EXPECT_EQ(choices_.asked, (std::vector<std::string>{(local_ / c.localName).string()}));
    }
}

TEST_F(RemotePageCommandsTest, LinkIsCheckedUnderTheLastPartOfItsTarget) {
    using A = DownloadChoices::Answer;
    ASSERT_TRUE(local_.WriteFile("file.txt", "old"));
    List("/", {Line("link", 'l', "/pub/dir/file.txt"), Line("evil", 'l', "/pub/dir/..")});
    choices_.folder = local_.Path().string();
    choices_.answers = {A::Yes};
    // The hostile target ".." names no local file: no question; the engine refuses it and says why.
    EXPECT_TRUE(Get({0, 1}));
    EXPECT_EQ(choices_.asked, std::vector<std::string>{local_.Path().string() + "/file.txt"});
    ASSERT_EQ(queue_->queued.size(), 1U);
    EXPECT_EQ(queue_->queued[0].indexes, (std::vector<std::int32_t>{0, 1}));
}

TEST_F(RemotePageCommandsTest, AListingArrivingWhileAQuestionIsOpenChangesNothingAsked) {
    using A = DownloadChoices::Answer;
    ASSERT_TRUE(local_.WriteFile("a.txt", "old"));
    List("/pub", {Line("a.txt"), Line("b.txt"), Line("c.txt")});
    choices_.folder = local_.Path().string();
    choices_.answers = {A::Yes};
    // The worker shows a shorter listing while the user reads the question.
    choices_.whileAsking = [this] { List("/etc", {Line("x")}); };
    EXPECT_TRUE(Get({0, 1, 2}));
    EXPECT_EQ(choices_.asked, std::vector<std::string>{local_.Path().string() + "/a.txt"});
    ASSERT_EQ(queue_->queued.size(), 1U);
    EXPECT_EQ(queue_->queued[0].indexes, (std::vector<std::int32_t>{0, 1, 2}));
}

TEST_F(RemotePageCommandsTest, EachRequestKeepsTheModeItWasQueuedWith) {
    List("/pub", {Line("a.txt")});
    choices_.folder = local_.Path().string();
    EXPECT_TRUE(Get({0}, kAsciiType));
    EXPECT_TRUE(Get({0}, kImageType));
    ASSERT_TRUE(local_.WriteFile("up.bin", "x"));
    EXPECT_TRUE(state_.PutFiles({(local_ / "up.bin").string()}, kImageType));
    ASSERT_EQ(queue_->queued.size(), 3U);
    EXPECT_EQ(queue_->queued[0].value, kAsciiType);
    EXPECT_EQ(queue_->queued[1].value, kImageType);
    EXPECT_EQ(queue_->queued[2].value, kImageType);
}

TEST_F(RemotePageCommandsTest, DroppedFoldersAreLeftOutWithAReason) {
    ASSERT_TRUE(local_.WriteFile("one.txt", "1"));
    ASSERT_TRUE(local_.WriteFile("folder/inner.txt", "2"));
    const std::string one = (local_ / "one.txt").string();
    const std::string folder = (local_ / "folder").string();
    const std::string missing = (local_ / "missing.txt").string();

    EXPECT_TRUE(state_.PutFiles({one, folder, missing}, kAsciiType));
    // Only a folder: nothing to queue.
    EXPECT_FALSE(state_.PutFiles({folder}, kAsciiType));
    ASSERT_EQ(queue_->queued.size(), 1U);
    // A file that vanished is the engine's to report, as any file it cannot open.
    EXPECT_EQ(queue_->queued[0], (Queued{FtpRequestKind::Put, "", {}, {one, missing}, kAsciiType}));
    EXPECT_EQ(std::count(log_.messages.begin(), log_.messages.end(),
                         "... Skipped " + folder + ": a folder cannot be stored as a file"),
              2);
}

TEST_F(RemotePageCommandsTest, DeleteLogoffAndAbortOnlyWhileConnected) {
    List("/pub", {Line("a"), Line("b"), Line("c")});
    state_.Arrange(1);
    state_.SortByColumn(0);
    state_.SortByColumn(0);  // descending: rows c, b, a over slots 2, 1, 0
    state_.DeleteRows({0, 2});
    state_.DeleteRows({});
    state_.Logoff();
    state_.Abort();
    EXPECT_EQ(queue_->queued, (std::vector<Queued>{{FtpRequestKind::Delete, "", {2, 0}, {}, 0},
                                                   {FtpRequestKind::Logoff, "", {}, {}, 0}}));
    EXPECT_EQ(queue_->aborts, 1);

    state_.ResetAfterSession();
    state_.DeleteRows({0});
    state_.Logoff();
    state_.Abort();
    choices_.folder = local_.Path().string();
    EXPECT_FALSE(Get({0}));
    EXPECT_FALSE(state_.PutFiles({(local_ / "x").string()}, kAsciiType));
    EXPECT_EQ(queue_->queued.size(), 2U);
    EXPECT_EQ(queue_->aborts, 1);
    EXPECT_TRUE(choices_.startFolders.empty());
}

}  // namespace
