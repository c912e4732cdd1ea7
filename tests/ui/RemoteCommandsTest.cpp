// The Remote page's context menus, keys, downloads and drops through the real widgets, with a recording
// request queue standing in for the session.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <deque>
#include <string>
#include <vector>

#include "engine/FtpSession.h"
#include "engine/FtpSessionHandle.h"
#include "remote/RemoteRequestQueue.h"
#include "support/FakeFtpServer.h"
#include "support/RecordingQueue.h"
#include "support/RecordingViews.h"
#include "support/TempDir.h"
#include "ui/AppTestSupport.h"
#include "ui/DialogDownloadChoices.h"
#include "ui/PropertiesDialog.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemotePageTesting.h"
#include "ui/WispRemotePage.h"
#include "views/NullViews.h"

namespace {

class ScriptedChoices : public DownloadChoices {
  public:
    std::optional<std::string> ChooseFolder(const std::string&) override {
        ++folderQuestions;
        return folder;
    }
    Answer AskOverwrite(const std::string& localPath) override {
        asked.push_back(localPath);
        return Answer::Yes;
    }
    std::optional<std::string> folder;
    int folderQuestions = 0;
    std::vector<std::string> asked;
};

std::string Line(const std::string& name, char type = '-', const std::string& target = {}) {
    std::string line = std::string(1, type) + "rw-r--r--   1 ftp      ftp      100 Jan  5 13:45 " + name;
    return target.empty() ? line : line + " -> " + target;
}

// A menu as text: items by label ("-" for a separator), with "*" after the default, "!" after a grayed
// one and "+" after a checked one; a submenu's items in brackets.
std::string Describe(const QMenu& menu) {
    std::string text;
    for (QAction* action : menu.actions()) {
        if (!text.empty()) {
            text += " | ";
        }
        if (action->isSeparator()) {
            text += "-";
            continue;
        }
        text += action->text().toStdString();
        if (action == menu.defaultAction()) {
            text += "*";
        }
        if (!action->isEnabled()) {
            text += "!";
        }
        if (action->isChecked()) {
            text += "+";
        }
        if (action->menu() != nullptr) {
            text += " [" + Describe(*action->menu()) + "]";
        }
    }
    return text;
}

QAction* FindCommand(const QMenu& menu, const QString& label) {
    for (QAction* action : menu.actions()) {
        if (action->text() == label) {
            return action;
        }
        if (action->menu() != nullptr) {
            if (QAction* inner = FindCommand(*action->menu(), label)) {
                return inner;
            }
        }
    }
    return nullptr;
}

class RemoteCommandsTest : public AppTest {
  protected:
    RemoteCommandsTest() : page_(nullptr, &log_.Views().log) {
        page_.resize(640, 400);
        auto choices = std::make_unique<ScriptedChoices>();
        choices_ = choices.get();
        choices_->folder = local_.Path().string();
        WispRemotePageTesting(page_).SetDownloadChoices(std::move(choices));
    }
    void Connect() {
        queue_ = std::make_shared<RecordingQueue>();
        page_.State().ResetForSession(queue_);
        ASSERT_FALSE(page_.State().EnterDirectory("/pub"));
        for (const std::string& line :
             {Line("dir", 'd'), Line("link", 'l', "/pub/dir/file.txt"), Line("a.txt"), Line("b.txt")}) {
            page_.State().AddListingLine(line);
        }
        page_.State().FinishListing(true);
    }
    void Select(const std::vector<int>& rows) {
        page_.Selection()->clearSelection();
        for (const int row : rows) {
            page_.Selection()->select(WispRemotePageTesting(page_).Model()->index(row, 0),
                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    // Right-click: the runner picks the item labelled `label` (none: the menu is dismissed).
    void Choose(const QString& label) {
        WispRemotePageTesting(page_).SetMenuRunner(
            [label](QMenu& menu, const QPoint&) { return FindCommand(menu, label); });
        page_.ShowContextMenu(QPoint(10, 10));
    }
    std::vector<FtpRequestKind> Kinds() const {
        std::vector<FtpRequestKind> kinds;
        for (const Queued& request : queue_->queued) {
            kinds.push_back(request.kind);
        }
        return kinds;
    }

    RecordingViews log_;
    WispRemotePage page_;
    std::shared_ptr<RecordingQueue> queue_ = std::make_shared<RecordingQueue>();
    ScriptedChoices* choices_ = nullptr;
    TempDir local_;
};

TEST_F(RemoteCommandsTest, EachMenuFormWithItsDefaultAndGrayedItems) {
    const struct {
        const char* what;
        bool connected;
        std::vector<int> rows;  // 0 dir, 1 link, 2 a.txt, 3 b.txt
        bool image;
        int viewMode;
        std::string menu;
    } cases[] = {
        {"one directory",
         true,
         {0},
         false,
         WispRemotePage::kList,
         "&Open* | - | &Delete | Re&name | - | P&roperties"},
        {"one link",
         true,
         {1},
         false,
         WispRemotePage::kList,
         "&Open | &Get file(s) as Ascii (text)...* | - | &Delete | Re&name | - | P&roperties"},
        {"one file",
         true,
         {2},
         false,
         WispRemotePage::kList,
         "&Get file(s) as Ascii (text)...* | - | &Delete | Re&name | - | P&roperties"},
        {"two rows in image mode",
         true,
         {0, 3},
         true,
         WispRemotePage::kList,
         "&Get file(s) as Image (binary)...* | - | &Delete | - | P&roperties"},
        {"background, connected",
         true,
         {},
         false,
         WispRemotePage::kDetails,
         "&View [Lar&ge Icons | S&mall Icons | &List | &Details+] | - | "
         "Arrange &Icons [&Name | Si&ze | &Date] | - | &New folder... | &Upload... | &Refresh | - | &Logoff"},
        {"background, not connected",
         false,
         {},
         false,
         WispRemotePage::kSmallIcons,
         "&View [Lar&ge Icons | S&mall Icons+ | &List | &Details] | - | "
         "Arrange &Icons [&Name | Si&ze | &Date] | - | &New folder...! | &Upload...! | &Refresh! | - | "
         "&Logoff!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.connected) {
            Connect();
        } else {
            page_.State().ResetAfterSession();
        }
        page_.SetViewMode(c.viewMode);
        (c.image ? WispRemotePageTesting(page_).ImageAction() : WispRemotePageTesting(page_).AsciiAction())
            ->setChecked(true);
        Select(c.rows);
        const std::unique_ptr<QMenu> menu = page_.CreateContextMenu();
        EXPECT_EQ(Describe(*menu), c.menu);
    }
}

TEST_F(RemoteCommandsTest, MenuChoicesRunTheirCommands) {
    Connect();
    Select({1});
    Choose("&Open");
    Select({2, 3});
    Choose("&Delete");
    Select({2});
    Choose("&Get file(s) as Ascii (text)...");
    WispRemotePageTesting(page_).ImageAction()->setChecked(true);
    Choose("&Get file(s) as Image (binary)...");
    Choose("");  // dismissed
    EXPECT_EQ(queue_->queued,
              (std::vector<Queued>{{FtpRequestKind::ChangeDir, "/pub/dir/file.txt", {}, {}, 0},
                                   {FtpRequestKind::Delete, "", {2, 3}, {}, 0},
                                   {FtpRequestKind::Get, local_.Path().string(), {2}, {}, kAsciiType},
                                   {FtpRequestKind::Get, local_.Path().string(), {2}, {}, kImageType}}));

    // Properties opens the dialog for the selection.
    bool sawDialog = false;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        sawDialog = qobject_cast<PropertiesDialog*>(modal) != nullptr;
        if (modal != nullptr) {
            modal->close();
        }
    });
    Choose("P&roperties");
    EXPECT_TRUE(sawDialog);

    queue_->queued.clear();
    Select({});
    Choose("&Details");
    EXPECT_EQ(page_.CurrentViewMode(), WispRemotePage::kDetails);
    Choose("Si&ze");
    EXPECT_EQ(page_.State().SortMode(), 2);
    Choose("&Refresh");
    Choose("&Logoff");
    EXPECT_EQ(Kinds(), (std::vector<FtpRequestKind>{FtpRequestKind::ChangeDir, FtpRequestKind::Logoff}));
    EXPECT_EQ(queue_->queued[0].text, "");
}

TEST_F(RemoteCommandsTest, KeysInEachFocus) {
    enum Focus { kField, kList, kDetails, kToolBar };
    const struct {
        const char* what;
        Focus focus;
        Qt::Key key;
        bool connected;
        std::vector<int> rows;
        std::vector<FtpRequestKind> queued;
        int aborts;
        int folderQuestions;
    } cases[] = {
        {"Enter in the field", kField, Qt::Key_Return, true, {}, {FtpRequestKind::ChangeDir}, 0, 0},
        {"Enter in the field, not connected", kField, Qt::Key_Return, false, {}, {}, 0, 0},
        {"Enter in the list, nothing selected", kList, Qt::Key_Return, true, {}, {}, 0, 0},
        {"Enter in the list on a directory",
         kList,
         Qt::Key_Enter,
         true,
         {0},
         {FtpRequestKind::ChangeDir},
         0,
         0},
        {"Enter in the list on a link", kList, Qt::Key_Return, true, {1}, {}, 0, 0},
        {"Enter in the list on a file", kList, Qt::Key_Return, true, {2}, {FtpRequestKind::Get}, 0, 1},
        {"Enter in the details on two rows",
         kDetails,
         Qt::Key_Return,
         true,
         {0, 2},
         {FtpRequestKind::Get},
         0,
         1},
        {"Enter in the list, not connected", kList, Qt::Key_Return, false, {}, {}, 0, 0},
        {"Escape in the list", kList, Qt::Key_Escape, true, {2}, {}, 1, 0},
        {"Escape in the details", kDetails, Qt::Key_Escape, true, {}, {}, 1, 0},
        {"Escape in the field", kField, Qt::Key_Escape, true, {}, {}, 0, 0},
        {"Escape in the list, not connected", kList, Qt::Key_Escape, false, {}, {}, 0, 0},
        {"F5 in the field", kField, Qt::Key_F5, true, {}, {FtpRequestKind::ChangeDir}, 0, 0},
        {"F5 in the list", kList, Qt::Key_F5, true, {}, {FtpRequestKind::ChangeDir}, 0, 0},
        {"F5 on the toolbar", kToolBar, Qt::Key_F5, true, {}, {FtpRequestKind::ChangeDir}, 0, 0},
        {"F5 not connected", kList, Qt::Key_F5, false, {}, {}, 0, 0},
        {"Delete in the list", kList, Qt::Key_Delete, true, {2, 3}, {FtpRequestKind::Delete}, 0, 0},
        {"Delete in the list, nothing selected", kList, Qt::Key_Delete, true, {}, {}, 0, 0},
        {"Delete in the field", kField, Qt::Key_Delete, true, {2}, {}, 0, 0},
    };
    page_.show();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.connected) {
            Connect();
        } else {
            page_.State().ResetAfterSession();
            queue_ = std::make_shared<RecordingQueue>();
        }
        WispRemotePageTesting(page_).DirectoryBox()->setEditText("/etc");
        page_.State().SetDirectoryText("/etc");
        choices_->folderQuestions = 0;
        page_.SetViewMode(c.focus == kDetails ? WispRemotePage::kDetails : WispRemotePage::kList);
        Select(c.rows);
        QWidget* target =
            c.focus == kField ? static_cast<QWidget*>(WispRemotePageTesting(page_).DirectoryBox()->lineEdit())
            : c.focus == kList    ? static_cast<QWidget*>(WispRemotePageTesting(page_).IconView())
            : c.focus == kDetails ? static_cast<QWidget*>(WispRemotePageTesting(page_).DetailsView())
                                  : static_cast<QWidget*>(WispRemotePageTesting(page_).ToolBar());
        target->setFocus();
        QTest::keyClick(target, c.key);
        EXPECT_EQ(Kinds(), c.queued);
        EXPECT_EQ(queue_->aborts, c.aborts);
        EXPECT_EQ(choices_->folderQuestions, c.folderQuestions);
        if (c.key == Qt::Key_Delete && !c.queued.empty()) {
            EXPECT_EQ(queue_->queued[0].indexes, (std::vector<std::int32_t>{2, 3}));
        }
        if (c.focus == kField && c.key == Qt::Key_Return && c.connected) {
            EXPECT_EQ(queue_->queued[0].text, "/etc");
        }
    }
}

TEST_F(RemoteCommandsTest, DroppedLocalFilesBecomeOnePutWithTheMode) {
    ASSERT_TRUE(local_.WriteFile("one.txt", "1"));
    ASSERT_TRUE(local_.WriteFile("two.bin", "2"));
    const QString one = QString::fromStdString((local_ / "one.txt").string());
    const QString two = QString::fromStdString((local_ / "two.bin").string());
    auto drop = [this](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QWidget* viewport = page_.CurrentView()->viewport();
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        const bool accepted = enter.isAccepted();
        QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &dropped);
        return accepted;
    };
    page_.show();
    // Not connected: ignored.
    drop({QUrl::fromLocalFile(one)});
    EXPECT_TRUE(queue_->queued.empty());

    Connect();
    WispRemotePageTesting(page_).ImageAction()->setChecked(true);
    EXPECT_TRUE(drop({QUrl::fromLocalFile(one), QUrl("http://example.invalid/x"), QUrl::fromLocalFile(two)}));
    WispRemotePageTesting(page_).AsciiAction()->setChecked(true);
    page_.SetViewMode(WispRemotePage::kDetails);
    drop({QUrl::fromLocalFile(two)});
    drop({QUrl("ftp://127.0.0.1/elsewhere")});
    EXPECT_EQ(queue_->queued,
              (std::vector<Queued>{
                  {FtpRequestKind::Put, "", {}, {one.toStdString(), two.toStdString()}, kImageType},
                  {FtpRequestKind::Put, "", {}, {two.toStdString()}, kAsciiType}}));
}

TEST_F(RemoteCommandsTest, OverwriteQuestionHasItsTextCaptionButtonsAndIcon) {
    const std::unique_ptr<QMessageBox> question(
        DialogDownloadChoices::CreateOverwriteQuestion("/home/user/Downloads/report.txt", &page_));
    EXPECT_EQ(question->windowTitle(), "Get file(s) as...");
    EXPECT_EQ(question->text(),
              "/home/user/Downloads/report.txt\nThis file already exists.\n\nReplace existing file?");
    EXPECT_EQ(question->icon(), QMessageBox::Warning);
    EXPECT_EQ(question->standardButtons(), QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    EXPECT_EQ(question->defaultButton(), question->button(QMessageBox::Yes));
    question->show();
    ASSERT_TRUE(PumpUntil([&] { return question->isVisible(); }));
    EXPECT_TRUE(question->grab().save("/tmp/wisp-overwrite-question.png"));
    question->hide();
    // Escape answers Cancel: nothing is fetched.
    QTimer::singleShot(0, [&] { QTest::keyClick(question.get(), Qt::Key_Escape); });
    EXPECT_EQ(question->exec(), QMessageBox::Cancel);
}

// Pictures of both menus, to look at.
TEST_F(RemoteCommandsTest, MenusLookLikeMenus) {
    Connect();
    page_.show();
    Select({2});
    const std::unique_ptr<QMenu> selection = page_.CreateContextMenu();
    selection->popup(page_.mapToGlobal(QPoint(40, 40)));
    ASSERT_TRUE(PumpUntil([&] { return selection->isVisible(); }));
    EXPECT_TRUE(selection->grab().save("/tmp/wisp-selection-menu.png"));
    selection->close();

    Select({});
    page_.SetViewMode(WispRemotePage::kDetails);
    const std::unique_ptr<QMenu> background = page_.CreateContextMenu();
    background->popup(page_.mapToGlobal(QPoint(40, 40)));
    ASSERT_TRUE(PumpUntil([&] { return background->isVisible(); }));
    EXPECT_TRUE(background->grab().save("/tmp/wisp-background-menu.png"));
    QMenu* view = background->actions().front()->menu();
    view->popup(page_.mapToGlobal(QPoint(200, 40)));
    ASSERT_TRUE(PumpUntil([&] { return view->isVisible(); }));
    EXPECT_TRUE(view->grab().save("/tmp/wisp-view-menu.png"));
    view->close();
    background->close();
}

// Through a real session: a link is fetched by its target and stored under the last part of it.
TEST_F(RemoteCommandsTest, LinkIsFetchedByItsTargetAndStoredUnderItsLastPart) {
    FakeFtpServer server;
    server.OnVerb("USER").Line("331 password please");
    server.OnVerb("PASS").Line("230 in");
    server.OnVerb("CWD").Line("250 ok");
    server.OnVerb("PWD").Line("257 \"/pub\" is current");
    server.OnVerb("TYPE").Line("200 ok");
    server.OnVerb("PASV").Pasv();
    server.OnVerb("LIST")
        .Line("150 here")
        .DataSend(Line("link", 'l', "/pub/dir/file.txt") + "\r\n")
        .DataClose()
        .Line("226 done");
    server.Expect("RETR /pub/dir/file.txt")
        .Line("150 go")
        .DataSend("linked body")
        .DataClose()
        .Line("226 done");
    server.OnVerb("QUIT").Line("221 bye");

    NullViews none;
    SessionViews views{none, log_.Views().log, none, page_.SessionView(), none};
    const std::shared_ptr<FtpSessionHandle> handle =
        FtpSession::Start("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/pub", views);
    ASSERT_TRUE(PumpUntil([&] { return WispRemotePageTesting(page_).Model()->rowCount() == 1; },
                          std::chrono::seconds(30)));
    Select({0});
    page_.GetFilesAs();
    ASSERT_TRUE(
        PumpUntil([&] { return local_.ReadFile("file.txt") == "linked body"; }, std::chrono::seconds(30)));
    EXPECT_FALSE(std::filesystem::exists(local_ / "link"));
    ASSERT_TRUE(handle->Enqueue(FtpRequestKind::Logoff));
    EXPECT_TRUE(PumpUntil([&] { return handle->HasEnded(); }, std::chrono::seconds(30)));
}

}  // namespace
