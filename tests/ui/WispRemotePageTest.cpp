#include "ui/WispRemotePage.h"

#include <QLineEdit>
#include <QTest>

#include "platform/ProfileStore.h"
#include "remote/RemoteRequestQueue.h"
#include "ui/WispSheet.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <string>
#include <vector>

#include "listing/RemoteEntry.h"
#include "support/RecordingQueue.h"
#include "support/RecordingViews.h"
#include "ui/AppTestSupport.h"
#include "ui/PropertiesDialog.h"
#include "ui/RemoteEntryModel.h"
#include "ui/RemotePageTesting.h"
#include "views/RemoteView.h"

namespace {

std::string Line(const std::string& name, std::int64_t size = 100, char type = '-') {
    return std::string(1, type) + "rw-r--r--   1 ftp      ftp      " + std::to_string(size) +
           " Jan  5 13:45 " + name;
}

class WispRemotePageTest : public AppTest {
  protected:
    WispRemotePageTest() : page_(nullptr, &log_.Views().log) { page_.resize(640, 400); }

    // A session without a server: requests go nowhere, but the page is connected.
    void Connect() { page_.ResetForSession(nullptr); }

    void List(const std::string& path, const std::vector<std::string>& lines) {
        ASSERT_FALSE(page_.State().EnterDirectory(path));
        page_.State().AddListingLines(lines);
        page_.State().FinishListing(true);
    }

    std::vector<std::string> ModelNames() {
        std::vector<std::string> names;
        const RemoteEntryModel* model = WispRemotePageTesting(page_).Model();
        for (int row = 0; row < model->rowCount(); ++row) {
            names.push_back(model->index(row, 0).data().toString().toStdString());
        }
        return names;
    }

    void Select(const std::vector<int>& rows) {
        page_.Selection()->clearSelection();
        for (const int row : rows) {
            page_.Selection()->select(WispRemotePageTesting(page_).Model()->index(row, 0),
                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    RecordingViews log_;
    WispRemotePage page_;
};

class LogOnly : public LogView {
  public:
    void LogTraffic(std::string_view) override {}
    void LogMessage(std::string_view) override {}
};

TEST_F(WispRemotePageTest, FourViewModesShareOneSelection) {
    Connect();
    List("/pub", {Line("a"), Line("b"), Line("c")});
    Select({1});
    const struct {
        int mode;
        bool details;
        QListView::ViewMode listMode;
        QListView::Flow flow;
        int iconSize;
    } modes[] = {
        {WispRemotePage::kLargeIcons, false, QListView::IconMode, QListView::LeftToRight, 32},
        {WispRemotePage::kSmallIcons, false, QListView::ListMode, QListView::LeftToRight, 16},
        {WispRemotePage::kList, false, QListView::ListMode, QListView::TopToBottom, 16},
        {WispRemotePage::kDetails, true, QListView::ListMode, QListView::TopToBottom, 16},
    };
    EXPECT_EQ(page_.CurrentViewMode(), WispRemotePage::kList);
    for (const auto& m : modes) {
        SCOPED_TRACE(m.mode);
        page_.SetViewMode(m.mode);
        EXPECT_EQ(page_.CurrentViewMode(), m.mode);
        if (m.details) {
            EXPECT_EQ(page_.CurrentView(), WispRemotePageTesting(page_).DetailsView());
            EXPECT_EQ(
                WispRemotePageTesting(page_).DetailsView()->model()->headerData(0, Qt::Horizontal).toString(),
                "Name");
            EXPECT_EQ(
                WispRemotePageTesting(page_).DetailsView()->model()->headerData(1, Qt::Horizontal).toString(),
                "Size");
            EXPECT_EQ(
                WispRemotePageTesting(page_).DetailsView()->model()->headerData(2, Qt::Horizontal).toString(),
                "Date/Time");
            EXPECT_EQ(WispRemotePageTesting(page_).Model()->index(1, 3).data().toString(), "rw-r--r--");
            EXPECT_EQ(WispRemotePageTesting(page_).Model()->index(0, 1).data(Qt::TextAlignmentRole).toInt() &
                          Qt::AlignRight,
                      Qt::AlignRight);
        } else {
            EXPECT_EQ(page_.CurrentView(), WispRemotePageTesting(page_).IconView());
            EXPECT_EQ(WispRemotePageTesting(page_).IconView()->viewMode(), m.listMode);
            EXPECT_EQ(WispRemotePageTesting(page_).IconView()->flow(), m.flow);
        }
        EXPECT_EQ(page_.CurrentView()->iconSize().width(), m.iconSize);
        EXPECT_EQ(page_.CurrentView()->selectionModel(), page_.Selection());
        EXPECT_EQ(page_.SelectedSlots(), std::vector<int>{1});
    }
}

// Names are shown as Unicode whatever bytes the server sent, while the entries keep those bytes.
TEST_F(WispRemotePageTest, NamesShowAsUnicodeFromAnyBytes) {
    Connect();
    List("/names", {Line("caf\xE9"), Line("\xD0\x9F\xF0\x9F\x98\x80"), "type=file;size=1; tab\there"});
    EXPECT_EQ(ModelNames(),
              (std::vector<std::string>{"caf\xC3\xA9", "\xD0\x9F\xF0\x9F\x98\x80", "tab\xEF\xBF\xBDhere"}));
    EXPECT_EQ(page_.State().EntryOfRow(0).Name(), "caf\xE9");
}

TEST_F(WispRemotePageTest, HeaderClicksSortAndTheSelectionFollowsItsEntry) {
    Connect();
    List("/pub", {Line("b", 30), Line("c", 10), Line("a", 20)});
    Select({0});  // "b"
    page_.SetViewMode(WispRemotePage::kDetails);
    emit WispRemotePageTesting(page_).DetailsView()->header()->sectionClicked(1);
    EXPECT_EQ(ModelNames(), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(page_.SelectedRows(), std::vector<int>{2});
    emit WispRemotePageTesting(page_).DetailsView()->header()->sectionClicked(1);
    EXPECT_EQ(ModelNames(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(page_.SelectedSlots(), std::vector<int>{0});
}

TEST_F(WispRemotePageTest, DirectoryBoxListsTheCacheIgnoringCaseAndKeepsTheField) {
    Connect();
    for (const char* path : {"/usr", "/Pub", "/etc", "/pub/x"}) {
        List(path, {Line("f")});
    }
    QComboBox* box = WispRemotePageTesting(page_).DirectoryBox();
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i) {
        items.push_back(box->itemText(i).toStdString());
    }
    EXPECT_EQ(items, (std::vector<std::string>{"/etc", "/Pub", "/pub/x", "/usr"}));
    EXPECT_EQ(box->currentText(), "/pub/x");
    EXPECT_TRUE(box->isEditable());

    page_.ResetAfterSession();
    EXPECT_EQ(box->count(), 0);
    EXPECT_EQ(box->currentText(), "");
    EXPECT_EQ(WispRemotePageTesting(page_).Model()->rowCount(), 0);
}

TEST_F(WispRemotePageTest, ToolbarTooltipsAndTheModeGroupFollowTheSession) {
    const struct {
        QAction* action;
        const char* tip;
    } buttons[] = {
        {WispRemotePageTesting(page_).UpAction(), "Up one level (to parent directory)"},
        {WispRemotePageTesting(page_).AsciiAction(), "ASCII (text) transfer mode"},
        {WispRemotePageTesting(page_).ImageAction(), "Image (binary) transfer mode"},
    };
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.tip);
        auto* button =
            qobject_cast<QToolButton*>(WispRemotePageTesting(page_).ToolBar()->widgetForAction(b.action));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->toolTip().toStdString(), b.tip);
        EXPECT_FALSE(b.action->icon().isNull());
    }
    EXPECT_FALSE(WispRemotePageTesting(page_).AsciiAction()->isChecked());
    EXPECT_FALSE(WispRemotePageTesting(page_).ImageAction()->isChecked());
    Connect();
    EXPECT_TRUE(WispRemotePageTesting(page_).AsciiAction()->isChecked());
    EXPECT_EQ(page_.TransferType(), 0);
    WispRemotePageTesting(page_).ImageAction()->trigger();
    EXPECT_FALSE(WispRemotePageTesting(page_).AsciiAction()->isChecked());
    EXPECT_EQ(page_.TransferType(), 1);
    page_.ResetAfterSession();
    EXPECT_FALSE(WispRemotePageTesting(page_).AsciiAction()->isChecked());
    EXPECT_FALSE(WispRemotePageTesting(page_).ImageAction()->isChecked());
    Connect();  // every session starts in ASCII
    EXPECT_TRUE(WispRemotePageTesting(page_).AsciiAction()->isChecked());
    EXPECT_FALSE(WispRemotePageTesting(page_).ImageAction()->isChecked());
}

// SFTP moves files in binary only: its sessions start in Image mode, and the ASCII button is off and
// says why. Other sites keep both modes.
TEST_F(WispRemotePageTest, AnSftpSessionOffersOnlyTheImageMode) {
    const struct {
        const char* site;
        bool asciiOffered;
    } rows[] = {
        {"ftp://anonymous@ftp.example.org:21", true}, {"ftps://ann@secure.example.org:990", true},
        {"sftp://me@files.example.org:22", false},    {"sftp://me@[::1]:2222", false},
        {"ftp://anonymous@ftp.example.org:21", true},  // after an SFTP session, ASCII is back
    };
    QAction* ascii = WispRemotePageTesting(page_).AsciiAction();
    QAction* image = WispRemotePageTesting(page_).ImageAction();
    const auto tip = [&] {
        return qobject_cast<QToolButton*>(WispRemotePageTesting(page_).ToolBar()->widgetForAction(ascii))
            ->toolTip()
            .toStdString();
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.site);
        page_.SetSite(row.site);
        Connect();
        EXPECT_EQ(ascii->isEnabled(), row.asciiOffered);
        EXPECT_TRUE(image->isEnabled());
        EXPECT_EQ(ascii->isChecked(), row.asciiOffered);
        EXPECT_EQ(image->isChecked(), !row.asciiOffered);
        EXPECT_EQ(page_.TransferType(), row.asciiOffered ? 0 : 1);
        if (row.asciiOffered) {
            EXPECT_EQ(tip(), "ASCII (text) transfer mode");
            EXPECT_EQ(page_.GetItemLabel().toStdString(), "&Get file(s) as Ascii (text)...");
        } else {
            EXPECT_EQ(tip(), "ASCII type is not available over SFTP: files are moved in binary only");
            EXPECT_EQ(ascii->statusTip(), ascii->toolTip());
            EXPECT_EQ(page_.GetItemLabel().toStdString(), "&Get file(s) as Image (binary)...");
            // Its shortcut cannot switch to ASCII either.
            ascii->trigger();
            EXPECT_EQ(page_.TransferType(), 1);
        }
        page_.ResetAfterSession();
        EXPECT_FALSE(ascii->isEnabled());
        EXPECT_EQ(tip(), "ASCII (text) transfer mode");
    }
}

TEST_F(WispRemotePageTest, PropertiesDialogShowsTheSelectedEntries) {
    Connect();
    List("/pub", {Line("notes.txt", 512), "lrwxrwxrwx   1 ftp ftp 7 Jan  5 13:45 bin -> usr/bin",
                  Line("dir", 0, 'd'), Line("b.txt", 1024)});
    const struct {
        std::vector<int> rows;
        std::string caption, heading, type, size, third, fourth, permissions;
    } cases[] = {
        {{0}, "notes.txt Properties", "notes.txt", "File", "512 bytes", "Modified:", "", "rw-r--r-- (644)"},
        {{1},
         "bin Properties",
         "bin",
         "Symbolic link",
         "7 bytes",
         "Links to:",
         "Modified:",
         "rwxrwxrwx (777)"},
        {{0, 2, 3},
         "notes.txt, ... Properties",
         "2 Files, 1 Folders, 0 Symbolic links",
         "Multiple types",
         "1.50KB (1536 bytes)",
         "",
         "",
         "(missing)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caption);
        Select(c.rows);
        std::unique_ptr<PropertiesDialog> dialog = page_.CreatePropertiesDialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->isModal());
        EXPECT_EQ(dialog->windowTitle().toStdString(), c.caption);
        const auto text = [&dialog](const char* name) {
            auto* label = dialog->findChild<QLabel*>(name);
            return label != nullptr ? label->text().toStdString() : std::string("(missing)");
        };
        EXPECT_EQ(text("heading"), c.heading);
        EXPECT_EQ(text("typeLabel"), "Type:");
        EXPECT_EQ(text("typeValue"), c.type);
        EXPECT_EQ(text("sizeLabel"), "Size:");
        EXPECT_EQ(text("sizeValue"), c.size);
        EXPECT_EQ(text("thirdLabel"), c.third);
        EXPECT_EQ(text("fourthLabel"), c.fourth);
        EXPECT_EQ(text("permissionsValue"), c.permissions);
        EXPECT_FALSE(dialog->findChild<QLabel*>("icon")->pixmap().isNull());
        if (c.rows.size() == 1) {
            dialog->show();
            dialog->grab().save(QString::fromStdString("/tmp/wisp-properties-" + c.heading + ".png"));
        }
    }
    Select({});
    EXPECT_EQ(page_.CreatePropertiesDialog(), nullptr);
}

TEST_F(WispRemotePageTest, LinesFromAnotherThreadArriveInOrderBeforeTheNextCall) {
    constexpr int kLines = 5000;
    RemoteView& view = page_.SessionView();
    bool cachedAgain = false;
    std::string lastBeforeFinish;
    TestThread worker([&] {
        view.ResetForSession(nullptr);
        if (view.EnterDirectory("/big")) {
            return;
        }
        for (int i = 0; i < kLines; ++i) {
            view.AddListingLine(Line("f" + std::to_string(i)));
        }
        // Any other call sees every line sent before it.
        lastBeforeFinish = view.EntryAt(kLines - 1).Name();
        view.FinishListing(true);
        cachedAgain = view.EnterDirectory("/big");
    });
    ASSERT_TRUE(worker.JoinPumping(std::chrono::seconds(60)));
    EXPECT_EQ(lastBeforeFinish, "f" + std::to_string(kLines - 1));
    EXPECT_TRUE(cachedAgain);
    const std::vector<std::string> names = ModelNames();
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(names[static_cast<std::size_t>(i)], "f" + std::to_string(i));
    }
}

TEST_F(WispRemotePageTest, ListingThatPausesStillShowsTheLinesSoFar) {
    RemoteView& view = page_.SessionView();
    std::atomic<bool> release{false};
    TestThread worker([&] {
        view.ResetForSession(nullptr);
        view.EnterDirectory("/slow");
        view.AddListingLine(Line("first"));
        view.AddListingLine(Line("second"));
        while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        view.FinishListing(true);
    });
    EXPECT_TRUE(PumpUntil([this] { return WispRemotePageTesting(page_).Model()->rowCount() == 2; },
                          std::chrono::seconds(10)));
    release = true;
    ASSERT_TRUE(worker.JoinPumping(std::chrono::seconds(10)));
    EXPECT_EQ(ModelNames(), (std::vector<std::string>{"first", "second"}));
}

TEST_F(WispRemotePageTest, AdapterOfAGonePageDoesNothing) {
    RemoteView* view = nullptr;
    {
        LogOnly log;
        WispRemotePage page(nullptr, &log);
        view = &page.SessionView();
    }
    TestThread worker([view] {
        view->ResetForSession(nullptr);
        EXPECT_FALSE(view->EnterDirectory("/x"));
        view->AddListingLine(Line("a"));
        EXPECT_TRUE(view->EntryAt(0).IsBlank());
        view->FinishListing(true);
    });
    EXPECT_TRUE(worker.JoinPumping(std::chrono::seconds(10)));
}

TEST_F(WispRemotePageTest, LooksLikeAFileListInEveryViewMode) {
    Connect();
    std::vector<std::string> lines;
    for (int i = 0; i < 8; ++i) {
        lines.push_back(Line("folder" + std::to_string(i), 4096, 'd'));
    }
    lines.push_back("lrwxrwxrwx   1 ftp ftp 7 Jan  5 13:45 bin -> usr/bin");
    for (int i = 0; i < 40; ++i) {
        lines.push_back(
            Line("document-" + std::to_string(i) + (i % 3 == 0 ? ".txt" : ".tar.gz"), 1000 + i * 777));
    }
    List("/pub/linux/distributions", lines);
    const char* names[] = {"", "large", "small", "list", "details"};
    for (const QSize size : {QSize(640, 400), QSize(1200, 800)}) {
        page_.resize(size);
        page_.show();
        for (int mode = WispRemotePage::kLargeIcons; mode <= WispRemotePage::kDetails; ++mode) {
            page_.SetViewMode(mode);
            QApplication::processEvents();
            const QString path = QString("/tmp/wisp-remote-%1-%2.png").arg(names[mode]).arg(size.width());
            EXPECT_TRUE(page_.grab().save(path));
            // The list fills the page below the directory row.
            EXPECT_GT(page_.CurrentView()->height(), size.height() - 80);
            EXPECT_GT(page_.CurrentView()->width(), size.width() - 30);
        }
    }
}

TEST_F(WispRemotePageTest, GesturesQueueDirectoryChanges) {
    auto queue = std::make_shared<RecordingQueue>();
    page_.State().ResetForSession(queue);
    List("/pub", {Line("dir", 0, 'd'), Line("file")});
    List("/etc", {Line("x")});
    page_.show();

    // Enter in the directory field.
    QLineEdit* field = WispRemotePageTesting(page_).DirectoryBox()->lineEdit();
    field->setFocus();
    field->clear();
    QTest::keyClicks(field, "/usr/share");
    QTest::keyClick(field, Qt::Key_Return);
    // An item picked from the cache list.
    emit WispRemotePageTesting(page_).DirectoryBox()->activated(1);
    // Up one level.
    WispRemotePageTesting(page_).UpAction()->trigger();
    // A double-click on empty space with one directory selected.
    ASSERT_TRUE(page_.State().EnterDirectory("/pub"));
    Select({0});
    QWidget* viewport = page_.CurrentView()->viewport();
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, QPoint(viewport->width() - 4, viewport->height() - 4));
    // ... and with a file selected, nothing.
    Select({1});
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, QPoint(viewport->width() - 4, viewport->height() - 4));

    EXPECT_EQ(queue->queued, (std::vector<Queued>{{FtpRequestKind::ChangeDir, "/usr/share"},
                                                  {FtpRequestKind::ChangeDir, "/pub"},
                                                  {FtpRequestKind::UpOneLevel, ""},
                                                  {FtpRequestKind::ChangeDir, "dir"}}));
}

// Each view selects the way it does (the icon and list views the name's cell alone, Details the row):
// a click, a double-click, Enter and a right-click on a row work alike in all four, and a right-click
// beside every row is on the background.
TEST_F(WispRemotePageTest, EveryViewOpensAndOffersTheMenusOfItsRows) {
    auto queue = std::make_shared<RecordingQueue>();
    page_.State().ResetForSession(queue);
    List("/pub", {Line("dir", 0, 'd'), Line("file")});
    page_.show();
    QString menuShown;
    WispRemotePageTesting(page_).SetMenuRunner([&menuShown](QMenu& menu, const QPoint&) {
        menuShown = menu.objectName();
        return nullptr;
    });
    const auto rightClick = [this](const QPoint& pos) {
        QWidget* viewport = page_.CurrentView()->viewport();
        QTest::mousePress(viewport, Qt::RightButton, {}, pos);
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, viewport->mapToGlobal(pos));
        QApplication::sendEvent(viewport, &event);
        QTest::mouseRelease(viewport, Qt::RightButton, {}, pos);
    };
    for (const int mode : {WispRemotePage::kLargeIcons, WispRemotePage::kSmallIcons, WispRemotePage::kList,
                           WispRemotePage::kDetails}) {
        SCOPED_TRACE(mode);
        page_.SetViewMode(mode);
        QApplication::processEvents();
        QAbstractItemView* view = page_.CurrentView();
        QWidget* viewport = view->viewport();
        const QPoint dir = view->visualRect(WispRemotePageTesting(page_).Model()->index(0, 0)).center();
        queue->queued.clear();

        QTest::mouseClick(viewport, Qt::LeftButton, {}, dir);
        EXPECT_EQ(page_.SelectedRows(), std::vector<int>{0});
        QTest::keyClick(view, Qt::Key_Return);
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, dir);
        EXPECT_EQ(queue->queued, (std::vector<Queued>{{FtpRequestKind::ChangeDir, "dir"},
                                                      {FtpRequestKind::ChangeDir, "dir"}}));

        rightClick(dir);
        EXPECT_EQ(menuShown, "selectionMenu");
        // Below every row, and in Details right of the last column too.
        const QPoint corner(viewport->width() - 3, viewport->height() - 3);
        rightClick(corner);
        EXPECT_EQ(menuShown, "backgroundMenu");
        EXPECT_TRUE(page_.SelectedRows().empty());
    }
}

// The directory box takes a typed path however its keys arrive: at the box (a real keyboard's focus)
// or at its line edit.
TEST_F(WispRemotePageTest, ATypedPathInTheDirectoryBoxIsEntered) {
    auto queue = std::make_shared<RecordingQueue>();
    page_.State().ResetForSession(queue);
    page_.show();
    for (QWidget* target : {static_cast<QWidget*>(WispRemotePageTesting(page_).DirectoryBox()),
                            static_cast<QWidget*>(WispRemotePageTesting(page_).DirectoryBox()->lineEdit())}) {
        WispRemotePageTesting(page_).DirectoryBox()->lineEdit()->clear();
        QTest::keyClicks(target, "/incoming");
        QTest::keyClick(target, Qt::Key_Return);
    }
    EXPECT_EQ(queue->queued, (std::vector<Queued>{{FtpRequestKind::ChangeDir, "/incoming"},
                                                  {FtpRequestKind::ChangeDir, "/incoming"}}));
}

// A failure stays on the page until the user acts again; without a session the page says what to do.
TEST_F(WispRemotePageTest, AFailureShowsUntilTheNextActionAndTheIdlePageSaysWhatToDo) {
    page_.show();
    EXPECT_TRUE(WispRemotePageTesting(page_).Placeholder()->isVisible());
    EXPECT_FALSE(WispRemotePageTesting(page_).UpAction()->isEnabled());
    auto queue = std::make_shared<RecordingQueue>();
    page_.State().ResetForSession(queue);
    EXPECT_FALSE(WispRemotePageTesting(page_).Placeholder()->isVisible());
    EXPECT_TRUE(WispRemotePageTesting(page_).UpAction()->isEnabled());

    page_.SessionView().ShowFailure("Could not open /x: 550 No such directory.");
    EXPECT_TRUE(WispRemotePageTesting(page_).FailureText()->isVisible());
    EXPECT_EQ(WispRemotePageTesting(page_).FailureText()->text(),
              "Could not open /x: 550 No such directory.");
    WispRemotePageTesting(page_).UpAction()->trigger();
    EXPECT_FALSE(WispRemotePageTesting(page_).FailureText()->isVisible());

    // A session that ends by failure leaves its reason beside the note.
    page_.SessionView().ShowFailure("Connection lost: 421 Timeout.");
    page_.ResetAfterSession();
    EXPECT_TRUE(WispRemotePageTesting(page_).FailureText()->isVisible());
    EXPECT_TRUE(WispRemotePageTesting(page_).Placeholder()->isVisible());
}

TEST_F(WispRemotePageTest, RemoteTabInTheMainWindow) {
    WispSheet sheet(ProfileStore::ForCurrentUser());
    sheet.show();
    auto* tabs = sheet.findChild<QTabWidget*>("tabs");
    ASSERT_NE(tabs, nullptr);
    tabs->setCurrentWidget(&sheet.RemotePage());
    QApplication::processEvents();
    EXPECT_TRUE(sheet.grab().save("/tmp/wisp-remote-sheet.png"));
    EXPECT_GT(sheet.RemotePage().CurrentView()->height(), 150);
}

}  // namespace
