#include "ui/PassphraseDialog.h"
#include "ui/RecordedAnswers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProfileStore.h"
#include "ui/AppTestSupport.h"
#include "ui/HostPageView.h"
#include "ui/UiBridge.h"
#include "ui/WispHostPage.h"
#include "ui/WispSheet.h"

namespace {

using std::chrono::milliseconds;
using Passphrase = std::optional<std::string>;

const std::string kKeyPath = "/home/me/.ssh/id_ed25519";

using Answers = RecordedAnswers<Passphrase>;

class PassphraseDialogTest : public AppTest {};

TEST_F(PassphraseDialogTest, NamesTheKeyFileAndHidesWhatIsTyped) {
    Answers answers;
    PassphraseDialog dialog("/home/me/.ssh/<b>id_rsa</b>", answers.Callback());
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Key passphrase");
    const auto* path = dialog.findChild<QLabel*>("keyPath");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->text(), "/home/me/.ssh/<b>id_rsa</b>");
    EXPECT_EQ(path->textFormat(), Qt::PlainText);
    const auto* box = dialog.findChild<QLineEdit*>("passphrase");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(box->hasFocus() || dialog.focusWidget() == box);
    EXPECT_TRUE(dialog.grab().save("/tmp/wisp-passphrase.png"));
    EXPECT_TRUE(answers.Given().empty());
}

TEST_F(PassphraseDialogTest, EveryWayOfAnsweringGivesOneAnswer) {
    struct Case {
        const char* name;
        const char* typed;
        std::function<void(PassphraseDialog&)> act;
        Passphrase expected;
    };
    const auto click = [](const char* button) {
        return [button](PassphraseDialog& dialog) { dialog.findChild<QPushButton*>(button)->click(); };
    };
    const auto key = [](Qt::Key pressed) {
        return [pressed](PassphraseDialog& dialog) {
            QTest::keyClick(dialog.findChild<QLineEdit*>("passphrase"), pressed);
        };
    };
    const Case cases[] = {
        {"OK", "correct horse", click("ok"), "correct horse"},
        {"Enter in the box", "s3cret", key(Qt::Key_Return), "s3cret"},
        {"OK with nothing typed", "", click("ok"), ""},
        {"Cancel", "s3cret", click("cancel"), std::nullopt},
        {"Escape", "s3cret", key(Qt::Key_Escape), std::nullopt},
        {"closing the window", "s3cret", [](PassphraseDialog& dialog) { dialog.close(); }, std::nullopt},
        {"destroyed unanswered", "s3cret", [](PassphraseDialog& dialog) { delete &dialog; }, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Answers answers;
        const auto typeThenAct = [&c](PassphraseDialog& dialog) {
            QTest::keyClicks(dialog.findChild<QLineEdit*>("passphrase"), c.typed);
            c.act(dialog);
        };
        ExpectAnsweredOnce<PassphraseDialog>(new PassphraseDialog(kKeyPath, answers.Callback()), answers,
                                             typeThenAct, c.expected);
    }
}

// ---- The question from a session's worker, through the Host page's view ----

class PassphraseQuestionTest : public AppTest {
  protected:
    std::unique_ptr<WispSheet> sheet_ = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
    HostPageView& view_ = HostPageView::Create(sheet_->Bridge(), &sheet_->HostPage());

    PassphraseDialog* OpenDialog() const { return sheet_->HostPage().findChild<PassphraseDialog*>(); }
};

TEST_F(PassphraseQuestionTest, TheWorkerIsNotHeldWhileTheUserTypes) {
    sheet_->show();
    Answers answers;
    TestThread worker([&] { view_.AskPassphrase(kKeyPath, answers.Callback()); });
    ASSERT_TRUE(worker.JoinPumping(milliseconds(5000)));
    EXPECT_TRUE(answers.Given().empty());
    QPointer<PassphraseDialog> dialog = OpenDialog();
    ASSERT_FALSE(dialog.isNull());
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog->findChild<QLabel*>("keyPath")->text().toStdString(), kKeyPath);
    dialog->findChild<QLineEdit*>("passphrase")->setText("s3cret");
    dialog->findChild<QPushButton*>("ok")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(answers.Given(), std::vector<Passphrase>{"s3cret"});
    EXPECT_TRUE(answers.allOnUiThread);
}

TEST_F(PassphraseQuestionTest, ClosingTheWindowOrAFencedBridgeAnswersNothing) {
    for (const bool fenced : {false, true}) {
        SCOPED_TRACE(fenced ? "fenced bridge" : "window closed");
        sheet_ = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
        HostPageView& view = HostPageView::Create(sheet_->Bridge(), &sheet_->HostPage());
        sheet_->show();
        Answers answers;
        if (fenced) {
            sheet_->Bridge()->Fence();
            TestThread worker([&] { view.AskPassphrase(kKeyPath, answers.Callback()); });
            // The UI thread handles no events here: the worker must not need it.
            ASSERT_TRUE(worker.JoinWithoutPumping(milliseconds(5000)));
            EXPECT_EQ(OpenDialog(), nullptr);
        } else {
            TestThread worker([&] { view.AskPassphrase(kKeyPath, answers.Callback()); });
            ASSERT_TRUE(worker.JoinPumping(milliseconds(5000)));
            ASSERT_NE(OpenDialog(), nullptr);
            sheet_->close();
            QCoreApplication::processEvents();
            sheet_.reset();
        }
        EXPECT_EQ(answers.Given(), std::vector<Passphrase>{std::nullopt});
    }
}

}  // namespace
