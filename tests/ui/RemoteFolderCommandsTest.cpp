// New folder, Rename in place and the Delete question through the real widgets, with a recording request
// queue standing in for the session and the session's reports given to the page as a worker would.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QTest>
#include <QTreeView>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/DeletePlan.h"
#include "support/RecordingQueue.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"
#include "ui/AppTestSupport.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemotePageTesting.h"
#include "ui/WispRemotePage.h"
#include "views/RemoteView.h"

namespace {

std::string Line(const std::string& name, char type = '-') {
    return std::string(1, type) + "rw-r--r--   1 ftp      ftp      100 Jan  5 13:45 " + name;
}

QAction* FindCommand(const QMenu& menu, const QString& label) {
    for (QAction* action : menu.actions()) {
        if (action->text() == label) {
            return action;
        }
    }
    return nullptr;
}

class RemoteFolderCommandsTest : public AppTest {
  protected:
    RemoteFolderCommandsTest() : page_(nullptr, &log_.Views().log) { page_.resize(640, 400); }
    void Connect() {
        queue_ = std::make_shared<RecordingQueue>();
        page_.State().ResetForSession(queue_);
        ASSERT_FALSE(page_.State().EnterDirectory("/pub"));
        for (const std::string& line : {Line("dir", 'd'), Line("a.txt"), Line("b.txt")}) {
            page_.State().AddListingLine(line);
        }
        page_.State().FinishListing(true);
    }
    void Select(const std::vector<int>& rows) {
        page_.Selection()->clearSelection();
        for (const int row : rows) {
            page_.Selection()->select(Testing().Model()->index(row, 0),
                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    void Choose(const QString& label) {
        Testing().SetMenuRunner([label](QMenu& menu, const QPoint&) { return FindCommand(menu, label); });
        page_.ShowContextMenu(QPoint(10, 10));
    }
    QString NameOfRow(int row) const {
        return Testing()
            .Model()
            ->data(Testing().Model()->index(row, RemoteEntryModel::kName), Qt::DisplayRole)
            .toString();
    }
    QString Failure() const { return Testing().FailureText()->text(); }
    WispRemotePageTesting Testing() const {
        return WispRemotePageTesting(const_cast<WispRemotePage&>(page_));
    }

    RecordingViews log_;
    WispRemotePage page_;
    std::shared_ptr<RecordingQueue> queue_ = std::make_shared<RecordingQueue>();
};

// F2 opens the name's editor in every view; Enter sends the name typed, and the row keeps its old name
// until the session reports the rename (or for ever, when the name is refused here).
TEST_F(RemoteFolderCommandsTest, F2EditsTheNameInPlaceInEveryView) {
    const struct {
        const char* what;
        int viewMode;
        QString typed;
        std::vector<Queued> queued;
        QString failure;
    } cases[] = {
        {"Details, accepted",
         WispRemotePage::kDetails,
         "c.txt",
         {{FtpRequestKind::Rename, "", {1}, {"a.txt", "c.txt"}}},
         ""},
        {"List, accepted in UTF-8",
         WispRemotePage::kList,
         QString::fromUtf8("\xC3\xA9t\xC3\xA9.txt"),
         {{FtpRequestKind::Rename, "", {1}, {"a.txt", "\xC3\xA9t\xC3\xA9.txt"}}},
         ""},
        {"Details, a name with '/' is refused here",
         WispRemotePage::kDetails,
         "x/y",
         {},
         "Could not rename a.txt: a name cannot hold '/'"},
        {"List, an empty name is refused here",
         WispRemotePage::kList,
         "",
         {},
         "Could not rename a.txt: a name cannot be empty"},
        {"Large Icons, accepted",
         WispRemotePage::kLargeIcons,
         "big",
         {{FtpRequestKind::Rename, "", {1}, {"a.txt", "big"}}},
         ""},
        {"Small Icons, unchanged: nothing sent", WispRemotePage::kSmallIcons, "a.txt", {}, ""},
    };
    page_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&page_));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Connect();
        page_.SetViewMode(c.viewMode);
        QAbstractItemView* view = page_.CurrentView();
        Select({1});
        view->setFocus();
        QTest::keyClick(view, Qt::Key_F2);
        auto* editor = view->findChild<QLineEdit*>();
        ASSERT_NE(editor, nullptr) << "no editor opened";
        ASSERT_TRUE(PumpUntil([&] { return editor->isVisible(); }));
        EXPECT_EQ(editor->text(), "a.txt");
        editor->selectAll();
        editor->setText(c.typed);
        QTest::keyClick(editor, Qt::Key_Return);
        ASSERT_TRUE(
            PumpUntil([&] { return view->findChild<QLineEdit*>() == nullptr || !editor->isVisible(); }));
        EXPECT_EQ(queue_->queued, c.queued);
        EXPECT_EQ(Failure(), c.failure);
        EXPECT_EQ(NameOfRow(1), "a.txt");
        if (!c.queued.empty()) {
            page_.SessionView().EntryRenamed(1, "a.txt", c.queued[0].paths[1]);
            EXPECT_EQ(NameOfRow(1), c.typed);
        }
    }
}

TEST_F(RemoteFolderCommandsTest, RenameIsOfferedForOneRowOnly) {
    Connect();
    page_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&page_));
    page_.SetViewMode(WispRemotePage::kDetails);
    Select({1, 2});
    Choose("Re&name");
    EXPECT_EQ(page_.CurrentView()->findChild<QLineEdit*>(), nullptr);
    Select({2});
    Choose("Re&name");
    auto* editor = page_.CurrentView()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), "b.txt");
    QTest::keyClick(editor, Qt::Key_Escape);  // the edit is dropped, nothing is sent
    EXPECT_TRUE(queue_->queued.empty());
}

TEST_F(RemoteFolderCommandsTest, NewFolderAsksForTheNameThenShowsTheFolderMade) {
    const struct {
        const char* what;
        std::optional<QString> answer;
        std::vector<Queued> queued;
        QString failure;
    } cases[] = {
        {"a name", QString("fresh"), {{FtpRequestKind::MakeFolder, "fresh"}}, ""},
        {"cancelled", std::nullopt, {}, ""},
        {"a name with a control character",
         QString("a\tb"),
         {},
         "Could not make the folder: a name cannot hold control characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Connect();
        Select({});
        int asked = 0;
        Testing().SetFolderNameAsker([&] {
            ++asked;
            return c.answer;
        });
        Choose("&New folder...");
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(queue_->queued, c.queued);
        EXPECT_EQ(Failure(), c.failure);
    }
    page_.SessionView().FolderMade("fresh");
    ASSERT_EQ(page_.State().RowCount(), 4);
    EXPECT_EQ(NameOfRow(3), "fresh");
    EXPECT_EQ(page_.State().EntryOfRow(3).Kind(), EntryKind::Directory);
}

// "Upload..." in the background menu asks for files and folders and hands what was chosen to the page's
// state, as a drop does; it is offered only while connected.
TEST_F(RemoteFolderCommandsTest, UploadAsksForFilesAndFoldersAndPutsThem) {
    TempDir local("wisp-upload");
    ASSERT_TRUE(local.WriteFile("one.txt", "1"));
    const std::string one = (local / "one.txt").string();
    const struct {
        const char* what;
        bool connected;
        std::vector<std::string> answer;
        int asked;
        std::vector<Queued> queued;
    } cases[] = {
        {"a file", true, {one}, 1, {{FtpRequestKind::Put, "", {}, {one}, kImageType}}},
        {"cancelled", true, {}, 1, {}},
        {"not connected: not offered", false, {one}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.connected) {
            Connect();
        } else {
            page_.State().ResetAfterSession();
            queue_ = std::make_shared<RecordingQueue>();
        }
        Testing().ImageAction()->setChecked(true);
        Select({});
        int asked = 0;
        Testing().SetUploadAsker([&] {
            ++asked;
            return c.answer;
        });
        Choose("&Upload...");
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(queue_->queued, c.queued);
    }
}

// Delete on a folder walks first; the plan the walk posts is asked about once, with its counts, and the
// answer decides whether the removal is queued.
TEST_F(RemoteFolderCommandsTest, DeleteWithFoldersAsksOnceWithTheCounts) {
    const struct {
        const char* what;
        std::vector<int> rows;
        int filesBelow;
        bool yes;
        QString question;
        std::vector<FtpRequestKind> queued;
    } cases[] = {
        {"a folder, Yes",
         {0},
         1234,
         true,
         "Delete 1 folder holding 1,234 files?",
         {FtpRequestKind::WalkTrees, FtpRequestKind::RemoveTrees}},
        {"a folder and a file, No",
         {0, 2},
         1,
         false,
         "Delete 1 folder holding 1 file, and 1 other file?",
         {FtpRequestKind::WalkTrees}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Connect();
        std::vector<QString> questions;
        Testing().SetDeleteConfirmer([&](const QString& question) {
            questions.push_back(question);
            return c.yes;
        });
        Select(c.rows);
        Choose("&Delete");
        ASSERT_EQ(queue_->queued.size(), 1U);
        ASSERT_EQ(queue_->queued[0].kind, FtpRequestKind::WalkTrees);
        auto plan = std::make_shared<DeletePlan>();
        plan->folder = "/pub";
        plan->selectedFolders = 1;
        plan->filesBelow = c.filesBelow;
        plan->selectedFiles = static_cast<int>(c.rows.size()) - 1;
        plan->steps = {{"/pub/dir", "dir", EntryKind::Directory, 0, -1, false}};
        page_.SessionView().DeletePlanReady(plan);
        EXPECT_TRUE(questions.empty()) << "asked inside the worker's report";
        ASSERT_TRUE(PumpUntil([&] { return !questions.empty(); }));
        QApplication::processEvents();
        EXPECT_EQ(questions, std::vector<QString>{c.question});
        std::vector<FtpRequestKind> kinds;
        for (const Queued& request : queue_->queued) {
            kinds.push_back(request.kind);
        }
        EXPECT_EQ(kinds, c.queued);
    }
}

}  // namespace
