// Files that exist at the target of a Get or a drop: the conflict question is asked as the user answers it
// (once for all when told so), a skipped file shows as a skipped row, a renamed one goes to a free name,
// and an upload is checked against the listing shown.
#include <gtest/gtest.h>
#include <utime.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "listing/TimeValue.h"
#include "remote/RemotePageState.h"
#include "support/MessageLog.h"
#include "support/RecordingQueue.h"
#include "support/TempDir.h"
#include "transfers/TransferQueue.h"

namespace {

// Answers the conflict question from a script (Cancel when it runs out) and keeps what each question said.
class ScriptedConflicts : public DownloadChoices {
  public:
    std::optional<std::string> ChooseFolder(const std::string&) override { return folder; }
    Answer AskOverwrite(const std::string&) override { return Answer::Cancel; }
    ConflictAnswer AskConflict(const TransferConflict& conflict) override {
        asked.push_back(conflict);
        if (answers.empty()) {
            return {};
        }
        const ConflictAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::string> folder;
    std::deque<ConflictAnswer> answers;
    std::vector<TransferConflict> asked;
};

// 2024-07-01 and 1996-01-05, as MLSD and the local file system give them.
constexpr std::int64_t kNew = 1719835200;
constexpr std::int64_t kOld = 820849500;

class RemotePageConflictsTest : public ::testing::Test {
  protected:
    RemotePageConflictsTest() : state_(log_) {
        session_ = std::make_shared<RecordingQueue>();
        session_->site = "ftp://joe@127.0.0.1:2121";
        state_.ResetForSession(session_);
        state_.SetTransferRows(&queue_);
        choices_.folder = local_.Path().string();
    }
    void List(const std::string& path, const std::vector<std::string>& lines) {
        ASSERT_FALSE(state_.EnterDirectory(path));
        for (const std::string& line : lines) {
            state_.AddListingLine(line);
        }
        state_.FinishListing(true);
    }
    // A local file of `bytes` bytes modified at `time`.
    void WriteLocal(const std::string& name, std::size_t bytes, std::int64_t time = kOld) {
        ASSERT_TRUE(local_.WriteFile(name, std::string(bytes, 'x')));
        const utimbuf times{static_cast<time_t>(time), static_cast<time_t>(time)};
        ASSERT_EQ(::utime((local_ / name).c_str(), &times), 0);
    }
    // The queue's rows, "name:State" in order, named by their local file (download) or server name
    // (upload), with "+resume" for a file continued where it stops.
    std::string Rows() const {
        std::string text;
        for (const TransferRow& row : queue_.Rows()) {
            const std::string name = row.direction == TransferDirection::Download
                                         ? std::filesystem::path(row.localPath).filename().string()
                                         : row.remoteName;
            text += name + ":" + std::string(TransferStateName(row.state));
            for (const std::vector<TransferItem>& request : session_->transferItems) {
                for (const TransferItem& item : request) {
                    text += item.row == row.id && item.resume ? "+resume" : "";
                }
            }
            text += " ";
        }
        return text;
    }

    MessageLog log_;
    RemotePageState state_;
    std::shared_ptr<RecordingQueue> session_;
    TransferQueue queue_;
    ScriptedConflicts choices_;
    TempDir local_;
};

std::string Mlsd(const std::string& name, int size, std::int64_t time = kNew) {
    return "type=file;size=" + std::to_string(size) + ";modify=" + TimeValue::Format(time) + "; " + name;
}

struct DownloadRow {
    const char* name;
    std::vector<std::string> localFiles;  // 10 bytes each, old
    std::vector<std::string> listing;
    std::deque<ConflictAnswer> answers;
    bool queued;
    int asked;
    const char* rows;
    std::vector<int> deselected;
};

class DownloadConflicts : public RemotePageConflictsTest,
                          public ::testing::WithParamInterface<DownloadRow> {};

TEST_P(DownloadConflicts, AreAnsweredAsTheUserSaid) {
    const DownloadRow& c = GetParam();
    for (const std::string& name : c.localFiles) {
        WriteLocal(name, 10);
    }
    List("/pub", c.listing);
    std::vector<int> rows;
    for (int row = 0; row < state_.RowCount(); ++row) {
        rows.push_back(row);
    }
    choices_.answers = c.answers;
    std::vector<int> deselected;
    EXPECT_EQ(state_.GetFilesAs(rows, kImageType, choices_, [&](int row) { deselected.push_back(row); }),
              c.queued);
    EXPECT_EQ(static_cast<int>(choices_.asked.size()), c.asked);
    EXPECT_EQ(Rows(), c.rows);
    EXPECT_EQ(deselected, c.deselected);
    EXPECT_EQ(session_->queued.size(), c.queued ? 1u : 0u);
    for (const TransferRow& row : queue_.Rows()) {
        EXPECT_EQ(row.reason.empty(), row.state != TransferState::Skipped) << row.localPath;
    }
    // Nothing local was touched by the question.
    for (const std::string& name : c.localFiles) {
        EXPECT_EQ(local_.ReadFile(name), std::string(10, 'x')) << name;
    }
}

using Act = ConflictAction;
INSTANTIATE_TEST_SUITE_P(
    Rows, DownloadConflicts,
    ::testing::Values(
        DownloadRow{
            "Skip", {"a.txt"}, {Mlsd("a.txt", 5)}, {{Act::Skip, false}}, false, 1, "a.txt:Skipped ", {0}},
        DownloadRow{"SkipOneOfTwo",
                    {"a.txt"},
                    {Mlsd("a.txt", 5), Mlsd("b.txt", 5)},
                    {{Act::Skip, false}},
                    true,
                    1,
                    "b.txt:Queued a.txt:Skipped ",
                    {0}},
        DownloadRow{"Rename",
                    {"a.txt"},
                    {Mlsd("a.txt", 5)},
                    {{Act::Rename, false}},
                    true,
                    1,
                    "a (2).txt:Queued ",
                    {}},
        DownloadRow{"RenamePastTakenNames",
                    {"a.txt", "a (2).txt"},
                    {Mlsd("a.txt", 5)},
                    {{Act::Rename, false}},
                    true,
                    1,
                    "a (3).txt:Queued ",
                    {}},
        // The selection's own "a (2).txt" will be written too: the renamed copy does not take its name.
        DownloadRow{"RenameAvoidsASelectedName",
                    {"a.txt"},
                    {Mlsd("a (2).txt", 5), Mlsd("a.txt", 5)},
                    {{Act::Rename, false}},
                    true,
                    1,
                    "a (2).txt:Queued a (3).txt:Queued ",
                    {}},
        DownloadRow{"SkipForAll",
                    {"a", "b", "c"},
                    {Mlsd("a", 5), Mlsd("b", 5), Mlsd("c", 5)},
                    {{Act::Skip, true}},
                    false,
                    1,
                    "a:Skipped b:Skipped c:Skipped ",
                    {0, 1, 2}},
        DownloadRow{"OverwriteForAll",
                    {"a", "b", "c"},
                    {Mlsd("a", 5), Mlsd("b", 5), Mlsd("c", 5)},
                    {{Act::Overwrite, true}},
                    true,
                    1,
                    "a:Queued b:Queued c:Queued ",
                    {}},
        DownloadRow{"RenameForAll",
                    {"a", "b"},
                    {Mlsd("a", 5), Mlsd("b", 5), Mlsd("new", 5)},
                    {{Act::Rename, true}},
                    true,
                    1,
                    "a (2):Queued b (2):Queued new:Queued ",
                    {}},
        // The local copies are old: the server's new one replaces them, its old one does not.
        DownloadRow{"NewerForAll",
                    {"a", "b"},
                    {Mlsd("a", 5, kNew), Mlsd("b", 5, kOld)},
                    {{Act::OverwriteIfNewer, true}},
                    true,
                    1,
                    "a:Queued b:Skipped ",
                    {1}},
        DownloadRow{"OneAtATime",
                    {"a", "b"},
                    {Mlsd("a", 5), Mlsd("b", 5)},
                    {{Act::Skip, false}, {Act::Overwrite, false}},
                    true,
                    2,
                    "b:Queued a:Skipped ",
                    {0}},
        DownloadRow{"CancelLeavesNoRow",
                    {"a", "b"},
                    {Mlsd("a", 5), Mlsd("b", 5)},
                    {{Act::Skip, false}, {Act::Cancel, false}},
                    false,
                    2,
                    "",
                    {0}},
        DownloadRow{
            "Resume", {"a"}, {Mlsd("a", 50)}, {{Act::Resume, false}}, true, 1, "a:Queued+resume ", {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct UploadRow {
    const char* name;
    int mode;
    std::vector<std::string> listing;
    std::vector<std::string> dropped;  // 20 bytes each, new
    std::deque<ConflictAnswer> answers;
    bool queued;
    std::vector<bool> resumeOffered;  // per question
    const char* rows;
};

class UploadConflicts : public RemotePageConflictsTest, public ::testing::WithParamInterface<UploadRow> {};

TEST_P(UploadConflicts, AreCheckedAgainstTheListing) {
    const UploadRow& c = GetParam();
    List("/incoming", c.listing);
    std::vector<std::string> paths;
    for (const std::string& name : c.dropped) {
        WriteLocal(name, 20, kNew);
        paths.push_back((local_ / name).string());
    }
    choices_.answers = c.answers;
    EXPECT_EQ(state_.PutFiles(paths, c.mode, &choices_), c.queued);
    std::vector<bool> offered;
    for (const TransferConflict& conflict : choices_.asked) {
        offered.push_back(conflict.canResume);
        EXPECT_EQ(conflict.direction, TransferDirection::Upload);
        EXPECT_TRUE(conflict.target.starts_with("/incoming/")) << conflict.target;
    }
    EXPECT_EQ(offered, c.resumeOffered);
    EXPECT_EQ(Rows(), c.rows);
    EXPECT_EQ(session_->queued.size(), c.queued ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UploadConflicts,
    ::testing::Values(
        UploadRow{"NotListed", kImageType, {Mlsd("other", 5)}, {"up.txt"}, {}, true, {}, "up.txt:Queued "},
        UploadRow{"Skip",
                  kImageType,
                  {Mlsd("up.txt", 5)},
                  {"up.txt"},
                  {{Act::Skip, false}},
                  false,
                  {true},
                  "up.txt:Skipped "},
        UploadRow{"Rename",
                  kImageType,
                  {Mlsd("up.txt", 50), Mlsd("up (2).txt", 5)},
                  {"up.txt"},
                  {{Act::Rename, false}},
                  true,
                  {false},
                  "up (3).txt:Queued "},
        // The other dropped file will be stored under its own name: the renamed one takes the next.
        UploadRow{"RenameAvoidsADroppedName",
                  kImageType,
                  {Mlsd("up.txt", 50)},
                  {"up.txt", "up (2).txt"},
                  {{Act::Rename, false}},
                  true,
                  {false},
                  "up (3).txt:Queued up (2).txt:Queued "},
        UploadRow{"ResumeAShorterCopy",
                  kImageType,
                  {Mlsd("up.bin", 5)},
                  {"up.bin"},
                  {{Act::Resume, false}},
                  true,
                  {true},
                  "up.bin:Queued+resume "},
        UploadRow{"NoResumeInAscii",
                  kAsciiType,
                  {Mlsd("up.txt", 5)},
                  {"up.txt"},
                  {{Act::Overwrite, false}},
                  true,
                  {false},
                  "up.txt:Queued "},
        UploadRow{"NoResumeOverAFolder",
                  kImageType,
                  {"type=dir; up"},
                  {"up"},
                  {{Act::Overwrite, false}},
                  true,
                  {false},
                  "up:Queued "},
        UploadRow{"SkipForAll",
                  kImageType,
                  {Mlsd("a", 50), Mlsd("b", 50), Mlsd("c", 50)},
                  {"a", "new", "b", "c"},
                  {{Act::Skip, true}},
                  true,
                  {false},
                  "new:Queued a:Skipped b:Skipped c:Skipped "},
        UploadRow{"NewerForAll",
                  kImageType,
                  {Mlsd("a", 50, kOld), Mlsd("b", 50, kNew + 60)},
                  {"a", "b"},
                  {{Act::OverwriteIfNewer, true}},
                  true,
                  {false},
                  "a:Queued b:Skipped "},
        UploadRow{
            "Cancel", kImageType, {Mlsd("a", 50)}, {"new", "a"}, {{Act::Cancel, false}}, false, {false}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// What the question is told: which file, and both sides' sizes and times as the listing and the disk say.
TEST_F(RemotePageConflictsTest, TheQuestionNamesBothFiles) {
    WriteLocal("a.bin", 10, kOld);
    List("/pub", {Mlsd("a.bin", 1000, kNew), "type=file; bare"});
    WriteLocal("bare", 3, kOld);
    choices_.answers = {{Act::Overwrite, false}, {Act::Overwrite, false}};
    ASSERT_TRUE(state_.GetFilesAs({0, 1}, kImageType, choices_, {}));
    ASSERT_EQ(choices_.asked.size(), 2u);
    const TransferConflict& listed = choices_.asked[0];
    EXPECT_EQ(listed.direction, TransferDirection::Download);
    EXPECT_EQ(listed.target, (local_ / "a.bin").string());
    EXPECT_EQ(listed.sourceSize, 1000);
    EXPECT_EQ(listed.sourceTime, kNew);
    EXPECT_EQ(listed.targetSize, 10);
    EXPECT_EQ(listed.targetTime, kOld);
    EXPECT_TRUE(listed.canResume);
    // A listing without size or date: unknown, not zero.
    EXPECT_EQ(choices_.asked[1].sourceSize, -1);
    EXPECT_EQ(choices_.asked[1].sourceTime, -1);
    EXPECT_EQ(choices_.asked[1].targetSize, 3);

    choices_.asked.clear();
    choices_.answers = {{Act::Skip, false}};
    EXPECT_FALSE(state_.PutFiles({(local_ / "a.bin").string()}, kImageType, &choices_));
    ASSERT_EQ(choices_.asked.size(), 1u);
    const TransferConflict& upload = choices_.asked[0];
    EXPECT_EQ(upload.target, "/pub/a.bin");
    EXPECT_EQ(upload.sourceSize, 10);
    EXPECT_EQ(upload.sourceTime, kOld);
    EXPECT_EQ(upload.targetSize, 1000);
    EXPECT_EQ(upload.targetTime, kNew);
    EXPECT_FALSE(upload.canResume);
}

// Without the question (a caller that passes none), a drop replaces what is listed, as it always did.
TEST_F(RemotePageConflictsTest, ADropWithoutChoicesAsksNothing) {
    List("/incoming", {Mlsd("up.txt", 5)});
    WriteLocal("up.txt", 20);
    EXPECT_TRUE(state_.PutFiles({(local_ / "up.txt").string()}, kImageType));
    EXPECT_TRUE(choices_.asked.empty());
    EXPECT_EQ(Rows(), "up.txt:Queued ");
}

}  // namespace
