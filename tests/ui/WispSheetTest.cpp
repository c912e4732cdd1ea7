#include "ui/WispSheet.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "hosts/FtpUrl.h"
#include "hosts/HostList.h"
#include "platform/ProfileKeys.h"
#include "platform/ProfileStore.h"
#include "ui/AppTestSupport.h"
#include "ui/MainWindowViews.h"
#include "ui/UiBridge.h"
#include "ui/WispAboutPage.h"
#include "ui/WispHostPage.h"
#include "ui/WispLogPage.h"
#include "ui/WispOptionsPage.h"
#include "ui/WispRemotePage.h"
#include "ui/WispTransfersPage.h"

namespace {

using std::chrono::milliseconds;

class WispSheetTest : public AppTest {
  protected:
    std::unique_ptr<WispSheet> MakeSheet() {
        auto sheet = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
        sheet->show();
        return sheet;
    }

    static std::vector<std::string> Lines(const WispSheet& sheet) {
        const auto* list = sheet.LogPage().findChild<QListWidget*>("log");
        std::vector<std::string> lines;
        for (int i = 0; i < list->count(); ++i) {
            lines.push_back(list->item(i)->text().toStdString());
        }
        return lines;
    }

    template <typename T>
    static T* Control(const QWidget& page, const char* name) {
        T* control = page.findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }

    static void ShowTab(WispSheet& sheet, const QWidget& page) {
        sheet.Tabs().setCurrentIndex(sheet.Tabs().indexOf(const_cast<QWidget*>(&page)));
    }

    // Closes the sheet the way the user does and lets the queued close requests run.
    static void CloseAndPump(WispSheet& sheet) {
        sheet.close();
        QCoreApplication::processEvents();
    }

    // Answers the next message box with `button` once it is open; records its texts.
    struct BoxAnswer {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        bool seen = false;
    };
    static void AnswerNextBox(BoxAnswer& answer, QMessageBox::StandardButton button) {
        QTimer::singleShot(0, [&answer, button] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            answer.seen = true;
            answer.title = box->windowTitle();
            answer.text = box->text();
            answer.icon = box->icon();
            answer.buttons = box->standardButtons();
            box->button(button)->click();
        });
    }
};

TEST_F(WispSheetTest, TabsComeInOrderWithTheirTooltipsAndHostIsActive) {
    auto sheet = MakeSheet();
    const QTabWidget& tabs = sheet->Tabs();
    struct Tab {
        const QWidget* page;
        const char* text;
        const char* tooltip;
    };
    const Tab expected[] = {
        {&sheet->HostPage(), "Host", "\"PING\" or connect to FTP servers anywhere on the Internet!"},
        {&sheet->RemotePage(), "Remote",
         "A window onto the server; try right-clicking on files or the background!"},
        {&sheet->TransfersPage(), "Transfers",
         "Files being fetched and sent; retry, stop or remove them here"},
        {&sheet->LogPage(), "Log", "A record of your FTP session's commands and responses"},
        {&sheet->OptionsPage(), "Options", "Control your FTP sessions here!"},
        {&sheet->AboutPage(), "About", "Legal mumbo-jumbo and contact info"},
    };
    ASSERT_EQ(tabs.count(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(tabs.widget(i), expected[i].page) << i;
        EXPECT_EQ(tabs.tabText(i).toStdString(), expected[i].text);
        EXPECT_EQ(tabs.tabToolTip(i).toStdString(), expected[i].tooltip);
    }
    EXPECT_EQ(tabs.currentWidget(), &sheet->HostPage());
    EXPECT_EQ(sheet->windowTitle(), "Wisp");
    EXPECT_FALSE(sheet->windowIcon().isNull());
}

TEST_F(WispSheetTest, ProgressBarSitsAtTheRightEndOfTheTabRowOnEveryPage) {
    auto sheet = MakeSheet();
    QProgressBar& bar = sheet->ProgressBar();
    EXPECT_EQ(sheet->Tabs().cornerWidget(Qt::TopRightCorner), &bar);
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_EQ(bar.maximum(), 100);
    EXPECT_EQ(bar.value(), 0);
    for (int i = 0; i < sheet->Tabs().count(); ++i) {
        sheet->Tabs().setCurrentIndex(i);
        QCoreApplication::processEvents();
        EXPECT_TRUE(bar.isVisible());
        EXPECT_EQ(bar.size(), QSize(100, 16));
        const QPoint topLeft = bar.mapTo(&sheet->Tabs(), QPoint(0, 0));
        // At the right end, beside (not over) the last tab.
        EXPECT_GE(topLeft.x() + bar.width(), sheet->Tabs().width() - 8) << i;
        const QTabBar* tabBar = sheet->Tabs().tabBar();
        EXPECT_GE(topLeft.x(), tabBar->mapTo(&sheet->Tabs(), tabBar->tabRect(4).topRight()).x()) << i;
        EXPECT_LT(topLeft.y(), tabBar->height()) << i;
    }
}

TEST_F(WispSheetTest, TitlesAndProgressSetFromAnotherThreadWhileTheLoopRuns) {
    auto sheet = MakeSheet();
    MainWindowViews& views = MainWindowViews::Instance();
    std::optional<QString> busy, empty, idle;
    const std::shared_ptr<UiBridge> bridge = sheet->Bridge();
    auto title = [&] { return bridge->CallAndWait<QString>([&] { return sheet->windowTitle(); }); };
    TestThread worker([&] {
        views.SetStatus("Connecting to ftp.example.org");
        busy = title();
        views.SetStatus("");
        empty = title();
        views.SetStatus(std::nullopt);
        idle = title();
        for (int percent = 0; percent <= 100; percent += 10) {
            views.SetProgress(percent);
        }
        views.SetProgress(37);
    });
    ASSERT_TRUE(worker.JoinPumping());
    EXPECT_EQ(busy, "Wisp - Connecting to ftp.example.org");
    EXPECT_EQ(empty, "Wisp - ");
    EXPECT_EQ(idle, "Wisp");
    // Progress is posted: it arrives in order, the last one wins.
    EXPECT_TRUE(PumpUntil([&] { return sheet->ProgressBar().value() == 37; }));
}

TEST_F(WispSheetTest, ProgressFromAnotherThreadNeverWaitsForTheUiThread) {
    auto sheet = MakeSheet();
    TestThread worker([] { MainWindowViews::Instance().SetProgress(64); });
    ASSERT_TRUE(worker.JoinWithoutPumping(milliseconds(2000)));
    EXPECT_TRUE(PumpUntil([&] { return sheet->ProgressBar().value() == 64; }));
}

TEST_F(WispSheetTest, LogSwitchesChooseTheChannelsShown) {
    struct Case {
        bool logging, commands, extended;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {false, true, true, {}},
        {false, false, false, {}},
        {true, true, false, {"<USER anonymous"}},
        {true, false, true, {"... connected"}},
        {true, true, true, {"<USER anonymous", "... connected"}},
        {true, false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.logging << c.commands << c.extended);
        ConfigFolder config;
        ProfileStore store = ProfileStore::ForCurrentUser();
        store.SetDword(kSettingsKey, "Logging", c.logging);
        store.SetDword(kSettingsKey, "LogCmd", c.commands);
        store.SetDword(kSettingsKey, "LogExt", c.extended);
        auto sheet = MakeSheet();
        // From a worker thread, as the engine reports.
        TestThread worker([] {
            MainWindowViews::Instance().LogTraffic("<USER anonymous");
            MainWindowViews::Instance().LogMessage("... connected");
        });
        ASSERT_TRUE(worker.JoinPumping());
        EXPECT_EQ(Lines(*sheet), c.shown);
        EXPECT_EQ(Control<QCheckBox>(sheet->LogPage(), "logging")->isChecked(), c.logging);
        EXPECT_EQ(Control<QCheckBox>(sheet->LogPage(), "commands")->isChecked(), c.commands);
        EXPECT_EQ(Control<QCheckBox>(sheet->LogPage(), "extended")->isChecked(), c.extended);
    }
}

TEST_F(WispSheetTest, ASwitchActsOnlyOnceTheUserLeavesTheLogPage) {
    auto sheet = MakeSheet();
    WispLogPage& log = sheet->LogPage();
    ShowTab(*sheet, log);
    Control<QCheckBox>(log, "extended")->click();
    EXPECT_FALSE(Control<QCheckBox>(log, "extended")->isChecked());
    MainWindowViews::Instance().LogMessage("still shown");
    ShowTab(*sheet, sheet->OptionsPage());
    MainWindowViews::Instance().LogMessage("now hidden");
    MainWindowViews::Instance().LogTraffic(">220 ready");
    EXPECT_EQ(Lines(*sheet), (std::vector<std::string>{"still shown", ">220 ready"}));
    // Coming back shows the members again.
    Control<QCheckBox>(log, "extended")->setChecked(true);  // a stale state the page must overwrite
    ShowTab(*sheet, log);
    EXPECT_FALSE(Control<QCheckBox>(log, "extended")->isChecked());
}

TEST_F(WispSheetTest, WipeEmptiesTheListAndLaterLinesFollow) {
    auto sheet = MakeSheet();
    for (const char* line : {"one", "two", "three"}) {
        MainWindowViews::Instance().LogMessage(line);
    }
    ASSERT_EQ(Lines(*sheet).size(), 3u);
    Control<QPushButton>(sheet->LogPage(), "wipe")->click();
    EXPECT_TRUE(Lines(*sheet).empty());
    MainWindowViews::Instance().LogMessage("four");
    EXPECT_EQ(Lines(*sheet), std::vector<std::string>{"four"});
}

TEST_F(WispSheetTest, LogListScrollsSidewaysAtLeast640PixelsAndToItsWidestLine) {
    auto sheet = MakeSheet();
    // Narrower than the scrolling extent, so the list must scroll.
    sheet->resize(560, 420);
    ShowTab(*sheet, sheet->LogPage());
    auto* list = Control<QListWidget>(sheet->LogPage(), "log");
    MainWindowViews::Instance().LogMessage("short");
    QCoreApplication::processEvents();
    const int visible = list->viewport()->width();
    ASSERT_LT(visible, WispLogPage::kHorizontalExtent);
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), WispLogPage::kHorizontalExtent - visible);
    MainWindowViews::Instance().LogMessage(std::string(400, 'W'));
    QCoreApplication::processEvents();
    EXPECT_GT(list->horizontalScrollBar()->maximum(), WispLogPage::kHorizontalExtent - visible);
}

TEST_F(WispSheetTest, SettingsSurviveARestart) {
    {
        auto sheet = MakeSheet();
        EXPECT_EQ(Control<QLineEdit>(sheet->OptionsPage(), "email")->text(), "<your-email-address>");
        EXPECT_TRUE(Control<QCheckBox>(sheet->OptionsPage(), "passive")->isChecked());
        ShowTab(*sheet, sheet->LogPage());
        Control<QCheckBox>(sheet->LogPage(), "commands")->click();
        ShowTab(*sheet, sheet->OptionsPage());
        // Edited and closed without leaving the page: still saved.
        Control<QLineEdit>(sheet->OptionsPage(), "email")->setText("me@example.org");
        Control<QCheckBox>(sheet->OptionsPage(), "passive")->click();
        EXPECT_TRUE(Control<QCheckBox>(sheet->OptionsPage(), "keepAlive")->isChecked());
        Control<QCheckBox>(sheet->OptionsPage(), "keepAlive")->click();
        // The anonymous password of this run stays the one read at start.
        EXPECT_EQ(GetUrlDefaults().password, "<your-email-address>");
        CloseAndPump(*sheet);
        EXPECT_EQ(sheet->windowTitle(), "Wisp - Exiting");
    }
    auto sheet = MakeSheet();
    EXPECT_TRUE(sheet->LogPage().Logging());
    EXPECT_FALSE(sheet->LogPage().Commands());
    EXPECT_TRUE(sheet->LogPage().Extended());
    EXPECT_EQ(Control<QLineEdit>(sheet->OptionsPage(), "email")->text(), "me@example.org");
    EXPECT_FALSE(Control<QCheckBox>(sheet->OptionsPage(), "passive")->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(sheet->OptionsPage(), "keepAlive")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(sheet->OptionsPage(), "keepUploadTimes")->isChecked());
    // The stored address is the anonymous password of this run.
    EXPECT_EQ(GetUrlDefaults().password, "me@example.org");
    EXPECT_EQ(GetUrlDefaults().scheme, "ftp");
    EXPECT_EQ(GetUrlDefaults().user, "anonymous");
    EXPECT_EQ(GetUrlDefaults().port, "21");
}

TEST_F(WispSheetTest, ASwitchToggledWhileTheLogPageIsActiveIsNotSaved) {
    {
        auto sheet = MakeSheet();
        ShowTab(*sheet, sheet->LogPage());
        Control<QCheckBox>(sheet->LogPage(), "logging")->click();
        CloseAndPump(*sheet);
    }
    ProfileStore store = ProfileStore::ForCurrentUser();
    EXPECT_EQ(store.QueryDword(kSettingsKey, "Logging"), 1u);
}

TEST_F(WispSheetTest, RemovalCancelledChangesNothing) {
    auto sheet = MakeSheet();
    ShowTab(*sheet, sheet->OptionsPage());
    BoxAnswer answer;
    AnswerNextBox(answer, QMessageBox::Cancel);
    Control<QPushButton>(sheet->OptionsPage(), "removeAndQuit")->click();
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.title, "Wisp Removal Confirmation");
    EXPECT_EQ(answer.text,
              "This will remove your FTP site list.\r\nAny entries you have added will be LOST.\r\n\r\n"
              "Are you SURE you want to continue?");
    EXPECT_EQ(answer.icon, QMessageBox::Critical);
    EXPECT_EQ(answer.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCoreApplication::processEvents();
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_FALSE(sheet->RemoveOnExit());
    EXPECT_EQ(sheet->windowTitle(), "Wisp");
}

TEST_F(WispSheetTest, RemovalConfirmedClosesWithoutSavingAndLeavesNothing) {
    ProfileStore store = ProfileStore::ForCurrentUser();
    store.SetString(kHostsKey, "ftp://ftp.example.org/", "anonymous");
    auto sheet = MakeSheet();
    ShowTab(*sheet, sheet->OptionsPage());
    Control<QLineEdit>(sheet->OptionsPage(), "email")->setText("not-saved@example.org");
    BoxAnswer answer;
    AnswerNextBox(answer, QMessageBox::Ok);
    Control<QPushButton>(sheet->OptionsPage(), "removeAndQuit")->click();
    ASSERT_TRUE(answer.seen);
    EXPECT_TRUE(sheet->RemoveOnExit());
    ASSERT_TRUE(PumpUntil([&] { return !sheet->isVisible(); }));
    EXPECT_EQ(sheet->windowTitle(), "Wisp - Exiting");
    EXPECT_FALSE(store.KeyExists(kCompanyKey));
    EXPECT_TRUE(std::filesystem::is_empty(config_.Path()));
}

TEST_F(WispSheetTest, FirstStartStoresTheBuiltInSitesAndReloadStoresThemAgain) {
    auto sheet = MakeSheet();
    ProfileStore store = ProfileStore::ForCurrentUser();
    const std::vector<ProfileValue> stored = store.EnumerateValues(kHostsKey);
    ASSERT_EQ(stored.size(), HostList::kDefaultSiteCount);
    const std::string site = stored.front().name;
    ASSERT_TRUE(store.DeleteValue(kHostsKey, site));
    Control<QPushButton>(sheet->OptionsPage(), "reloadDefaults")->click();
    EXPECT_TRUE(store.QueryString(kHostsKey, site).has_value());
    EXPECT_EQ(store.EnumerateValues(kHostsKey).size(), HostList::kDefaultSiteCount);
    EXPECT_TRUE(sheet->isVisible());
}

TEST_F(WispSheetTest, SavedSitesAreKeptAtStart) {
    ProfileStore store = ProfileStore::ForCurrentUser();
    store.SetString(kHostsKey, "ftp://ftp.example.org/", "me,");
    auto sheet = MakeSheet();
    ASSERT_EQ(store.EnumerateValues(kHostsKey).size(), 1u);
    EXPECT_EQ(store.QueryString(kHostsKey, "ftp://ftp.example.org/"), "me,");
}

TEST_F(WispSheetTest, AboutBoxesAreFilledWhenTheTabIsFirstOpened) {
    auto sheet = MakeSheet();
    auto* web = Control<QLineEdit>(sheet->AboutPage(), "webPage");
    auto* mail = Control<QLineEdit>(sheet->AboutPage(), "email");
    ShowTab(*sheet, sheet->AboutPage());
    EXPECT_EQ(web->text(), WispAboutPage::kWebPage);
    EXPECT_EQ(mail->text(), WispAboutPage::kEMail);
    EXPECT_TRUE(web->isReadOnly());
    EXPECT_TRUE(mail->isReadOnly());
    EXPECT_EQ(Control<QLabel>(sheet->AboutPage(), "title")->text(), "Wisp - FTP Client for Linux");
    // The page and `wisp --version` name the same version.
    EXPECT_EQ("Wisp " + Control<QLabel>(sheet->AboutPage(), "version")->text().toStdString() + "\n",
              CommandLine::VersionText());
}

TEST_F(WispSheetTest, TheWindowOpensAtItsDefaultSizeAndCanBeResized) {
    auto sheet = MakeSheet();
    EXPECT_EQ(sheet->size(), QSize(WispSheet::kDefaultWidth, WispSheet::kDefaultHeight));
    EXPECT_LT(sheet->minimumWidth(), WispSheet::kDefaultWidth);
    EXPECT_GT(sheet->maximumWidth(), 4000);
    EXPECT_GT(sheet->maximumHeight(), 4000);
    sheet->resize(1600, 1000);
    QCoreApplication::processEvents();
    EXPECT_EQ(sheet->size(), QSize(1600, 1000));
}

TEST_F(WispSheetTest, EveryPageAndTheProgressBarFollowTheWindowSize) {
    auto sheet = MakeSheet();
    const QSize sizes[] = {{WispSheet::kDefaultWidth, WispSheet::kDefaultHeight}, {1600, 1000}, {640, 420}};
    for (const QSize& size : sizes) {
        sheet->resize(size);
        QCoreApplication::processEvents();
        const QTabWidget& tabs = sheet->Tabs();
        const QRect bar(sheet->ProgressBar().mapTo(sheet.get(), QPoint(0, 0)), sheet->ProgressBar().size());
        const QRect tabRow(tabs.tabBar()->mapTo(sheet.get(), QPoint(0, 0)), tabs.tabBar()->size());
        const QRect tabArea(tabs.mapTo(sheet.get(), QPoint(0, 0)), tabs.size());
        if (const char* dir = std::getenv("WISP_GRAB_DIR")) {
            for (int i = 0; i < tabs.count(); ++i) {
                sheet->Tabs().setCurrentIndex(i);
                QCoreApplication::processEvents();
                sheet->grab().save(QString("%1/sheet-%2-%3.png").arg(dir).arg(size.width()).arg(i));
            }
            sheet->Tabs().setCurrentIndex(0);
            QCoreApplication::processEvents();
        }
        EXPECT_EQ(bar.size(), QSize(WispSheet::kProgressWidth, WispSheet::kProgressHeight)) << size.width();
        // At the right end of the tab row: right of the last tab, close to the tab area's right edge,
        // and vertically within the row.
        EXPECT_GT(bar.left(), tabRow.right()) << size.width();
        EXPECT_LE(bar.right(), tabArea.right()) << size.width();
        EXPECT_GT(bar.right(), tabArea.right() - 16) << size.width();
        EXPECT_GE(bar.top(), tabArea.top()) << size.width();
        EXPECT_LT(bar.bottom(), tabRow.bottom()) << size.width();
        // A couple of pixels clear of the frame line drawn just above the pages.
        const QWidget* page = tabs.currentWidget();
        EXPECT_LE(bar.bottom(), page->mapTo(sheet.get(), QPoint(0, 0)).y() - 5) << size.width();
        // Pages fill the window less a margin, whichever is shown.
        for (int i = 0; i < tabs.count(); ++i) {
            const QWidget* page = tabs.widget(i);
            sheet->Tabs().setCurrentIndex(i);
            QCoreApplication::processEvents();
            EXPECT_GT(page->width(), size.width() - 60) << i << " at " << size.width();
            EXPECT_GT(page->height(), size.height() - 110) << i << " at " << size.width();
        }
        sheet->Tabs().setCurrentIndex(0);
    }
}

TEST_F(WispSheetTest, TheWindowShowsTheProgramIcon) {
    auto sheet = MakeSheet();
    const QList<QSize> sizes = sheet->windowIcon().availableSizes();
    for (const QSize size : {QSize(16, 16), QSize(32, 32), QSize(48, 48), QSize(128, 128)}) {
        EXPECT_TRUE(sizes.contains(size)) << size.width();
    }
}

TEST_F(WispSheetTest, AThreadLoggingWithoutPauseNeverHoldsUpTheClose) {
    auto sheet = MakeSheet();
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    TestThread worker([&] {
        MainWindowViews& views = MainWindowViews::Instance();
        while (!stop) {
            views.LogMessage("... 1024 bytes received");
            views.LogTraffic(">226 Transfer complete");
            views.SetStatus("GETing file");
            views.SetProgress(calls % 101);
            ++calls;
        }
    });
    ASSERT_TRUE(PumpUntil([&] { return calls > 100; }));
    CloseAndPump(*sheet);
    sheet.reset();
    // The window is gone; the thread keeps calling and must neither block nor touch it.
    const int afterClose = calls;
    EXPECT_TRUE(PumpUntil([&] { return calls > afterClose + 100; }));
    stop = true;
    EXPECT_TRUE(worker.JoinPumping());
}

TEST_F(WispSheetTest, AThreadWaitingOnTheWindowIsReleasedByTheClose) {
    auto sheet = MakeSheet();
    std::atomic<bool> started{false};
    TestThread worker([&] {
        started = true;
        // Queued while the UI thread is busy below: still waiting when the close comes.
        MainWindowViews::Instance().LogMessage("... waiting");
    });
    while (!started) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    std::this_thread::sleep_for(milliseconds(50));
    sheet->close();  // no event handled in between
    EXPECT_TRUE(worker.JoinWithoutPumping(milliseconds(2000)));
    sheet.reset();
    QCoreApplication::processEvents();
}

}  // namespace
