// The Remote page driven by a real session against pyftpdlib on 127.0.0.1: the root, a folder, the way
// back from the cache, and Refresh.
#include <gtest/gtest.h>

#include <QAction>
#include <QListView>
#include <QTest>
#include <algorithm>
#include <string>
#include <vector>

#include "engine/FtpSession.h"
#include "engine/FtpSessionHandle.h"
#include "support/RealFtpServer.h"
#include "support/RecordingViews.h"
#include "ui/AppTestSupport.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemotePageTesting.h"
#include "ui/WispRemotePage.h"
#include "views/NullViews.h"

namespace {

using namespace std::chrono_literals;

class RemotePageRealServerTest : public AppTest {
  protected:
    std::vector<std::string> Rows() const {
        std::vector<std::string> names;
        for (int row = 0; row < WispRemotePageTesting(*page_).Model()->rowCount(); ++row) {
            names.push_back(
                WispRemotePageTesting(*page_).Model()->index(row, 0).data().toString().toStdString());
        }
        return names;
    }
    int RowNamed(const std::string& name) const {
        const std::vector<std::string> rows = Rows();
        const auto found = std::find(rows.begin(), rows.end(), name);
        return found == rows.end() ? -1 : static_cast<int>(found - rows.begin());
    }
    bool InDirectory(const std::string& path, std::size_t cachedCopies) {
        return PumpUntil(
            [&] {
                const std::vector<std::string> messages = recorder_.Messages();
                return page_->State().CurrentDirectory() == path &&
                       static_cast<std::size_t>(std::count(messages.begin(), messages.end(),
                                                           "... cached a copy of " + path)) == cachedCopies;
            },
            30s);
    }

    RecordingViews recorder_;
    NullViews none_;
    std::unique_ptr<WispRemotePage> page_ = std::make_unique<WispRemotePage>(nullptr, &recorder_.Views().log);
};

TEST_F(RemotePageRealServerTest, RootFolderCacheAndRefresh) {
    RealFtpServer server(RealFtpServer::Kind::Pyftpdlib);
    WISP_REQUIRE_REAL_SERVER(server);
    ASSERT_TRUE(server.WriteFile("readme.txt", "read me\n"));
    ASSERT_TRUE(server.WriteFile("pub/a.txt", "a\n"));
    ASSERT_TRUE(server.WriteFile("pub/b.txt", "bb\n"));
    page_->resize(640, 400);
    page_->show();

    SessionViews views{none_, recorder_.Views().log, none_, page_->SessionView(), none_};
    const std::shared_ptr<FtpSessionHandle> handle =
        FtpSession::Start("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/", views);

    ASSERT_TRUE(InDirectory("/", 1)) << server.Log();
    EXPECT_EQ(page_->Session(), handle);
    EXPECT_TRUE(WispRemotePageTesting(*page_).AsciiAction()->isChecked());
    std::vector<std::string> root = Rows();
    EXPECT_NE(RowNamed("pub"), -1);
    EXPECT_NE(RowNamed("readme.txt"), -1);

    // A double-click, even on empty space, opens the one selected folder.
    page_->Selection()->select(WispRemotePageTesting(*page_).Model()->index(RowNamed("pub"), 0),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QWidget* viewport = page_->CurrentView()->viewport();
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, QPoint(viewport->width() - 5, viewport->height() - 5));
    ASSERT_TRUE(InDirectory("/pub", 1));
    std::vector<std::string> pub = Rows();
    std::sort(pub.begin(), pub.end());
    EXPECT_EQ(pub, (std::vector<std::string>{"a.txt", "b.txt"}));

    // Back up: the root comes from the cache, in its listed order, with no second listing.
    WispRemotePageTesting(*page_).UpAction()->trigger();
    ASSERT_TRUE(PumpUntil([&] { return page_->State().CurrentDirectory() == "/"; }, 30s));
    EXPECT_TRUE(recorder_.WaitFor("LogMessage", "... using cached copy of /", 10000ms));
    EXPECT_EQ(Rows(), root);

    // Refresh lists the root afresh and shows what changed on the server.
    ASSERT_TRUE(server.WriteFile("new.txt", "new\n"));
    page_->State().Refresh();
    ASSERT_TRUE(InDirectory("/", 2));
    EXPECT_TRUE(recorder_.WaitFor("LogMessage", "... flushing cached copy of /", 0ms));
    EXPECT_NE(RowNamed("new.txt"), -1);

    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    ASSERT_TRUE(PumpUntil([&] { return !page_->Connected(); }, 30s));
    EXPECT_EQ(WispRemotePageTesting(*page_).Model()->rowCount(), 0);
    EXPECT_FALSE(WispRemotePageTesting(*page_).AsciiAction()->isChecked());
    EXPECT_TRUE(PumpUntil([&] { return handle->HasEnded(); }, 10s));
}

}  // namespace
