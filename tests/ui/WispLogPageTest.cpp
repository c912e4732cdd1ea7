// The Log page under a flood of lines: it keeps a bounded number, drops the oldest and says so.
#include "ui/WispLogPage.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/ProfileStore.h"
#include "ui/AppTestSupport.h"
#include "ui/WispSheet.h"

namespace {

std::string Row(const QListWidget& list, int row) {
    return list.item(row)->text().toStdString();
}

class WispLogPageTest : public AppTest {};

TEST_F(WispLogPageTest, AFloodKeepsTheNewestLinesAndSaysHowManyOlderOnesWentUntilWipe) {
    auto sheet = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
    sheet->show();
    WispLogPage& page = sheet->LogPage();
    sheet->Tabs().setCurrentIndex(sheet->Tabs().indexOf(&page));
    page.SetSwitches(true, true, true);
    auto* list = page.findChild<QListWidget*>("log");
    ASSERT_NE(list, nullptr);

    const int total = WispLogPage::kMaxLines + 2500;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < total; ++i) {
        if (i % 2 == 0) {
            page.LogTraffic(">230-line " + std::to_string(i));
        } else {
            page.LogMessage(">230-line " + std::to_string(i));
        }
    }
    const auto spent = std::chrono::steady_clock::now() - started;
    std::printf("%d lines added in %lld ms\n", total,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count()));

    ASSERT_LE(list->count(), WispLogPage::kMaxLines + 1);
    const int kept = list->count() - 1;
    const int droppedCount = total - kept;
    ASSERT_EQ(droppedCount, 3000);  // whole batches of the oldest lines go
    EXPECT_EQ(Row(*list, 0), "(3,000 older lines removed: the log keeps the last 100,000)");
    EXPECT_EQ(Row(*list, 1), ">230-line " + std::to_string(droppedCount));
    EXPECT_EQ(Row(*list, list->count() - 1), ">230-line " + std::to_string(total - 1));
    list->scrollToTop();
    sheet->grab().save("/tmp/wisp-log-page-flood.png");

    // Wipe starts over: no note, and the next line is the first row.
    page.findChild<QPushButton*>("wipe")->click();
    EXPECT_EQ(list->count(), 0);
    page.LogMessage("after wipe");
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(Row(*list, 0), "after wipe");
}

// As a terminal: the newest line stays in view while the list is at its end, and a user who scrolled
// back to read is left where they are.
TEST_F(WispLogPageTest, FollowsNewLinesOnlyWhileScrolledToTheEnd) {
    auto sheet = std::make_unique<WispSheet>(ProfileStore::ForCurrentUser());
    sheet->show();
    WispLogPage& page = sheet->LogPage();
    page.SetSwitches(true, true, true);
    auto* list = page.findChild<QListWidget*>("log");
    QScrollBar* bar = list->verticalScrollBar();
    const auto add = [&page](int count) {
        for (int i = 0; i < count; ++i) {
            page.LogMessage("... line " + std::to_string(i));
        }
        QApplication::processEvents();
    };
    add(300);  // while another tab is shown
    sheet->Tabs().setCurrentIndex(sheet->Tabs().indexOf(&page));
    QApplication::processEvents();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    add(50);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(10);
    add(50);
    EXPECT_EQ(bar->value(), 10);

    bar->setValue(bar->maximum());
    add(50);
    EXPECT_EQ(bar->value(), bar->maximum());
}

}  // namespace
