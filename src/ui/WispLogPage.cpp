#include "ui/WispLogPage.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QString>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// A list whose horizontal scroll range covers at least the page's fixed extent, and more when a line
// is wider than that, so no line is ever cut off.
class LogList : public QListWidget {
  public:
    using QListWidget::QListWidget;

  protected:
    void updateGeometries() override {
        QListWidget::updateGeometries();
        QScrollBar* bar = horizontalScrollBar();
        const int visible = viewport()->width();
        const int extent = std::max(WispLogPage::kHorizontalExtent, bar->maximum() + visible);
        bar->setRange(0, std::max(0, extent - visible));
        bar->setPageStep(visible);
    }
};

}  // namespace

WispLogPage::WispLogPage(QWidget* parent) : WispPropertyPage(parent) {
    setObjectName("WispLogPage");
    list_ = new LogList(this);
    list_->setObjectName("log");
    list_->setSortingEnabled(false);
    list_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);

    loggingBox_ = new QCheckBox("&Logging", this);
    loggingBox_->setObjectName("logging");
    commandsBox_ = new QCheckBox("&Commands", this);
    commandsBox_->setObjectName("commands");
    extendedBox_ = new QCheckBox("E&xtended", this);
    extendedBox_->setObjectName("extended");
    auto* wipe = new QPushButton("&Wipe", this);
    wipe->setObjectName("wipe");
    connect(wipe, &QPushButton::clicked, list_, &QListWidget::clear);

    auto* switches = new QHBoxLayout;
    switches->addWidget(loggingBox_);
    switches->addWidget(commandsBox_);
    switches->addWidget(extendedBox_);
    switches->addStretch(1);
    switches->addWidget(wipe);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(switches);
}

void WispLogPage::SetSwitches(bool logging, bool commands, bool extended) {
    logging_ = logging;
    commands_ = commands;
    extended_ = extended;
    PageActivated();
}

void WispLogPage::LogTraffic(std::string_view line) {
    if (logging_ && commands_) {
        AddLine(line);
    }
}

void WispLogPage::LogMessage(std::string_view line) {
    if (logging_ && extended_) {
        AddLine(line);
    }
}

void WispLogPage::AddLine(std::string_view line) {
    list_->addItem(QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())));
}

void WispLogPage::PageActivated() {
    loggingBox_->setChecked(logging_);
    commandsBox_->setChecked(commands_);
    extendedBox_->setChecked(extended_);
}

void WispLogPage::PageDeactivated() {
    logging_ = loggingBox_->isChecked();
    commands_ = commandsBox_->isChecked();
    extended_ = extendedBox_->isChecked();
}
