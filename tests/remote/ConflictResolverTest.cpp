#include "remote/ConflictResolver.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "remote/DownloadChoices.h"

namespace {

// Answers the conflict question from a script and counts how often it was asked.
class ScriptedConflicts : public DownloadChoices {
  public:
    explicit ScriptedConflicts(std::vector<ConflictAnswer> answers) : answers_(std::move(answers)) {}
    std::optional<std::string> ChooseFolder(const std::string&) override { return std::nullopt; }
    Answer AskOverwrite(const std::string&) override { return Answer::Cancel; }
    ConflictAnswer AskConflict(const TransferConflict&) override {
        return asked < static_cast<int>(answers_.size()) ? answers_[static_cast<std::size_t>(asked++)]
                                                         : ConflictAnswer{};
    }
    int asked = 0;

  private:
    std::vector<ConflictAnswer> answers_;
};

TransferConflict Conflict(std::int64_t sourceTime, std::int64_t targetTime, bool canResume = false) {
    TransferConflict conflict;
    conflict.target = "/tmp/x";
    conflict.sourceTime = sourceTime;
    conflict.targetTime = targetTime;
    conflict.canResume = canResume;
    return conflict;
}

using Outcome = ConflictResolver::Outcome;

struct AnswerRow {
    const char* what;
    ConflictAction action;
    TransferConflict conflict;
    Outcome expected;
};

TEST(ConflictResolverTest, EachAnswerDecidesTheFile) {
    const AnswerRow rows[] = {
        {"overwrite", ConflictAction::Overwrite, Conflict(1, 2), Outcome::Write},
        {"newer source", ConflictAction::OverwriteIfNewer, Conflict(3, 2), Outcome::Write},
        {"older source", ConflictAction::OverwriteIfNewer, Conflict(1, 2), Outcome::Skip},
        {"same time", ConflictAction::OverwriteIfNewer, Conflict(2, 2), Outcome::Skip},
        {"unknown time", ConflictAction::OverwriteIfNewer, Conflict(-1, 2), Outcome::Write},
        {"resume", ConflictAction::Resume, Conflict(1, 2, true), Outcome::Resume},
        {"resume impossible", ConflictAction::Resume, Conflict(1, 2, false), Outcome::Write},
        {"skip", ConflictAction::Skip, Conflict(1, 2), Outcome::Skip},
        {"rename", ConflictAction::Rename, Conflict(1, 2), Outcome::Rename},
        {"cancel", ConflictAction::Cancel, Conflict(1, 2), Outcome::Cancel},
    };
    for (const AnswerRow& row : rows) {
        ScriptedConflicts choices({{row.action, false}});
        ConflictResolver resolver(choices);
        EXPECT_EQ(resolver.Resolve(row.conflict, "a.txt", nullptr).outcome, row.expected) << row.what;
    }
}

TEST(ConflictResolverTest, AnAnswerForAllIsAskedOnceForManyFiles) {
    ScriptedConflicts choices({{ConflictAction::OverwriteIfNewer, true}});
    ConflictResolver resolver(choices);
    int skipped = 0;
    for (int file = 0; file < 10000; ++file) {
        skipped += resolver.Resolve(Conflict(file % 2, 0), "f", nullptr).outcome == Outcome::Skip ? 1 : 0;
    }
    EXPECT_EQ(choices.asked, 1);
    EXPECT_EQ(skipped, 5000);
}

TEST(ConflictResolverTest, AnAnswerForThisFileAloneAsksAgain) {
    ScriptedConflicts choices({{ConflictAction::Skip, false}, {ConflictAction::Cancel, true}, {}});
    ConflictResolver resolver(choices);
    EXPECT_EQ(resolver.Resolve(Conflict(1, 2), "f", nullptr).outcome, Outcome::Skip);
    EXPECT_EQ(resolver.Resolve(Conflict(1, 2), "f", nullptr).outcome, Outcome::Cancel);
    // Cancel "for all" is not remembered: the next transfer asks again.
    EXPECT_EQ(resolver.Resolve(Conflict(1, 2), "f", nullptr).outcome, Outcome::Cancel);
    EXPECT_EQ(choices.asked, 3);
}

TEST(ConflictResolverTest, RenameFindsTheFirstFreeName) {
    const struct {
        const char* name;
        std::set<std::string> taken;
        const char* expected;
    } rows[] = {
        {"report.pdf", {}, "report (2).pdf"},
        {"report.pdf", {"report (2).pdf", "report (3).pdf"}, "report (4).pdf"},
        {"archive.tar.gz", {}, "archive.tar (2).gz"},
        {"README", {}, "README (2)"},
        {".profile", {}, ".profile (2)"},
        {"trailing.", {}, "trailing (2)."},
    };
    for (const auto& row : rows) {
        const auto taken = [&row](std::string_view name) { return row.taken.count(std::string(name)) > 0; };
        EXPECT_EQ(ConflictResolver::FreeName(row.name, taken), row.expected) << row.name;
    }
}

}  // namespace
