// The whole program headless against pyftpdlib on 127.0.0.1, through the real widgets: connect from the
// Host page, browse, download with an overwrite question, switch to Image, upload by a drop, delete with
// the Delete key, refresh, stop a download with Escape, and log off from the menu.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ProfileStore.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"
#include "ui/AppTestSupport.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemotePageTesting.h"
#include "ui/WispHostPage.h"
#include "ui/WispLogPage.h"
#include "ui/WispRemotePage.h"
#include "ui/WispSheet.h"

namespace {

using namespace std::chrono_literals;

class ScriptedChoices : public DownloadChoices {
  public:
    explicit ScriptedChoices(std::string folder) : folder_(std::move(folder)) {}
    std::optional<std::string> ChooseFolder(const std::string&) override { return folder_; }
    Answer AskOverwrite(const std::string& localPath) override {
        asked.push_back(localPath);
        if (answers.empty()) {
            return Answer::Cancel;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<Answer> answers;
    std::vector<std::string> asked;

  private:
    std::string folder_;
};

class EndToEndTest : public AppTest {
  protected:
    WispRemotePage& Remote() { return sheet_->RemotePage(); }
    QAbstractItemView* List() { return Remote().CurrentView(); }
    int RowNamed(const std::string& name) {
        for (int row = 0; row < WispRemotePageTesting(Remote()).Model()->rowCount(); ++row) {
            if (WispRemotePageTesting(Remote()).Model()->index(row, 0).data().toString().toStdString() ==
                name) {
                return row;
            }
        }
        return -1;
    }
    void Select(const std::vector<std::string>& names) {
        Remote().Selection()->clearSelection();
        for (const std::string& name : names) {
            const int row = RowNamed(name);
            ASSERT_GE(row, 0) << name;
            Remote().Selection()->select(WispRemotePageTesting(Remote()).Model()->index(row, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    int Logged(const std::string& line) {
        const std::vector<std::string> lines = LogLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    std::vector<std::string> LogLines() {
        const auto* list = sheet_->LogPage().findChild<QListWidget*>("log");
        std::vector<std::string> lines;
        for (int i = 0; list != nullptr && i < list->count(); ++i) {
            lines.push_back(list->item(i)->text().toStdString());
        }
        return lines;
    }
    std::string LogText() {
        std::string text;
        for (const std::string& line : LogLines()) {
            text += line + "\n";
        }
        return text;
    }
    std::string Title() { return sheet_->windowTitle().toStdString(); }
    void Press(Qt::Key key) {
        List()->setFocus();
        QTest::keyClick(List(), key);
    }

    RealFtpServer server_{RealFtpServer::Kind::Pyftpdlib};
    TempDir local_;
    std::unique_ptr<WispSheet> sheet_;
    ScriptedChoices* choices_ = nullptr;
};

TEST_F(EndToEndTest, BrowseDownloadUploadDeleteRefreshAbortAndLogOff) {
    WISP_REQUIRE_REAL_SERVER(server_);
    const std::string folder = local_.Path().string();
    ASSERT_TRUE(server_.WriteFile("readme.txt", "read me"));
    ASSERT_TRUE(server_.WriteFile("upload/old.txt", "server's old"));
    ASSERT_TRUE(server_.WriteFile("upload/new.txt", "a new text without line ends"));
    const std::string binary = server_.WritePatternFile("upload/binary.dat", 300000, 7);
    ASSERT_FALSE(binary.empty());
    // Large but sparse on the server's disk.
    ASSERT_TRUE(server_.WriteFile("upload/big.dat", ""));
    std::filesystem::resize_file(server_.WritablePath() / "big.dat", 256U << 20U);
    ASSERT_TRUE(local_.WriteFile("old.txt", "mine"));

    sheet_ = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
    sheet_->show();
    sheet_->activateWindow();
    auto choices = std::make_unique<ScriptedChoices>(folder);
    choices_ = choices.get();
    WispRemotePageTesting(Remote()).SetDownloadChoices(std::move(choices));

    // Connect by typing the URL and pressing Enter.
    auto* url = sheet_->HostPage().findChild<QComboBox*>("url");
    ASSERT_NE(url, nullptr);
    url->setFocus(Qt::MouseFocusReason);
    url->lineEdit()->selectAll();
    QTest::keyClicks(url->lineEdit(), QString("ftp://127.0.0.1:%1/").arg(server_.Port()));
    QTest::keyClick(url->lineEdit(), Qt::Key_Return);
    ASSERT_TRUE(
        PumpUntil([&] { return sheet_->HostPage().CurrentState() == WispHostPage::State::Connected; }, 30s));
    auto* connected = sheet_->HostPage().findChild<QLineEdit*>("connected");
    ASSERT_NE(connected, nullptr);
    EXPECT_FALSE(connected->text().isEmpty());

    // The root, then a folder by double-click.
    sheet_->Tabs().setCurrentWidget(&Remote());
    ASSERT_TRUE(PumpUntil([&] { return Remote().State().CurrentDirectory() == "/"; }, 30s));
    EXPECT_GE(RowNamed("readme.txt"), 0);
    Select({"upload"});
    const QRect cell =
        List()->visualRect(WispRemotePageTesting(Remote()).Model()->index(RowNamed("upload"), 0));
    QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_TRUE(PumpUntil([&] { return Remote().State().CurrentDirectory() == "/upload"; }, 30s));

    // Two files, one of them here already: No keeps ours, the other arrives with its listed time.
    Select({"old.txt", "new.txt"});
    choices_->answers = {DownloadChoices::Answer::No};
    Press(Qt::Key_Return);
    EXPECT_EQ(choices_->asked, std::vector<std::string>{folder + "/old.txt"});
    EXPECT_EQ(Remote().SelectedRows(), std::vector<int>{RowNamed("new.txt")});
    ASSERT_TRUE(PumpUntil(
        [&] {
            return Logged("... cached a copy of /upload") == 1 && Title() == "Wisp" &&
                   local_.ReadFile("new.txt") == "a new text without line ends";
        },
        30s));
    EXPECT_EQ(local_.ReadFile("old.txt"), "mine");
    struct stat info {};
    ASSERT_EQ(::stat((local_ / "new.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, Remote().State().EntryOfRow(RowNamed("new.txt")).Time());

    // Image mode for a binary file.
    WispRemotePageTesting(Remote()).ImageAction()->trigger();
    Select({"binary.dat"});
    Press(Qt::Key_Return);
    ASSERT_TRUE(PumpUntil([&] { return local_.ReadFile("binary.dat") == binary; }, 30s));
    ASSERT_TRUE(PumpUntil([&] { return Title() == "Wisp"; }, 30s));

    // Two local files dropped on the list.
    ASSERT_TRUE(local_.WriteFile("drop1.txt", "first dropped"));
    const std::string second = TempDir::PatternBytes(70000, 3);
    ASSERT_TRUE(local_.WriteFile("drop2.bin", second));
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString((local_ / "drop1.txt").string())),
                      QUrl::fromLocalFile(QString::fromStdString((local_ / "drop2.bin").string()))});
        QDragEnterEvent enter(QPoint(8, 8), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(List()->viewport(), &enter);
        QDropEvent drop(QPointF(8, 8), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(List()->viewport(), &drop);
    }
    ASSERT_TRUE(PumpUntil([&] { return RowNamed("drop1.txt") >= 0 && RowNamed("drop2.bin") >= 0; }, 30s))
        << LogText();
    EXPECT_EQ(server_.ReadFile("upload/drop1.txt"), "first dropped");
    EXPECT_EQ(server_.ReadFile("upload/drop2.bin"), second);

    // Delete with the Delete key.
    Select({"drop1.txt"});
    Press(Qt::Key_Delete);
    ASSERT_TRUE(PumpUntil([&] { return RowNamed("drop1.txt") < 0; }, 30s));
    EXPECT_FALSE(server_.Exists("upload/drop1.txt"));
    EXPECT_TRUE(server_.Exists("upload/drop2.bin"));

    // F5 lists the folder afresh.
    Press(Qt::Key_F5);
    ASSERT_TRUE(PumpUntil([&] { return Logged("... cached a copy of /upload") == 2; }, 30s));
    EXPECT_EQ(Logged("... flushing cached copy of /upload"), 1);
    EXPECT_LT(RowNamed("drop1.txt"), 0);
    EXPECT_GE(RowNamed("drop2.bin"), 0);

    // Escape during a large download: a sparse file of 2 GiB is still arriving when its first MiB is in
    // place.
    std::filesystem::resize_file(server_.WritablePath() / "big.dat", 2ULL << 30U);
    Select({"big.dat"});
    choices_->answers = {DownloadChoices::Answer::Yes};
    Press(Qt::Key_Return);
    ASSERT_TRUE(PumpUntil(
        [&] {
            std::error_code error;
            const auto size = std::filesystem::file_size(local_ / "big.dat", error);
            return !error && size > (1U << 20U);
        },
        30s));
    Press(Qt::Key_Escape);
    EXPECT_EQ(Title(), "Wisp - Transfer terminated");
    ASSERT_TRUE(PumpUntil([&] { return Logged("Transfer terminated") == 1; }, 60s)) << LogText();
    EXPECT_LT(std::filesystem::file_size(local_ / "big.dat"), 2ULL << 30U);
    EXPECT_EQ(Logged("Transfer terminated"), 1);
    // The next request is served.
    Press(Qt::Key_F5);
    ASSERT_TRUE(PumpUntil([&] { return Logged("... cached a copy of /upload") == 3; }, 30s));

    // Log off from the background menu.
    Remote().Selection()->clearSelection();
    WispRemotePageTesting(Remote()).SetMenuRunner([](QMenu& menu, const QPoint&) -> QAction* {
        for (QAction* action : menu.actions()) {
            if (action->text() == "&Logoff") {
                return action;
            }
        }
        return nullptr;
    });
    Remote().ShowContextMenu(QPoint(20, 20));
    ASSERT_TRUE(PumpUntil(
        [&] {
            return sheet_->HostPage().CurrentState() == WispHostPage::State::Idle && !Remote().Connected();
        },
        30s));
    EXPECT_EQ(WispRemotePageTesting(Remote()).Model()->rowCount(), 0);
    EXPECT_FALSE(WispRemotePageTesting(Remote()).AsciiAction()->isChecked());
    EXPECT_FALSE(WispRemotePageTesting(Remote()).ImageAction()->isChecked());
    EXPECT_EQ(Title(), "Wisp");
}

}  // namespace
