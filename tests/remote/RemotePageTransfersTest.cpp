// Downloads and uploads as queue rows: with the transfer queue attached, every file of a Get or a drop is
// a row and the request names the rows (folder, name bytes, local path, listed size and time), the
// overwrite question offers Resume only where a file can be continued, and a request the session no
// longer takes leaves no row waiting.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/TransferPlan.h"
#include "remote/RemotePageState.h"
#include "support/MessageLog.h"
#include "support/RecordingQueue.h"
#include "support/TempDir.h"
#include "transfers/TransferQueue.h"

namespace {

// Answers from a script, recording whether Resume was offered.
class ScriptedChoices : public DownloadChoices {
  public:
    std::optional<std::string> ChooseFolder(const std::string&) override { return folder; }
    Answer AskOverwrite(const std::string& localPath) override { return Take(localPath, false); }
    Answer AskOverwriteOrResume(const std::string& localPath) override { return Take(localPath, true); }
    std::optional<std::string> folder;
    std::deque<Answer> answers;
    std::vector<bool> resumeOffered;

  private:
    Answer Take(const std::string&, bool offered) {
        resumeOffered.push_back(offered);
        if (answers.empty()) {
            return Answer::Cancel;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

class RemotePageTransfersTest : public ::testing::Test {
  protected:
    RemotePageTransfersTest() : state_(log_) {
        session_ = std::make_shared<RecordingQueue>();
        session_->site = "ftp://joe@127.0.0.1:2121";
        state_.ResetForSession(session_);
        state_.SetTransferRows(&queue_);
    }
    void List(const std::string& path, const std::vector<std::string>& lines) {
        ASSERT_FALSE(state_.EnterDirectory(path));
        for (const std::string& line : lines) {
            state_.AddListingLine(line);
        }
        state_.FinishListing(true);
    }

    MessageLog log_;
    RemotePageState state_;
    std::shared_ptr<RecordingQueue> session_;
    TransferQueue queue_;
    ScriptedChoices choices_;
    TempDir local_;
};

TEST_F(RemotePageTransfersTest, EveryDownloadedFileIsARowAndTheRequestNamesIt) {
    List("/pub", {"type=file;size=1000;modify=19960105134500; report.pdf", "type=file;size=20; caf\xe9.txt",
                  "type=dir; docs"});
    choices_.folder = local_.Path().string();
    ASSERT_TRUE(state_.GetFilesAs({0, 1}, kImageType, choices_, {}));

    ASSERT_EQ(session_->queued.size(), 1u);
    EXPECT_EQ(session_->queued[0].kind, FtpRequestKind::Get);
    EXPECT_EQ(session_->queued[0].text, local_.Path().string());
    EXPECT_EQ(session_->queued[0].value, kImageType);
    ASSERT_EQ(session_->transferItems.size(), 1u);
    const std::vector<TransferItem>& items = session_->transferItems[0];
    ASSERT_EQ(items.size(), 2u);
    ASSERT_EQ(queue_.Count(), 2);
    // The rows follow the order the page shows, which is sorted by name here or not at all.
    for (const TransferItem& item : items) {
        const TransferRow& row = queue_.At(queue_.IndexOf(item.row));
        EXPECT_EQ(row.remoteName, item.remoteName);
        EXPECT_EQ(row.remoteFolder, "/pub");
        EXPECT_EQ(row.site, "ftp://joe@127.0.0.1:2121");
        EXPECT_EQ(row.direction, TransferDirection::Download);
        EXPECT_EQ(row.state, TransferState::Queued);
        EXPECT_EQ(item.remoteFolder, "/pub");
        EXPECT_FALSE(item.resume);
        if (item.remoteName == "report.pdf") {
            EXPECT_EQ(item.size, 1000);
            EXPECT_TRUE(item.exactTime);
            EXPECT_EQ(item.time, 820849500);
            EXPECT_EQ(item.localPath, (local_ / "report.pdf").string());
        } else {
            // The server's bytes go back as they came; the local name is UTF-8.
            EXPECT_EQ(item.remoteName, "caf\xe9.txt");
            EXPECT_EQ(item.localPath, (local_ / "caf\xc3\xa9.txt").string());
            EXPECT_EQ(item.size, 20);
        }
    }
}

// Rows show while a long listing still arrives; what the user fetches or drops then is in that folder.
TEST_F(RemotePageTransfersTest, RowsChosenWhileTheListingArrivesNameItsFolder) {
    ASSERT_FALSE(state_.EnterDirectory("/big"));
    state_.AddListingLine("type=file;size=10; first.bin");
    choices_.folder = local_.Path().string();
    ASSERT_TRUE(state_.GetFilesAs({0}, kImageType, choices_, {}));
    const std::string dropped = (local_ / "up.txt").string();
    ASSERT_TRUE(state_.PutFiles({dropped}, kImageType));
    ASSERT_EQ(session_->transferItems.size(), 2u);
    EXPECT_EQ(session_->transferItems[0].at(0).remoteFolder, "/big");
    EXPECT_EQ(session_->transferItems[1].at(0).remoteFolder, "/big");
}

struct RoutingRow {
    const char* what;
    std::vector<std::string> lines;
    std::vector<int> rows;
    FtpRequestKind kind;
    std::vector<std::string> paths;
};

TEST_F(RemotePageTransfersTest, ASelectionWithFoldersOrLinksIsWalkedOnTheServerFirst) {
    const std::string dir = "drwxr-xr-x 2 ftp ftp 4096 Jan  5 13:45 docs";
    const std::string link = "lrwxrwxrwx 1 ftp ftp 20 Jan  5 13:45 latest -> /releases/v2";
    const std::string file = "-rw-r--r-- 1 ftp ftp 20 Jan  5 13:45 notes.txt";
    const RoutingRow rows[] = {
        {"folder", {dir}, {0}, FtpRequestKind::WalkDownload, {"/pub", "docs/"}},
        // Only the server can say whether a link leads to a folder.
        {"link", {link}, {0}, FtpRequestKind::WalkDownload, {"/pub", "latest@"}},
        {"files beside a folder",
         {dir, file},
         {0, 1},
         FtpRequestKind::WalkDownload,
         {"/pub", "docs/", "notes.txt"}},
        {"plain files", {file}, {0}, FtpRequestKind::Get, {}},
    };
    for (const RoutingRow& row : rows) {
        session_->queued.clear();
        List("/pub", row.lines);
        choices_.folder = local_.Path().string();
        ASSERT_TRUE(state_.GetFilesAs(row.rows, kImageType, choices_, {})) << row.what;
        ASSERT_EQ(session_->queued.size(), 1u) << row.what;
        EXPECT_EQ(session_->queued[0].kind, row.kind) << row.what;
        EXPECT_EQ(session_->queued[0].text, local_.Path().string()) << row.what;
        EXPECT_EQ(session_->queued[0].paths, row.paths) << row.what;
        state_.Refresh();
    }
    EXPECT_EQ(queue_.Count(), 1);  // rows only for the plain file: the walks' rows come with their plans
}

TEST_F(RemotePageTransfersTest, DroppedFoldersAreWalkedLocallyFirst) {
    List("/incoming", {});
    std::filesystem::create_directory(local_ / "folder");
    const std::vector<std::string> dropped = {(local_ / "folder").string()};
    ASSERT_TRUE(state_.PutFiles(dropped, kImageType));
    ASSERT_EQ(session_->queued.size(), 1u);
    EXPECT_EQ(session_->queued[0],
              (Queued{FtpRequestKind::WalkUpload, "/incoming", {}, dropped, kImageType}));
    EXPECT_EQ(queue_.Count(), 0);
}

struct PlanRow {
    const char* what;
    bool upload;
    // Local files present before the answer (downloads), or targets the walk found (uploads).
    std::vector<std::string> existing;
    std::deque<DownloadChoices::Answer> answers;
    bool queued;
    // The queued files' target names, then the skipped rows' count.
    std::vector<std::string> targets;
    int skipped;
};

TEST_F(RemotePageTransfersTest, APlanAsksAboutExistingTargetsThenQueuesItsFilesAndFolders) {
    using A = DownloadChoices::Answer;
    const PlanRow rows[] = {
        {"no conflict", false, {}, {}, true, {"a.txt", "b.txt"}, 0},
        {"replaced", false, {"a.txt"}, {A::Yes}, true, {"a.txt", "b.txt"}, 0},
        {"kept", false, {"a.txt"}, {A::No}, true, {"b.txt"}, 1},
        {"both kept", false, {"a.txt", "b.txt"}, {A::No, A::No}, true, {}, 2},
        {"cancelled", false, {"b.txt"}, {A::Cancel}, false, {}, 0},
        {"upload replaced", true, {"b.txt"}, {A::Yes}, true, {"a.txt", "b.txt"}, 0},
        {"upload kept", true, {"a.txt"}, {A::No}, true, {"b.txt"}, 1},
    };
    for (const PlanRow& row : rows) {
        TempDir local;
        std::filesystem::create_directory(local / "tree");
        auto plan = std::make_shared<TransferPlan>();
        plan->upload = row.upload;
        plan->localFolder = local.Path().string();
        plan->remoteFolder = "/pub";
        plan->folders = {{row.upload ? "/pub/tree" : (local / "tree").string(), 100}};
        for (const std::string name : {"a.txt", "b.txt"}) {
            PlannedFile file;
            file.item.localPath = (local / "tree" / name).string();
            file.item.remoteFolder = "/pub/tree";
            file.item.remoteName = name;
            file.item.size = 10;
            const bool exists =
                std::find(row.existing.begin(), row.existing.end(), name) != row.existing.end();
            if (exists && !row.upload) {
                ASSERT_TRUE(local.WriteFile("tree/" + std::string(name), "old"));
            }
            file.targetExists = exists && row.upload;
            plan->files.push_back(file);
        }
        plan->problems = {"Refused \"..\" in /pub/tree", "Not entered: /pub/tree/deep (deeper than 64)"};
        session_->queued.clear();
        session_->transferItems.clear();
        session_->transferFolders.clear();
        const int rowsBefore = queue_.Count();
        choices_.answers = row.answers;
        state_.TransferPlanReady(plan);
        EXPECT_EQ(state_.AnswerTransferPlan(choices_), row.queued) << row.what;
        EXPECT_EQ(state_.PendingTransferPlan(), nullptr) << row.what;
        EXPECT_NE(state_.Failure().find("(and 1 more: see the Log page)"), std::string::npos) << row.what;
        if (!row.queued) {
            EXPECT_TRUE(session_->queued.empty()) << row.what;
            EXPECT_EQ(queue_.Count(), rowsBefore) << row.what;
            continue;
        }
        ASSERT_EQ(session_->queued.size(), 1u) << row.what;
        EXPECT_EQ(session_->queued[0].kind, row.upload ? FtpRequestKind::Put : FtpRequestKind::Get)
            << row.what;
        std::vector<std::string> targets;
        for (const TransferItem& item : session_->transferItems[0]) {
            targets.push_back(item.remoteName);
        }
        EXPECT_EQ(targets, row.targets) << row.what;
        ASSERT_EQ(session_->transferFolders[0].size(), 1u) << row.what;
        int skipped = 0;
        for (int at = rowsBefore; at < queue_.Count(); ++at) {
            skipped += queue_.At(at).state == TransferState::Skipped ? 1 : 0;
        }
        EXPECT_EQ(skipped, row.skipped) << row.what;
    }
}

struct ResumeRow {
    const char* name;
    int mode;
    int localBytes;  // of the listed 100; -1: a folder of that name
    bool offered;
    DownloadChoices::Answer answer;
    bool queued;
    bool resume;
};

class ResumeQuestion : public RemotePageTransfersTest, public ::testing::WithParamInterface<ResumeRow> {};

TEST_P(ResumeQuestion, IsOfferedForAShorterBinaryCopy) {
    const ResumeRow& c = GetParam();
    if (c.localBytes >= 0) {
        ASSERT_TRUE(local_.WriteFile("data.bin", std::string(static_cast<std::size_t>(c.localBytes), 'x')));
    } else {
        std::filesystem::create_directory(local_ / "data.bin");
    }
    List("/pub", {"type=file;size=100; data.bin"});
    choices_.folder = local_.Path().string();
    choices_.answers = {c.answer};
    EXPECT_EQ(state_.GetFilesAs({0}, c.mode, choices_, {}), c.queued);
    EXPECT_EQ(choices_.resumeOffered, std::vector<bool>{c.offered});
    if (c.queued) {
        ASSERT_EQ(session_->transferItems.size(), 1u);
        EXPECT_EQ(session_->transferItems[0][0].resume, c.resume);
    } else {
        EXPECT_EQ(queue_.Count(), 0);
    }
}

using A = DownloadChoices::Answer;
INSTANTIATE_TEST_SUITE_P(
    Rows, ResumeQuestion,
    ::testing::Values(ResumeRow{"ShorterBinary", kImageType, 40, true, A::Resume, true, true},
                      ResumeRow{"ShorterBinaryReplaced", kImageType, 40, true, A::Yes, true, false},
                      ResumeRow{"ShorterBinaryKept", kImageType, 40, true, A::No, false, false},
                      ResumeRow{"ShorterText", kAsciiType, 40, false, A::Yes, true, false},
                      ResumeRow{"AsLong", kImageType, 100, false, A::Yes, true, false},
                      ResumeRow{"Longer", kImageType, 150, false, A::Yes, true, false},
                      ResumeRow{"Empty", kImageType, 0, true, A::Resume, true, true},
                      ResumeRow{"AFolder", kImageType, -1, false, A::Yes, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RemotePageTransfersTest, DroppedFilesAreRowsInTheCurrentFolder) {
    List("/incoming", {});
    ASSERT_TRUE(local_.WriteFile("up.bin", std::string(321, 'u')));
    const std::string up = (local_ / "up.bin").string();
    ASSERT_TRUE(state_.PutFiles({up}, kImageType));
    ASSERT_EQ(session_->queued.size(), 1u);
    EXPECT_EQ(session_->queued[0].kind, FtpRequestKind::Put);
    ASSERT_EQ(session_->transferItems.size(), 1u);
    ASSERT_EQ(session_->transferItems[0].size(), 1u);
    const TransferItem& item = session_->transferItems[0][0];
    EXPECT_EQ(item.localPath, up);
    EXPECT_EQ(item.remoteFolder, "/incoming");
    EXPECT_EQ(item.remoteName, "up.bin");
    EXPECT_EQ(item.size, 321);
    ASSERT_EQ(queue_.Count(), 1);
    EXPECT_EQ(queue_.At(0).direction, TransferDirection::Upload);
    EXPECT_EQ(queue_.At(0).id, item.row);
}

TEST_F(RemotePageTransfersTest, ARequestTheSessionRefusesLeavesNoRowWaiting) {
    List("/pub", {"type=file;size=5; a"});
    choices_.folder = local_.Path().string();
    session_->refuse = true;
    EXPECT_FALSE(state_.GetFilesAs({0}, kImageType, choices_, {}));
    ASSERT_EQ(queue_.Count(), 1);
    EXPECT_EQ(queue_.At(0).state, TransferState::Interrupted);
    EXPECT_FALSE(queue_.Summary().active);
}

}  // namespace
