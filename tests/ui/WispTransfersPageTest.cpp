// The Transfers page over the real queue, offscreen: 10,000 rows at once, Retry, Stop and Remove on a
// selection, Clear finished, the worker's reports reaching the rows through the window, the batch in the
// title and bar, the queue of the last run coming back, and the Resume answer of the overwrite question.
#include "ui/WispTransfersPage.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "engine/FtpRequest.h"
#include "platform/ProfileStore.h"
#include "support/RecordingQueue.h"
#include "ui/AppTestSupport.h"
#include "ui/DialogDownloadChoices.h"
#include "ui/MainWindowViews.h"
#include "ui/TransferQueueModel.h"
#include "ui/WispRemotePage.h"
#include "ui/WispSheet.h"

namespace {

TransferItem Item(const std::string& name, std::int64_t size) {
    TransferItem item;
    item.remoteFolder = "/pub";
    item.remoteName = name;
    item.localPath = "/home/user/Downloads/" + name;
    item.size = size;
    return item;
}

std::vector<TransferItem> Items(int count) {
    std::vector<TransferItem> items;
    items.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        items.push_back(Item("file" + std::to_string(i) + ".bin", 1000 + i));
    }
    return items;
}

class WispTransfersPageTest : public AppTest {
  protected:
    WispTransfersPageTest() : page_(queue_) {
        page_.resize(900, 400);
        page_.SetRetryHandler([this](std::vector<RetriedTransfers> retries) {
            for (RetriedTransfers& retry : retries) {
                retried_.push_back(std::move(retry));
            }
        });
        page_.SetStopRunningHandler([this] { ++runningStops_; });
    }
    void Select(const std::vector<int>& rows) {
        QItemSelectionModel* selection = page_.Table().selectionModel();
        selection->clearSelection();
        for (const int row : rows) {
            selection->select(page_.Model().index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    QPushButton* Button(const char* name) { return page_.findChild<QPushButton*>(name); }
    QString Cell(int row, int column) {
        return page_.Model().data(page_.Model().index(row, column), Qt::DisplayRole).toString();
    }
    std::string States() {
        std::string text;
        for (const TransferRow& row : queue_.Rows()) {
            text += std::to_string(row.id) + ":" + std::string(TransferStateName(row.state)) + " ";
        }
        return text;
    }

    TransferQueue queue_;
    WispTransfersPage page_;
    std::vector<RetriedTransfers> retried_;
    int runningStops_ = 0;
};

TEST_F(WispTransfersPageTest, TenThousandRowsAreAllThereAtOnce) {
    page_.show();
    queue_.AddTransfers(TransferDirection::Download, "ftp://anonymous@127.0.0.1:21", kImageType,
                        Items(10'000));
    QCoreApplication::processEvents();
    EXPECT_EQ(page_.Model().rowCount(), 10'000);
    page_.Table().scrollToBottom();
    QCoreApplication::processEvents();
    const QModelIndex last = page_.Table().indexAt(QPoint(5, page_.Table().viewport()->height() - 5));
    EXPECT_GE(last.row(), 9'980);
    EXPECT_EQ(Cell(9'999, TransferQueueModel::kRemote), "/pub/file9999.bin");
    EXPECT_EQ(Cell(9'999, TransferQueueModel::kLocal), "/home/user/Downloads/file9999.bin");
    EXPECT_EQ(Cell(9'999, TransferQueueModel::kDirection), "Download");
    EXPECT_EQ(Cell(9'999, TransferQueueModel::kStatus), "Queued");
    EXPECT_EQ(Cell(9'999, TransferQueueModel::kSize), "10.7 KB");
    EXPECT_TRUE(page_.grab().save("/tmp/wisp-transfers-page.png"));
}

TEST_F(WispTransfersPageTest, RowsShowProgressSpeedTimeLeftAndTheReasonInWords) {
    std::int64_t now = 0;
    TransferQueue timed([&] { return now; });
    WispTransfersPage page(timed);
    timed.AddTransfers(TransferDirection::Upload, "ftp://h", kImageType,
                       {Item("a", 4096), Item("caf\xe9", 10)});
    timed.Started(1, 0, 4096);
    now += 1000;
    timed.Progress(1, 1024);
    timed.Ended(2, TransferEnd::Failed, "553 Could not create file.");
    const auto cell = [&](int row, int column) {
        return page.Model().data(page.Model().index(row, column), Qt::DisplayRole).toString().toStdString();
    };
    EXPECT_EQ(cell(0, TransferQueueModel::kDirection), "Upload");
    EXPECT_EQ(cell(0, TransferQueueModel::kProgress), "25%");
    EXPECT_EQ(cell(0, TransferQueueModel::kSpeed), "1.0 KB/s");
    EXPECT_EQ(cell(0, TransferQueueModel::kTimeLeft), "0:03");
    EXPECT_EQ(cell(0, TransferQueueModel::kStatus), "Running");
    // The server's Latin-1 byte shows as its character.
    EXPECT_EQ(cell(1, TransferQueueModel::kRemote), "/pub/caf\xc3\xa9");
    EXPECT_EQ(cell(1, TransferQueueModel::kStatus), "Failed: 553 Could not create file.");
}

TEST_F(WispTransfersPageTest, RetryStopAndRemoveActOnTheSelection) {
    queue_.AddTransfers(TransferDirection::Download, "ftp://joe@h:21", kImageType, Items(6));
    queue_.Ended(1, TransferEnd::Done, {});
    queue_.Started(2, 0, 1001);
    queue_.Progress(2, 500);
    queue_.Ended(2, TransferEnd::Failed, "421 Timeout");
    queue_.Started(3, 0, 1002);
    queue_.Ended(4, TransferEnd::Stopped, "Stopped by the user");
    const struct {
        const char* what;
        std::vector<int> rows;
        const char* button;
        bool enabled;
        const char* states;
        std::size_t retriedItems;
        int runningStops;
    } steps[] = {
        {"nothing selected",
         {},
         "retry",
         false,
         "1:Done 2:Failed 3:Running 4:Interrupted 5:Queued 6:Queued ",
         0,
         0},
        {"retry the done and the running rows",
         {0, 2},
         "retry",
         false,
         "1:Done 2:Failed 3:Running 4:Interrupted 5:Queued 6:Queued ",
         0,
         0},
        {"retry the failed and the interrupted rows",
         {1, 3},
         "retry",
         true,
         "1:Done 2:Queued 3:Running 4:Queued 5:Queued 6:Queued ",
         2,
         0},
        {"stop a queued and the running row",
         {2, 4},
         "stop",
         true,
         "1:Done 2:Queued 3:Running 4:Queued 5:Interrupted 6:Queued ",
         2,
         1},
        {"remove all but the running row", {0, 1, 2, 3, 4}, "remove", true, "3:Running 6:Queued ", 2, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        Select(step.rows);
        QCoreApplication::processEvents();
        QPushButton* button = Button(step.button);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->isEnabled(), step.enabled);
        if (button->isEnabled()) {
            QTest::mouseClick(button, Qt::LeftButton);
        }
        EXPECT_EQ(States(), step.states);
        std::size_t items = 0;
        for (const RetriedTransfers& retry : retried_) {
            items += retry.items->items.size();
        }
        EXPECT_EQ(items, step.retriedItems);
        EXPECT_EQ(runningStops_, step.runningStops);
    }
    ASSERT_EQ(retried_.size(), 1u);
    EXPECT_EQ(retried_[0].site, "ftp://joe@h:21");
    EXPECT_TRUE(retried_[0].items->items[0].resume);
    EXPECT_EQ(page_.Model().rowCount(), 2);
}

TEST_F(WispTransfersPageTest, ClearFinishedKeepsWhatStillNeedsTheUser) {
    queue_.AddTransfers(TransferDirection::Download, "ftp://h", kImageType, Items(4));
    EXPECT_FALSE(Button("clearFinished")->isEnabled());
    queue_.Ended(1, TransferEnd::Done, {});
    queue_.Ended(2, TransferEnd::Skipped, "Kept the local file");
    queue_.Ended(3, TransferEnd::Failed, "550 Denied");
    ASSERT_TRUE(Button("clearFinished")->isEnabled());
    QTest::mouseClick(Button("clearFinished"), Qt::LeftButton);
    EXPECT_EQ(States(), "3:Failed 4:Queued ");
    EXPECT_EQ(page_.Model().rowCount(), 2);
    EXPECT_FALSE(Button("clearFinished")->isEnabled());
}

TEST_F(WispTransfersPageTest, TheContextMenuOffersTheSameCommands) {
    queue_.AddTransfers(TransferDirection::Download, "ftp://h", kImageType, Items(2));
    queue_.Ended(1, TransferEnd::Failed, "x");
    Select({0});
    const std::unique_ptr<QMenu> menu = page_.CreateContextMenu();
    std::vector<std::string> items;
    for (QAction* action : menu->actions()) {
        items.push_back(action->text().toStdString() + (action->isEnabled() ? "" : " (off)"));
    }
    EXPECT_EQ(items, (std::vector<std::string>{"&Retry", "&Stop (off)", "Re&move", "&Clear finished (off)"}));
    menu->actions()[0]->trigger();
    EXPECT_EQ(States(), "1:Queued 2:Queued ");
}

struct QuestionRow {
    const char* name;
    bool offerResume;
    const char* click;  // "resume", "yes", "no", "escape"
    DownloadChoices::Answer answer;
};

class OverwriteQuestion : public AppTest, public ::testing::WithParamInterface<QuestionRow> {};

TEST_P(OverwriteQuestion, AnswersWhatTheUserClicked) {
    const QuestionRow& c = GetParam();
    const std::unique_ptr<QMessageBox> question(DialogDownloadChoices::CreateOverwriteQuestion(
        "/home/user/Downloads/big.iso", nullptr, c.offerResume));
    auto* resume = question->findChild<QPushButton*>("resume");
    EXPECT_EQ(resume != nullptr, c.offerResume);
    if (c.offerResume) {
        EXPECT_EQ(question->defaultButton(), question->button(QMessageBox::Yes));
        EXPECT_NE(question->text().indexOf("Resume"), -1);
    }
    const std::string click = c.click;
    QTimer::singleShot(0, [&] {
        if (click == "resume") {
            resume->click();
        } else if (click == "yes") {
            question->button(QMessageBox::Yes)->click();
        } else if (click == "no") {
            question->button(QMessageBox::No)->click();
        } else {
            QTest::keyClick(question.get(), Qt::Key_Escape);
        }
    });
    const int result = question->exec();
    EXPECT_EQ(DialogDownloadChoices::AnswerOf(*question, result), c.answer);
}

using A = DownloadChoices::Answer;
INSTANTIATE_TEST_SUITE_P(Rows, OverwriteQuestion,
                         ::testing::Values(QuestionRow{"Resume", true, "resume", A::Resume},
                                           QuestionRow{"ReplaceOverResume", true, "yes", A::Yes},
                                           QuestionRow{"KeepOverResume", true, "no", A::No},
                                           QuestionRow{"EscapeOverResume", true, "escape", A::Cancel},
                                           QuestionRow{"ReplaceWithoutResume", false, "yes", A::Yes},
                                           QuestionRow{"EscapeWithoutResume", false, "escape", A::Cancel}),
                         [](const auto& info) { return std::string(info.param.name); });

class TransfersInTheWindowTest : public AppTest {
  protected:
    std::unique_ptr<WispSheet> MakeSheet() {
        auto sheet = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
        sheet->show();
        return sheet;
    }
};

TEST_F(TransfersInTheWindowTest, TheWorkersReportsReachTheRowsAndTheBatchShowsInTheTitle) {
    auto sheet = MakeSheet();
    sheet->Queue().AddTransfers(TransferDirection::Download, "ftp://h", kImageType,
                                {Item("a", 1000), Item("b", 3000)});
    // From a worker thread, as the session reports.
    TestThread worker([] {
        MainWindowViews& views = MainWindowViews::Instance();
        views.TransferStarted(1, 0, 1000);
        views.TransferProgress(1, 1000);
        views.TransferEnded(1, TransferEnd::Done, {});
        views.TransferStarted(2, 0, 3000);
        views.TransferRetrying(2, 1, 5, "421 Timeout");
    });
    ASSERT_TRUE(worker.JoinPumping());
    ASSERT_TRUE(PumpUntil([&] { return sheet->Queue().At(1).attempt == 1; }));
    EXPECT_EQ(sheet->Queue().At(0).state, TransferState::Done);
    EXPECT_EQ(sheet->Queue().At(1).reason, "421 Timeout");
    ASSERT_TRUE(PumpUntil([&] {
        return sheet->windowTitle() == "Wisp - 1 of 2 files, 1000 bytes of 3.9 KB";
    })) << sheet->windowTitle().toStdString();
    EXPECT_EQ(sheet->ProgressBar().value(), 25);
    // The session's own status waits while the batch runs and comes back when it is over.
    sheet->SetStatus("GETing b");
    EXPECT_EQ(sheet->windowTitle(), "Wisp - 1 of 2 files, 1000 bytes of 3.9 KB");
    MainWindowViews::Instance().TransferEnded(2, TransferEnd::Failed, "421 Timeout");
    ASSERT_TRUE(PumpUntil([&] { return sheet->windowTitle() == "Wisp - GETing b"; }))
        << sheet->windowTitle().toStdString();
    sheet->close();
}

TEST_F(TransfersInTheWindowTest, TheNextStartShowsTheQueueWithUnfinishedRowsInterrupted) {
    {
        auto sheet = MakeSheet();
        sheet->Queue().AddTransfers(TransferDirection::Download, "ftp://joe:secret@h:21", kImageType,
                                    Items(3));
        sheet->Queue().Ended(1, TransferEnd::Done, {});
        sheet->Queue().Started(2, 0, 1001);
        sheet->close();
    }
    auto sheet = MakeSheet();
    ASSERT_EQ(sheet->Queue().Count(), 3);
    EXPECT_EQ(sheet->Queue().At(0).state, TransferState::Done);
    EXPECT_EQ(sheet->Queue().At(1).state, TransferState::Interrupted);
    EXPECT_EQ(sheet->Queue().At(2).state, TransferState::Interrupted);
    EXPECT_EQ(sheet->Queue().At(2).site, "ftp://joe@h:21");
    EXPECT_EQ(sheet->TransfersPage().Model().rowCount(), 3);
    sheet->close();
}

TEST_F(TransfersInTheWindowTest, ARetryWithoutPasswordForItsSiteLeavesTheRowsInterrupted) {
    auto sheet = MakeSheet();
    std::vector<std::string> asked;
    sheet->SetPasswordQuestion([&](const std::string& site) -> std::optional<std::string> {
        asked.push_back(site);
        return std::nullopt;
    });
    sheet->Queue().AddTransfers(TransferDirection::Download, "ftp://joe@127.0.0.1:9", kImageType, Items(2));
    sheet->Queue().Ended(1, TransferEnd::Failed, "421 Lost");
    sheet->Queue().Ended(2, TransferEnd::Failed, "421 Lost");
    sheet->RetryTransfers(sheet->Queue().Retry({1, 2}));
    EXPECT_EQ(asked, std::vector<std::string>{"ftp://joe@127.0.0.1:9"});
    EXPECT_EQ(sheet->Queue().At(0).state, TransferState::Interrupted);
    EXPECT_EQ(sheet->Queue().At(1).reason, "Not retried: no password given for ftp://joe@127.0.0.1:9");
    sheet->close();
}

TEST_F(TransfersInTheWindowTest, ARetryOfAnSftpSiteLogsInWithKeysWithoutAskingForAPassword) {
    auto sheet = MakeSheet();
    std::vector<std::string> asked;
    sheet->SetPasswordQuestion([&](const std::string& site) -> std::optional<std::string> {
        asked.push_back(site);
        return std::nullopt;
    });
    sheet->Queue().AddTransfers(TransferDirection::Download, "sftp://joe@127.0.0.1:9", kImageType, Items(1));
    sheet->Queue().Ended(1, TransferEnd::Failed, "the connection was lost");
    sheet->RetryTransfers(sheet->Queue().Retry({1}));
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(sheet->Queue().At(0).reason.find("no password given"), std::string::npos)
        << sheet->Queue().At(0).reason;
    sheet->close();
}

// The Remote page's Get makes rows in the window's queue; Retry of a row of the connected site goes to
// that session, and Stop of a running row aborts it as Escape does.
TEST_F(TransfersInTheWindowTest, RowsOfTheConnectedSiteAreRetriedAndStoppedOnItsSession) {
    auto sheet = MakeSheet();
    auto session = std::make_shared<RecordingQueue>();
    session->site = "ftp://anonymous@127.0.0.1:2121";
    sheet->RemotePage().SetSite(session->site);
    sheet->RemotePage().State().ResetForSession(session);
    ASSERT_FALSE(sheet->RemotePage().State().EnterDirectory("/pub"));
    sheet->RemotePage().State().AddListingLines({"type=file;size=10; a.bin", "type=file;size=20; b.bin"});
    sheet->RemotePage().State().FinishListing(true);

    class Folder : public DownloadChoices {
      public:
        std::optional<std::string> ChooseFolder(const std::string&) override { return "/tmp"; }
        Answer AskOverwrite(const std::string&) override { return Answer::Yes; }
    } choices;
    ASSERT_TRUE(sheet->RemotePage().State().GetFilesAs({0, 1}, kImageType, choices, {}));
    ASSERT_EQ(sheet->Queue().Count(), 2);
    EXPECT_EQ(sheet->TransfersPage().Model().rowCount(), 2);
    EXPECT_EQ(sheet->Queue().At(0).site, session->site);

    sheet->Queue().Started(1, 0, 10);
    sheet->Queue().Started(2, 0, 20);
    sheet->Queue().Progress(2, 8);
    sheet->Queue().Ended(2, TransferEnd::Failed, "426 Connection closed");
    QItemSelectionModel* selection = sheet->TransfersPage().Table().selectionModel();
    selection->select(sheet->TransfersPage().Model().index(1, 0),
                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    sheet->TransfersPage().RetrySelection();
    ASSERT_EQ(session->transferItems.size(), 2u);
    ASSERT_EQ(session->transferItems[1].size(), 1u);
    EXPECT_EQ(session->transferItems[1][0].row, 2u);
    EXPECT_EQ(session->transferItems[1][0].remoteName, "b.bin");
    EXPECT_TRUE(session->transferItems[1][0].resume);
    EXPECT_EQ(session->queued.back().kind, FtpRequestKind::Get);
    EXPECT_EQ(session->queued.back().text, "/tmp");
    EXPECT_EQ(sheet->Queue().At(1).state, TransferState::Queued);

    selection->select(sheet->TransfersPage().Model().index(0, 0),
                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    sheet->TransfersPage().StopSelection();
    EXPECT_EQ(session->aborts, 1);

    // The session's end leaves nothing waiting for it.
    sheet->RemotePage().ResetAfterSession();
    EXPECT_EQ(sheet->Queue().At(0).state, TransferState::Interrupted);
    EXPECT_EQ(sheet->Queue().At(1).state, TransferState::Interrupted);
    sheet->close();
}

}  // namespace
