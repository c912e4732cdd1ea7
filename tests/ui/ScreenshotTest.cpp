// Not a check: scripts/screenshot.sh runs these to picture the program connected to the demo site, for the
// README. They are disabled so the test runs never need a demo site.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/CommandLine.h"
#include "engine/FtpRequest.h"
#include "platform/ProfileStore.h"
#include "remote/DownloadChoices.h"
#include "support/TempDir.h"
#include "transfers/TransferQueue.h"
#include "ui/AppTestSupport.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemotePageTesting.h"
#include "ui/WispApp.h"
#include "ui/WispHostPage.h"
#include "ui/WispRemotePage.h"
#include "ui/WispSheet.h"
#include "ui/WispTransfersPage.h"

namespace {

class ScreenshotTest : public AppTest {};

bool RemoteListingShown(const WispSheet& sheet) {
    for (const QAbstractItemView* view : sheet.RemotePage().findChildren<QAbstractItemView*>()) {
        if (view->model() != nullptr && view->model()->rowCount() > 0) {
            return true;
        }
    }
    return false;
}

TEST_F(ScreenshotTest, DISABLED_RemotePageOnTheDemoSite) {
    const char* url = std::getenv("WISP_SCREENSHOT_URL");
    const char* file = std::getenv("WISP_SCREENSHOT_FILE");
    ASSERT_NE(url, nullptr) << "set WISP_SCREENSHOT_URL";
    ASSERT_NE(file, nullptr) << "set WISP_SCREENSHOT_FILE";
    const CommandLineRequest request = CommandLine::Parse({std::string_view(url)});
    ASSERT_TRUE(request.hasUrl) << request.error;

    WispSheet sheet(ProfileStore::ForCurrentUser());
    sheet.show();
    WispApp::OpenCommandLineUrl(sheet, request.url);
    const bool listed = PumpUntil([&] { return RemoteListingShown(sheet); }, std::chrono::seconds(60));
    sheet.Tabs().setCurrentWidget(&sheet.RemotePage());
    // What a user meets: a folder that cannot be opened says so on the page, and a row is selected.
    WispRemotePage& remote = sheet.RemotePage();
    remote.State().ChangeDirectory("/no-such-folder");
    PumpUntil([&] { return !remote.State().Failure().empty(); }, std::chrono::seconds(10));
    RemoteEntryModel* model = WispRemotePageTesting(remote).Model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 0).data().toString() == "docs") {
            remote.Selection()->select(model->index(row, 0), QItemSelectionModel::ClearAndSelect);
            remote.CurrentView()->setCurrentIndex(model->index(row, 0));
        }
    }
    remote.CurrentView()->setFocus();
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(sheet.grab().save(QString::fromLocal8Bit(file)));
    EXPECT_TRUE(listed) << "the Remote page showed no listing; the picture shows the window as it was";
    sheet.close();
    QCoreApplication::processEvents();
}

// Two binary files fetched from the demo site, whose data rate is limited: the picture shows one done and
// one on its way.
TEST_F(ScreenshotTest, DISABLED_TransfersPageOnTheDemoSite) {
    const char* url = std::getenv("WISP_SCREENSHOT_URL");
    const char* file = std::getenv("WISP_SCREENSHOT_FILE");
    ASSERT_NE(url, nullptr) << "set WISP_SCREENSHOT_URL";
    ASSERT_NE(file, nullptr) << "set WISP_SCREENSHOT_FILE";
    const CommandLineRequest request = CommandLine::Parse({std::string(url) + "binary/"});
    ASSERT_TRUE(request.hasUrl) << request.error;

    WispSheet sheet(ProfileStore::ForCurrentUser());
    sheet.resize(900, 420);
    sheet.show();
    WispApp::OpenCommandLineUrl(sheet, request.url);
    WispRemotePage& remote = sheet.RemotePage();
    ASSERT_TRUE(
        PumpUntil([&] { return remote.State().CurrentDirectory() == "/binary"; }, std::chrono::seconds(60)));
    const TempDir folder;
    class IntoFolder : public DownloadChoices {
      public:
        explicit IntoFolder(std::string path) : path_(std::move(path)) {}
        std::optional<std::string> ChooseFolder(const std::string&) override { return path_; }
        Answer AskOverwrite(const std::string&) override { return Answer::Yes; }

      private:
        std::string path_;
    } choices(folder.Path().string());
    RemoteEntryModel* model = WispRemotePageTesting(remote).Model();
    std::vector<int> rows;
    for (int row = 0; row < model->rowCount(); ++row) {
        rows.push_back(row);
    }
    ASSERT_TRUE(remote.State().GetFilesAs(rows, kImageType, choices, {}));
    const TransferQueue& queue = sheet.Queue();
    PumpUntil(
        [&] {
            for (int index = 0; index < queue.Count(); ++index) {
                if (queue.At(index).state == TransferState::Running &&
                    queue.At(index).bytesDone > (8 << 20)) {
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(30));
    sheet.Tabs().setCurrentWidget(&sheet.TransfersPage());
    PumpUntil([] { return false; }, std::chrono::milliseconds(600));
    EXPECT_TRUE(sheet.grab().save(QString::fromLocal8Bit(file)));
    sheet.close();
    QCoreApplication::processEvents();
}

}  // namespace
