#include "ui/CertificateDialog.h"
#include "ui/RecordedAnswers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ProfileKeys.h"
#include "platform/ProfileStore.h"
#include "ui/AppTestSupport.h"
#include "ui/HostPageView.h"
#include "ui/UiBridge.h"
#include "ui/WispHostPage.h"
#include "ui/WispSheet.h"

namespace {

using std::chrono::milliseconds;

CertificateQuestion Question(bool changed) {
    CertificateQuestion question;
    question.host = "ftp.example.org";
    question.port = 990;
    question.certificate.subject = "CN=ftp.example.org, O=Example Files, L=Springfield, C=US";
    question.certificate.issuer = "CN=Example Files Internal CA, O=Example Files";
    question.certificate.validFrom = "2026-01-31 12:00:00 UTC";
    question.certificate.validUntil = "2027-01-31 12:00:00 UTC";
    question.certificate.fingerprint =
        "3A:F1:09:7C:DE:52:B8:64:0E:A9:13:C7:5D:88:2F:41:"
        "B6:E0:7A:94:1C:D3:68:05:FA:2B:91:4E:C0:37:8D:E6";
    question.certificate.problem = "unable to get local issuer certificate";
    question.changed = changed;
    return question;
}

using Answers = RecordedAnswers<CertificateTrust>;

void DeliverDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class CertificateDialogTest : public AppTest {};

TEST_F(CertificateDialogTest, ShowsTheCertificateWhyItFailedAndAWarningWhenItChanged) {
    for (const bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed" : "first time");
        Answers answers;
        CertificateDialog dialog(Question(changed), answers.Callback());
        dialog.show();
        EXPECT_EQ(dialog.windowTitle(), "Certificate");
        EXPECT_EQ(ShownText(dialog, "server"), "ftp.example.org:990");
        EXPECT_EQ(ShownText(dialog, "heading"), "The server's certificate could not be verified:");
        EXPECT_EQ(ShownText(dialog, "problem"), "unable to get local issuer certificate");
        EXPECT_EQ(ShownText(dialog, "subject"), "CN=ftp.example.org, O=Example Files, L=Springfield, C=US");
        EXPECT_EQ(ShownText(dialog, "issuer"), "CN=Example Files Internal CA, O=Example Files");
        EXPECT_EQ(ShownText(dialog, "validFrom"), "2026-01-31 12:00:00 UTC");
        EXPECT_EQ(ShownText(dialog, "validUntil"), "2027-01-31 12:00:00 UTC");
        // Two lines of sixteen pairs; copied, the colon between them stays.
        EXPECT_EQ(ShownText(dialog, "fingerprint"),
                  "3A:F1:09:7C:DE:52:B8:64:0E:A9:13:C7:5D:88:2F:41:\n"
                  "B6:E0:7A:94:1C:D3:68:05:FA:2B:91:4E:C0:37:8D:E6");
        const auto* fingerprint = dialog.findChild<QLabel*>("fingerprint");
        ASSERT_NE(fingerprint, nullptr);
        // The pairs line up in columns as the user reads them: every character drawn as wide as a narrow
        // and a wide letter. Asked of the glyphs, since some monospaced fonts do not say they are.
        const QFontMetricsF metrics(fingerprint->font());
        const qreal narrow = metrics.horizontalAdvance(QLatin1Char('l'));
        EXPECT_DOUBLE_EQ(metrics.horizontalAdvance(QLatin1Char('W')), narrow);
        for (const QString& line : fingerprint->text().split('\n')) {
            EXPECT_DOUBLE_EQ(metrics.horizontalAdvance(line), narrow * line.size()) << line.toStdString();
        }
        EXPECT_TRUE(fingerprint->textInteractionFlags() & Qt::TextSelectableByMouse);
        const auto* warning = dialog.findChild<QLabel*>("changed");
        ASSERT_NE(warning, nullptr);
        EXPECT_EQ(warning->isVisible(), changed);
        EXPECT_TRUE(warning->text().startsWith(
            "Warning: the certificate of this server has changed since you chose to always trust it."));
        for (const char* name : {"trustThisTime", "trustAlways", "cancel"}) {
            EXPECT_NE(dialog.findChild<QPushButton*>(name), nullptr) << name;
        }
        EXPECT_TRUE(
            dialog.grab().save(changed ? "/tmp/wisp-certificate-changed.png" : "/tmp/wisp-certificate.png"));
        // A large window gives its room to the space above the buttons, not between the rows.
        const auto* subject = dialog.findChild<QLabel*>("subject");
        const int rowsHeight = fingerprint->y() - subject->y();
        dialog.resize(1000, 600);
        QCoreApplication::processEvents();
        EXPECT_EQ(fingerprint->y() - subject->y(), rowsHeight);
        if (changed) {
            EXPECT_TRUE(dialog.grab().save("/tmp/wisp-certificate-large.png"));
        }
        EXPECT_TRUE(answers.Given().empty());
    }
}

TEST_F(CertificateDialogTest, ServerTextsAreShownAsTheyAreNeverAsMarkup) {
    CertificateQuestion question = Question(false);
    question.certificate.subject = "CN=<b>bank</b><img src=\"x\">";
    question.certificate.problem.clear();
    Answers answers;
    CertificateDialog dialog(question, answers.Callback());
    dialog.show();
    const auto* subject = dialog.findChild<QLabel*>("subject");
    ASSERT_NE(subject, nullptr);
    EXPECT_EQ(subject->text(), "CN=<b>bank</b><img src=\"x\">");
    EXPECT_EQ(subject->textFormat(), Qt::PlainText);
    // Without a reason the heading ends the sentence and no empty line follows it.
    EXPECT_EQ(ShownText(dialog, "heading"), "The server's certificate could not be verified.");
    EXPECT_FALSE(dialog.findChild<QLabel*>("problem")->isVisible());
}

TEST_F(CertificateDialogTest, EveryWayOfAnsweringGivesOneAnswer) {
    struct Case {
        const char* name;
        std::function<void(CertificateDialog&)> act;
        CertificateTrust expected;
    };
    const auto click = [](const char* button) {
        return [button](CertificateDialog& dialog) { dialog.findChild<QPushButton*>(button)->click(); };
    };
    const Case cases[] = {
        {"Trust this time", click("trustThisTime"), CertificateTrust::ThisTime},
        {"Always trust", click("trustAlways"), CertificateTrust::Always},
        {"Cancel", click("cancel"), CertificateTrust::Cancel},
        {"Escape", [](CertificateDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); },
         CertificateTrust::Cancel},
        {"Enter presses Cancel", [](CertificateDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Return); },
         CertificateTrust::Cancel},
        {"closing the window", [](CertificateDialog& dialog) { dialog.close(); }, CertificateTrust::Cancel},
        {"the Alt+A mnemonic",
         [](CertificateDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_A, Qt::AltModifier); },
         CertificateTrust::Always},
        {"destroyed unanswered", [](CertificateDialog& dialog) { delete &dialog; }, CertificateTrust::Cancel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Answers answers;
        ExpectAnsweredOnce<CertificateDialog>(new CertificateDialog(Question(false), answers.Callback()),
                                              answers, c.act, c.expected);
    }
}

// ---- The question from a session's worker, through the Host page's view ----

class HostPageQuestionTest : public AppTest {
  protected:
    std::unique_ptr<WispSheet> sheet_ = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
    HostPageView& view_ = HostPageView::Create(sheet_->Bridge(), &sheet_->HostPage());

    // Asks from another thread as the worker does; true when the call returned without the user.
    bool AskFromWorker(Answers& answers, bool changed = false) {
        TestThread worker([&] { view_.AskCertificateTrust(Question(changed), answers.Callback()); });
        return worker.JoinPumping(milliseconds(5000));
    }
    CertificateDialog* OpenDialog() const { return sheet_->HostPage().findChild<CertificateDialog*>(); }
};

TEST_F(HostPageQuestionTest, TheWorkerIsNotHeldWhileTheUserDecides) {
    sheet_->show();
    Answers answers;
    ASSERT_TRUE(AskFromWorker(answers));
    EXPECT_TRUE(answers.Given().empty());
    QPointer<CertificateDialog> dialog = OpenDialog();
    ASSERT_FALSE(dialog.isNull());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    dialog->findChild<QPushButton*>("trustAlways")->click();
    DeliverDeferredDeletes();
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(answers.Given(), std::vector<CertificateTrust>{CertificateTrust::Always});
    EXPECT_TRUE(answers.allOnUiThread);
    // The session stores an "always"; the page itself stores nothing.
    EXPECT_TRUE(ProfileStore::ForCurrentUser().EnumerateValues(kCertificatesKey).empty());
}

TEST_F(HostPageQuestionTest, ClosingTheWindowWithTheQuestionOpenAnswersCancel) {
    sheet_->show();
    Answers answers;
    ASSERT_TRUE(AskFromWorker(answers, true));
    ASSERT_NE(OpenDialog(), nullptr);
    sheet_->close();
    QCoreApplication::processEvents();
    sheet_.reset();
    EXPECT_EQ(answers.Given(), std::vector<CertificateTrust>{CertificateTrust::Cancel});
}

TEST_F(HostPageQuestionTest, OnceTheBridgeIsFencedTheAnswerIsCancelAtOnce) {
    sheet_->show();
    sheet_->Bridge()->Fence();
    Answers answers;
    TestThread worker([&] { view_.AskCertificateTrust(Question(false), answers.Callback()); });
    // The UI thread handles no events here: the worker must not need it.
    ASSERT_TRUE(worker.JoinWithoutPumping(milliseconds(5000)));
    EXPECT_EQ(answers.Given(), std::vector<CertificateTrust>{CertificateTrust::Cancel});
    EXPECT_EQ(OpenDialog(), nullptr);
}

}  // namespace
