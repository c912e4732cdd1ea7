// Files that exist at the target of a Get or a drop: the conflict question is asked as the user answers it
// (once when told "for all"), a skipped file is a skipped row, a renamed one goes to a free name, and an
// upload is checked against the listing shown.
#include <gtest/gtest.h>
#include <utime.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "listing/TimeValue.h"
#include "remote/RemotePageState.h"
#include "support/MessageLog.h"
#include "support/RecordingQueue.h"
#include "support/ScriptedConflicts.h"
#include "support/TempDir.h"
#include "transfers/TransferQueue.h"

namespace {

constexpr std::int64_t kOld = 820849500;   // 1996
constexpr std::int64_t kNew = 1719835200;  // 2024

using Act = ConflictAction;
struct Row {
    const char* name;
    bool upload;
    // Files of 10 bytes already there (local for a download, listed for an upload), and the files sent:
    // 20 bytes, from 2024.
    std::vector<std::string> existing;
    std::vector<std::string> sent;
    std::deque<ConflictAnswer> answers;
    int asked;
    const char* rows;
};

class ConflictTest : public ::testing::Test {
  protected:
    ConflictTest() : state_(log_) {
        session_->site = "ftp://joe@127.0.0.1:2121";
        state_.ResetForSession(session_);
        state_.SetTransferRows(&queue_);
        choices_.folder = local_.Path().string();
    }
    void WriteLocal(const std::string& name, std::size_t bytes, std::int64_t time) {
        ASSERT_TRUE(local_.WriteFile(name, std::string(bytes, 'x')));
        const utimbuf times{static_cast<time_t>(time), static_cast<time_t>(time)};
        ASSERT_EQ(::utime((local_ / name).c_str(), &times), 0);
    }
    // The files already there are old but for "newer...", which is younger than any file sent.
    static std::int64_t ExistingTime(const std::string& name) {
        return name.starts_with("newer") ? kNew + 60 : kOld;
    }
    void List(const std::vector<std::string>& names, bool existing) {
        ASSERT_FALSE(state_.EnterDirectory("/pub"));
        for (const std::string& name : names) {
            state_.AddListingLine("type=file;size=" + std::to_string(existing ? 10 : 20) + ";modify=" +
                                  TimeValue::Format(existing ? ExistingTime(name) : kNew) + "; " + name);
        }
        state_.FinishListing(true);
    }
    // "name:State" per row in order, the local file's name for a download, "+resume" where it continues.
    std::string Rows() const {
        std::string text;
        for (const TransferRow& row : queue_.Rows()) {
            text += row.direction == TransferDirection::Upload
                        ? row.remoteName
                        : std::filesystem::path(row.localPath).filename().string();
            text += ":" + std::string(TransferStateName(row.state));
            for (const TransferItem& item :
                 session_->transferItems.empty() ? std::vector<TransferItem>{} : session_->transferItems[0]) {
                text += item.row == row.id && item.resume ? "+resume" : "";
            }
            text += " ";
        }
        return text;
    }

    MessageLog log_;
    RemotePageState state_;
    std::shared_ptr<RecordingQueue> session_ = std::make_shared<RecordingQueue>();
    TransferQueue queue_;
    ScriptedConflicts choices_;
    TempDir local_;
};

class ConflictRows : public ConflictTest, public ::testing::WithParamInterface<Row> {};

TEST_P(ConflictRows, AreAnsweredAsTheUserSaid) {
    const Row& c = GetParam();
    choices_.answers = c.answers;
    int deselected = 0;
    if (c.upload) {
        List(c.existing, true);
        std::vector<std::string> paths;
        for (const std::string& name : c.sent) {
            WriteLocal(name, 20, kNew);
            paths.push_back((local_ / name).string());
        }
        state_.PutFiles(paths, kImageType, &choices_);
    } else {
        for (const std::string& name : c.existing) {
            WriteLocal(name, 10, ExistingTime(name));
        }
        List(c.sent, false);
        std::vector<int> rows(c.sent.size());
        std::iota(rows.begin(), rows.end(), 0);
        state_.GetFilesAs(rows, kImageType, choices_, [&](int) { ++deselected; });
    }
    EXPECT_EQ(static_cast<int>(choices_.asked.size()), c.asked);
    EXPECT_EQ(Rows(), c.rows);
    const std::string rows = c.rows;
    EXPECT_EQ(session_->queued.empty(), rows.find("Queued") == std::string::npos);
    if (!c.upload) {
        EXPECT_EQ(deselected, static_cast<int>(std::count(rows.begin(), rows.end(), 'S')));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConflictRows,
    ::testing::Values(
        Row{"Skip", false, {"a"}, {"a", "b"}, {{Act::Skip, false}}, 1, "b:Queued a:Skipped "},
        Row{"Rename",
            false,
            {"a.txt", "a (2).txt"},
            {"a.txt"},
            {{Act::Rename, false}},
            1,
            "a (3).txt:Queued "},
        // The selection's own "a (2).txt" is written too: the renamed copy takes the next name.
        Row{"RenameAvoidsTheSelection",
            false,
            {"a.txt"},
            {"a (2).txt", "a.txt"},
            {{Act::Rename, false}},
            1,
            "a (2).txt:Queued a (3).txt:Queued "},
        Row{"SkipForAll",
            false,
            {"a", "b", "c"},
            {"a", "b", "c"},
            {{Act::Skip, true}},
            1,
            "a:Skipped b:Skipped c:Skipped "},
        Row{"NewerForAll",
            false,
            {"a", "newer"},
            {"a", "newer"},
            {{Act::OverwriteIfNewer, true}},
            1,
            "a:Queued newer:Skipped "},
        Row{"OneAtATime",
            false,
            {"a", "b"},
            {"a", "b"},
            {{Act::Skip, false}, {Act::Resume, false}},
            2,
            "b:Queued+resume a:Skipped "},
        Row{"Cancel", false, {"a", "b"}, {"a", "b"}, {{Act::Overwrite, false}, {Act::Cancel, false}}, 2, ""},
        Row{"UploadNotListed", true, {"x"}, {"a"}, {}, 0, "a:Queued "},
        Row{"UploadSkip", true, {"a"}, {"a", "b"}, {{Act::Skip, false}}, 1, "b:Queued a:Skipped "},
        Row{"UploadRenameAvoidsTheDrop",
            true,
            {"a.txt"},
            {"a.txt", "a (2).txt"},
            {{Act::Rename, false}},
            1,
            "a (3).txt:Queued a (2).txt:Queued "},
        Row{"UploadResume", true, {"a"}, {"a"}, {{Act::Resume, false}}, 1, "a:Queued+resume "},
        Row{"UploadNewerForAll",
            true,
            {"a", "newer"},
            {"a", "newer"},
            {{Act::OverwriteIfNewer, true}},
            1,
            "a:Queued newer:Skipped "},
        Row{"UploadCancel", true, {"a"}, {"b", "a"}, {{Act::Cancel, false}}, 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// What the question is told: the file, and both sides' sizes and times as the listing and the disk give
// them; a listing without size or date gives unknowns, not zeros.
TEST_F(ConflictTest, TheQuestionIsToldBothFiles) {
    WriteLocal("a", 10, kOld);
    WriteLocal("bare", 3, kOld);
    ASSERT_FALSE(state_.EnterDirectory("/pub"));
    state_.AddListingLines(
        {"type=file;size=20;modify=" + TimeValue::Format(kNew) + "; a", "type=file; bare"});
    state_.FinishListing(true);
    choices_.answers = {{Act::Overwrite, false}, {Act::Overwrite, false}};
    ASSERT_TRUE(state_.GetFilesAs({0, 1}, kImageType, choices_, {}));
    state_.PutFiles({(local_ / "a").string()}, kImageType, &choices_);
    std::vector<std::string> told;
    for (const TransferConflict& c : choices_.asked) {
        told.push_back(c.target + " " + std::to_string(c.sourceSize) + "/" + std::to_string(c.targetSize) +
                       " " + std::to_string(c.sourceTime) + "/" + std::to_string(c.targetTime) +
                       (c.canResume ? " resume" : ""));
    }
    const std::string here = local_.Path().string();
    EXPECT_EQ(told, (std::vector<std::string>{here + "/a 20/10 1719835200/820849500 resume",
                                              here + "/bare -1/3 -1/820849500",
                                              "/pub/a 10/20 820849500/1719835200"}));
}

}  // namespace
