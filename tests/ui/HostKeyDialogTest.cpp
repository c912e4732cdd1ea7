#include "ui/HostKeyDialog.h"
#include "ui/RecordedAnswers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <functional>
#include <memory>
#include <mutex>
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

SshHostKey Key(std::string host = "files.example.org", unsigned port = 22) {
    SshHostKey key;
    key.host = std::move(host);
    key.port = port;
    key.type = "ssh-ed25519";
    key.fingerprint = "SHA256:Xs1l8ZJv3qW8mJ6cV9a2zP0yKfQ7uT4nR5bE1hD3gLo";
    return key;
}

using Answers = RecordedAnswers<HostKeyAnswer>;

class HostKeyDialogTest : public AppTest {};

TEST_F(HostKeyDialogTest, ShowsTheServerTheKeyAndWhatAlwaysDoes) {
    const struct {
        std::string host;
        unsigned port;
        const char* server;
    } rows[] = {
        {"files.example.org", 22, "files.example.org"},
        {"files.example.org", 2222, "files.example.org:2222"},
        {"2001:db8::5", 22, "2001:db8::5"},
        {"2001:db8::5", 2222, "[2001:db8::5]:2222"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.server);
        Answers answers;
        HostKeyDialog dialog(Key(row.host, row.port), answers.Callback());
        dialog.show();
        EXPECT_EQ(dialog.windowTitle(), "Host key");
        EXPECT_EQ(ShownText(dialog, "server"), row.server);
        EXPECT_EQ(ShownText(dialog, "keyType"), "ssh-ed25519");
        // As ssh-keygen -lf writes it, on one line, so that it can be compared and copied whole.
        EXPECT_EQ(ShownText(dialog, "fingerprint"), "SHA256:Xs1l8ZJv3qW8mJ6cV9a2zP0yKfQ7uT4nR5bE1hD3gLo");
        EXPECT_TRUE(dialog.findChild<QLabel*>("fingerprint")->textInteractionFlags() &
                    Qt::TextSelectableByMouse);
        EXPECT_TRUE(ShownText(dialog, "heading").contains("not known"));
        EXPECT_TRUE(ShownText(dialog, "advice").contains("\"Always\" adds it to ~/.ssh/known_hosts"));
        for (const char* name : {"connectOnce", "always", "cancel"}) {
            EXPECT_NE(dialog.findChild<QPushButton*>(name), nullptr) << name;
        }
        EXPECT_EQ(dialog.findChild<QPushButton*>("connectOnce")->text(), "Connect &once");
        EXPECT_EQ(dialog.findChild<QPushButton*>("always")->text(), "&Always");
        // The fingerprint is not cut short at the dialog's default size.
        const auto* fingerprint = dialog.findChild<QLabel*>("fingerprint");
        EXPECT_GE(fingerprint->width(), fingerprint->sizeHint().width());
        if (row.port != 22) {
            EXPECT_TRUE(dialog.grab().save("/tmp/wisp-host-key.png"));
        }
        EXPECT_TRUE(answers.Given().empty());
    }
}

TEST_F(HostKeyDialogTest, ServerTextsAreShownAsTheyAreNeverAsMarkup) {
    SshHostKey key = Key("<b>bank</b>", 22);
    key.type = "<img src=\"x\">";
    Answers answers;
    HostKeyDialog dialog(key, answers.Callback());
    dialog.show();
    EXPECT_EQ(ShownText(dialog, "server"), "<b>bank</b>");
    EXPECT_EQ(ShownText(dialog, "keyType"), "<img src=\"x\">");
    for (const char* name : {"server", "keyType", "fingerprint"}) {
        EXPECT_EQ(dialog.findChild<QLabel*>(name)->textFormat(), Qt::PlainText) << name;
    }
}

TEST_F(HostKeyDialogTest, EveryWayOfAnsweringGivesOneAnswer) {
    struct Case {
        const char* name;
        std::function<void(HostKeyDialog&)> act;
        HostKeyAnswer expected;
    };
    const auto click = [](const char* button) {
        return [button](HostKeyDialog& dialog) { dialog.findChild<QPushButton*>(button)->click(); };
    };
    const auto key = [](Qt::Key pressed, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        return [pressed, modifiers](HostKeyDialog& dialog) { QTest::keyClick(&dialog, pressed, modifiers); };
    };
    const Case cases[] = {
        {"Connect once", click("connectOnce"), HostKeyAnswer::ConnectOnce},
        {"Always", click("always"), HostKeyAnswer::Always},
        {"Cancel", click("cancel"), HostKeyAnswer::Cancel},
        {"Escape", key(Qt::Key_Escape), HostKeyAnswer::Cancel},
        {"Enter presses Cancel", key(Qt::Key_Return), HostKeyAnswer::Cancel},
        {"the keypad's Enter presses Cancel", key(Qt::Key_Enter), HostKeyAnswer::Cancel},
        {"closing the window", [](HostKeyDialog& dialog) { dialog.close(); }, HostKeyAnswer::Cancel},
        {"the Alt+O mnemonic", key(Qt::Key_O, Qt::AltModifier), HostKeyAnswer::ConnectOnce},
        {"the Alt+A mnemonic", key(Qt::Key_A, Qt::AltModifier), HostKeyAnswer::Always},
        {"destroyed unanswered", [](HostKeyDialog& dialog) { delete &dialog; }, HostKeyAnswer::Cancel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Answers answers;
        ExpectAnsweredOnce<HostKeyDialog>(new HostKeyDialog(Key(), answers.Callback()), answers, c.act,
                                          c.expected);
    }
}

// ---- The question from a session's worker, through the Host page's view ----

class HostKeyQuestionTest : public AppTest {
  protected:
    std::unique_ptr<WispSheet> sheet_ = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
    HostPageView& view_ = HostPageView::Create(sheet_->Bridge(), &sheet_->HostPage());

    // Asks from another thread as the worker does; true when the call returned without the user.
    bool AskFromWorker(Answers& answers) {
        TestThread worker([&] { view_.AskHostKey(Key("127.0.0.1", 2222), answers.Callback()); });
        return worker.JoinPumping(milliseconds(5000));
    }
    HostKeyDialog* OpenDialog() const { return sheet_->HostPage().findChild<HostKeyDialog*>(); }
};

TEST_F(HostKeyQuestionTest, TheWorkerIsNotHeldWhileTheUserDecides) {
    sheet_->show();
    Answers answers;
    ASSERT_TRUE(AskFromWorker(answers));
    EXPECT_TRUE(answers.Given().empty());
    QPointer<HostKeyDialog> dialog = OpenDialog();
    ASSERT_FALSE(dialog.isNull());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(ShownText(*dialog, "server"), "127.0.0.1:2222");
    dialog->findChild<QPushButton*>("connectOnce")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(answers.Given(), std::vector<HostKeyAnswer>{HostKeyAnswer::ConnectOnce});
    EXPECT_TRUE(answers.allOnUiThread);
}

TEST_F(HostKeyQuestionTest, ClosingTheWindowOrAFencedBridgeAnswersCancel) {
    for (const bool fenced : {false, true}) {
        SCOPED_TRACE(fenced ? "fenced bridge" : "window closed");
        sheet_ = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
        HostPageView& view = HostPageView::Create(sheet_->Bridge(), &sheet_->HostPage());
        sheet_->show();
        Answers answers;
        if (fenced) {
            sheet_->Bridge()->Fence();
        }
        TestThread worker([&] { view.AskHostKey(Key(), answers.Callback()); });
        if (fenced) {
            // The UI thread handles no events here: the worker must not need it.
            ASSERT_TRUE(worker.JoinWithoutPumping(milliseconds(5000)));
            EXPECT_EQ(OpenDialog(), nullptr);
        } else {
            ASSERT_TRUE(worker.JoinPumping(milliseconds(5000)));
            ASSERT_NE(OpenDialog(), nullptr);
            sheet_->close();
            QCoreApplication::processEvents();
            sheet_.reset();
        }
        EXPECT_EQ(answers.Given(), std::vector<HostKeyAnswer>{HostKeyAnswer::Cancel});
    }
}

}  // namespace
