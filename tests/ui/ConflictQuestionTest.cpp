// The conflict question of downloads and uploads as the user sees it: what it says about both files, which
// buttons it offers, and the answer each button, key and the "for all" box give.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ui/AppTestSupport.h"
#include "ui/DialogDownloadChoices.h"

namespace {

// 1996-01-05 13:45 UTC and 2024-07-01 12:00 UTC: the same year in every time zone.
constexpr std::int64_t k1996 = 820849500;
constexpr std::int64_t k2024 = 1719835200;

TransferConflict Conflict(TransferDirection direction, bool canResume) {
    TransferConflict conflict;
    conflict.direction = direction;
    conflict.target =
        direction == TransferDirection::Download ? "/home/user/Downloads/big.iso" : "/pub/big.iso";
    conflict.sourceSize = 1536;
    conflict.sourceTime = k2024;
    conflict.targetSize = canResume ? 512 : 4096;
    conflict.targetTime = k1996;
    conflict.canResume = canResume;
    return conflict;
}

struct AnswerRow {
    const char* name;
    TransferDirection direction;
    bool canResume;
    // A button's object name, "enter" or "escape".
    const char* press;
    bool tickForAll;
    ConflictAction action;
    bool forAll;
};

class ConflictAnswers : public AppTest, public ::testing::WithParamInterface<AnswerRow> {};

TEST_P(ConflictAnswers, AnswerWhatTheUserPressed) {
    const AnswerRow& c = GetParam();
    const std::unique_ptr<QMessageBox> question =
        DialogDownloadChoices::CreateConflictQuestion(Conflict(c.direction, c.canResume), nullptr);
    const std::string press = c.press;
    QTimer::singleShot(0, [&] {
        if (c.tickForAll) {
            question->checkBox()->click();
        }
        if (press == "enter") {
            QTest::keyClick(question.get(), Qt::Key_Return);
        } else if (press == "escape") {
            QTest::keyClick(question.get(), Qt::Key_Escape);
        } else {
            question->findChild<QPushButton*>(QString::fromStdString(press))->click();
        }
    });
    question->exec();
    const ConflictAnswer answer = DialogDownloadChoices::ConflictAnswerOf(*question);
    EXPECT_EQ(answer.action, c.action);
    EXPECT_EQ(answer.forAll, c.forAll);
}

constexpr auto kDown = TransferDirection::Download;
constexpr auto kUp = TransferDirection::Upload;
using Act = ConflictAction;
INSTANTIATE_TEST_SUITE_P(
    Rows, ConflictAnswers,
    ::testing::Values(AnswerRow{"Overwrite", kDown, false, "overwrite", false, Act::Overwrite, false},
                      AnswerRow{"OverwriteForAll", kDown, false, "overwrite", true, Act::Overwrite, true},
                      AnswerRow{"Newer", kDown, false, "newer", false, Act::OverwriteIfNewer, false},
                      AnswerRow{"NewerForAll", kUp, false, "newer", true, Act::OverwriteIfNewer, true},
                      AnswerRow{"Resume", kDown, true, "resume", false, Act::Resume, false},
                      AnswerRow{"ResumeUpload", kUp, true, "resume", true, Act::Resume, true},
                      AnswerRow{"Skip", kDown, false, "skip", false, Act::Skip, false},
                      AnswerRow{"SkipForAll", kUp, false, "skip", true, Act::Skip, true},
                      AnswerRow{"Rename", kDown, true, "rename", false, Act::Rename, false},
                      AnswerRow{"RenameForAll", kUp, false, "rename", true, Act::Rename, true},
                      AnswerRow{"Cancel", kDown, false, "cancel", false, Act::Cancel, false},
                      // Enter replaces even where Resume is offered: only the user knows the copy is a
                      // beginning of the other.
                      AnswerRow{"EnterOverwrites", kDown, true, "enter", false, Act::Overwrite, false},
                      AnswerRow{"EnterForAll", kUp, false, "enter", true, Act::Overwrite, true},
                      AnswerRow{"EscapeCancels", kDown, true, "escape", false, Act::Cancel, false},
                      AnswerRow{"EscapeWithTheBoxTicked", kUp, false, "escape", true, Act::Cancel, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct LookRow {
    const char* name;
    TransferDirection direction;
    bool canResume;
    const char* title;
    const char* exists;  // the words after the target
    const char* firstFacts;
    std::vector<const char*> buttons;
};

class ConflictLook : public AppTest, public ::testing::WithParamInterface<LookRow> {};

TEST_P(ConflictLook, NamesTheTargetBothFilesAndTheChoices) {
    const LookRow& c = GetParam();
    const TransferConflict conflict = Conflict(c.direction, c.canResume);
    const std::unique_ptr<QMessageBox> question =
        DialogDownloadChoices::CreateConflictQuestion(conflict, nullptr);
    EXPECT_EQ(question->windowTitle().toStdString(), c.title);
    EXPECT_EQ(question->text().toStdString(), conflict.target + c.exists + "\n\nReplace existing file?");
    const std::string facts = question->informativeText().toStdString();
    EXPECT_TRUE(facts.starts_with(c.firstFacts)) << facts;
    // Both sizes to the byte, both years.
    for (const char* shown : {"1536 bytes", c.canResume ? "512 bytes" : "4096 bytes", "1996", "2024"}) {
        EXPECT_NE(facts.find(shown), std::string::npos) << shown << " in " << facts;
    }
    EXPECT_EQ(facts.find("Resume") != std::string::npos, c.canResume);
    // The buttons from left to right, as laid out on screen.
    question->show();
    ASSERT_TRUE(PumpUntil([&] { return question->isVisible(); }));
    QList<QAbstractButton*> buttons = question->buttons();
    std::sort(buttons.begin(), buttons.end(),
              [](QAbstractButton* a, QAbstractButton* b) { return a->x() < b->x(); });
    std::vector<std::string> labels;
    for (QAbstractButton* button : buttons) {
        labels.push_back(button->text().toStdString());
    }
    EXPECT_TRUE(question->grab().save(QString("/tmp/wisp-conflict-%1.png").arg(c.name)));
    question->hide();
    EXPECT_EQ(labels, std::vector<std::string>(c.buttons.begin(), c.buttons.end()));
    ASSERT_NE(question->checkBox(), nullptr);
    EXPECT_EQ(question->checkBox()->text().toStdString(), "Do this for &all remaining conflicts");
    EXPECT_FALSE(question->checkBox()->isChecked());
    EXPECT_EQ(question->defaultButton(), question->findChild<QPushButton*>("overwrite"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConflictLook,
    ::testing::Values(LookRow{"Download",
                              kDown,
                              false,
                              "Get file(s) as...",
                              "\nThis file already exists.",
                              "Server's file: 1.50KB (1536 bytes), ",
                              {"&Overwrite", "Overwrite if &newer", "&Skip", "Rena&me", "Cancel"}},
                      LookRow{"DownloadResumable",
                              kDown,
                              true,
                              "Get file(s) as...",
                              "\nThis file already exists.",
                              "Server's file: ",
                              {"&Overwrite", "Overwrite if &newer", "&Resume", "&Skip", "Rena&me", "Cancel"}},
                      LookRow{"Upload",
                              kUp,
                              false,
                              "Upload file(s)",
                              "\nThis file already exists on the server.",
                              "Local file: 1.50KB (1536 bytes), ",
                              {"&Overwrite", "Overwrite if &newer", "&Skip", "Rena&me", "Cancel"}},
                      LookRow{
                          "UploadResumable",
                          kUp,
                          true,
                          "Upload file(s)",
                          "\nThis file already exists on the server.",
                          "Local file: ",
                          {"&Overwrite", "Overwrite if &newer", "&Resume", "&Skip", "Rena&me", "Cancel"}}),
    [](const auto& info) { return std::string(info.param.name); });

class ConflictQuestionTest : public AppTest {};

// A listing without sizes or dates: the question says what it does not know.
TEST_F(ConflictQuestionTest, UnknownSizesAndTimesAreSaid) {
    TransferConflict conflict = Conflict(kDown, false);
    conflict.sourceSize = -1;
    conflict.sourceTime = -1;
    const std::unique_ptr<QMessageBox> question =
        DialogDownloadChoices::CreateConflictQuestion(conflict, nullptr);
    const std::string facts = question->informativeText().toStdString();
    const std::string serverLine = facts.substr(0, facts.find('\n'));
    EXPECT_NE(serverLine.find("size unknown"), std::string::npos) << serverLine;
    EXPECT_NE(serverLine.find("time unknown"), std::string::npos) << serverLine;
    EXPECT_EQ(facts.find("unknown", serverLine.size()), std::string::npos) << facts;
}

// The program's question: shown over its owner, answered, and gone.
TEST_F(ConflictQuestionTest, AskConflictShowsTheQuestionAndReturnsTheAnswer) {
    QWidget owner;
    owner.show();
    DialogDownloadChoices choices(&owner);
    bool shown = false;
    QTimer::singleShot(0, [&] {
        auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (question == nullptr) {
            return;
        }
        shown = question->isVisible() && question->parentWidget() == &owner;
        question->checkBox()->click();
        question->findChild<QPushButton*>("skip")->click();
    });
    const ConflictAnswer answer = choices.AskConflict(Conflict(kUp, false));
    EXPECT_TRUE(shown);
    EXPECT_EQ(answer.action, ConflictAction::Skip);
    EXPECT_TRUE(answer.forAll);
    EXPECT_EQ(owner.findChildren<QMessageBox*>().size(), 0);
}

}  // namespace
