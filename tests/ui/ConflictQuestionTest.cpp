// The conflict question as the user sees it: what it says about both files, which buttons it offers, and
// the answer each button, key and the "for all" box give.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>

#include "ui/AppTestSupport.h"
#include "ui/DialogDownloadChoices.h"

namespace {

TransferConflict Conflict(bool upload, bool canResume) {
    TransferConflict conflict;
    conflict.direction = upload ? TransferDirection::Upload : TransferDirection::Download;
    conflict.target = upload ? "/pub/big.iso" : "/home/user/Downloads/big.iso";
    conflict.sourceSize = 1536;
    conflict.sourceTime = 1719835200;  // mid-2024 in every time zone
    conflict.targetSize = 512;
    conflict.targetTime = -1;
    conflict.canResume = canResume;
    return conflict;
}

using Act = ConflictAction;
struct Row {
    const char* name;
    bool upload;
    bool canResume;
    const char* press;  // a button's object name, "enter" or "escape"
    bool tickForAll;
    Act action;
};

class ConflictQuestion : public AppTest, public ::testing::WithParamInterface<Row> {};

TEST_P(ConflictQuestion, AnswersWhatTheUserPressed) {
    const Row& c = GetParam();
    const std::unique_ptr<QMessageBox> question =
        DialogDownloadChoices::CreateConflictQuestion(Conflict(c.upload, c.canResume), nullptr);
    EXPECT_EQ(question->windowTitle(), c.upload ? "Upload file(s)" : "Get file(s) as...");
    EXPECT_TRUE(question->text().startsWith(c.upload
                                                ? "/pub/big.iso\nThis file already exists on the server."
                                                : "/home/user/Downloads/big.iso\nThis file already exists."));
    EXPECT_EQ(question->findChild<QPushButton*>("resume") != nullptr, c.canResume);
    const std::string press = c.press;
    QTimer::singleShot(0, [&] {
        if (c.tickForAll) {
            question->checkBox()->click();
        }
        if (press == "enter" || press == "escape") {
            QTest::keyClick(question.get(), press == "enter" ? Qt::Key_Return : Qt::Key_Escape);
        } else {
            question->findChild<QPushButton*>(QString::fromStdString(press))->click();
        }
    });
    question->exec();
    const ConflictAnswer answer = DialogDownloadChoices::ConflictAnswerOf(*question);
    EXPECT_EQ(answer.action, c.action);
    EXPECT_EQ(answer.forAll, c.tickForAll);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConflictQuestion,
    ::testing::Values(Row{"Overwrite", false, false, "overwrite", false, Act::Overwrite},
                      Row{"NewerForAll", true, false, "newer", true, Act::OverwriteIfNewer},
                      Row{"Resume", false, true, "resume", false, Act::Resume},
                      Row{"ResumeUploadForAll", true, true, "resume", true, Act::Resume},
                      Row{"SkipForAll", false, false, "skip", true, Act::Skip},
                      Row{"Rename", true, false, "rename", false, Act::Rename},
                      Row{"Cancel", false, false, "cancel", false, Act::Cancel},
                      // Enter replaces where Resume is offered too: only the user knows the shorter file
                      // is a beginning of the other.
                      Row{"EnterOverwrites", false, true, "enter", false, Act::Overwrite},
                      Row{"EnterForAll", true, false, "enter", true, Act::Overwrite},
                      Row{"EscapeCancels", true, true, "escape", false, Act::Cancel}),
    [](const auto& info) { return std::string(info.param.name); });

class ConflictQuestionFacts : public AppTest {};

// Both files as the properties dialog writes sizes and dates; what is not known is said.
TEST_F(ConflictQuestionFacts, ShowBothFiles) {
    const std::unique_ptr<QMessageBox> question =
        DialogDownloadChoices::CreateConflictQuestion(Conflict(false, true), nullptr);
    const QStringList lines = question->informativeText().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("Server's file: 1.50KB (1536 bytes), ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("2024")) << lines[0].toStdString();
    EXPECT_EQ(lines[1], "Existing file: 512 bytes, time unknown");
    question->show();
    ASSERT_TRUE(PumpUntil([&] { return question->isVisible(); }));
    EXPECT_TRUE(question->grab().save("/tmp/wisp-conflict-question.png"));
}

}  // namespace
