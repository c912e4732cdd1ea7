#include "ui/WispLogPage.h"

#include <QCheckBox>
#include <QFont>
#include <QHBoxLayout>
#include <QListWidget>
#include <QLocale>
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
        // Laying the view out can show or hide a scroll bar, which asks for this again from inside the
        // base class; with a vertical scroll bar and the widened range that never settled and ran the
        // stack out. One pass at a time: the outer one finishes with the final sizes.
        if (updating_) {
            return;
        }
        updating_ = true;
        QListWidget::updateGeometries();
        QScrollBar* bar = horizontalScrollBar();
        const int visible = viewport()->width();
        const int extent = std::max(WispLogPage::kHorizontalExtent, bar->maximum() + visible);
        bar->setRange(0, std::max(0, extent - visible));
        bar->setPageStep(visible);
        updating_ = false;
    }

  private:
    bool updating_ = false;
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
    // As a terminal does: new lines keep the newest in view while the list is scrolled to its end, and
    // leave it where it is when the user has scrolled back to read.
    QScrollBar* bar = list_->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
        if (list_->isVisible()) {
            following_ = value >= bar->maximum();
        }
    });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (following_) {
            bar->setValue(maximum);
        }
    });

    loggingBox_ = new QCheckBox("&Logging", this);
    loggingBox_->setObjectName("logging");
    commandsBox_ = new QCheckBox("&Commands", this);
    commandsBox_->setObjectName("commands");
    extendedBox_ = new QCheckBox("E&xtended", this);
    extendedBox_->setObjectName("extended");
    auto* wipe = new QPushButton("&Wipe", this);
    wipe->setObjectName("wipe");
    connect(wipe, &QPushButton::clicked, this, &WispLogPage::Wipe);

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
    const int lines = list_->count() - (dropped_ > 0 ? 1 : 0);
    if (lines > kMaxLines) {
        DropOldest();
    }
}

void WispLogPage::DropOldest() {
    // Removing one batch of rows at once keeps a flood of lines from costing a model update per line.
    const int lines = list_->count() - (dropped_ > 0 ? 1 : 0);
    const int drop = std::min(lines, std::max(kDropBatch, lines - kMaxLines));
    if (dropped_ == 0) {
        list_->insertItem(0, QString());
    }
    list_->model()->removeRows(1, drop);
    dropped_ += drop;
    QListWidgetItem* note = list_->item(0);
    const QLocale english(QLocale::English);
    note->setText(QString("(%1 older lines removed: the log keeps the last %2)")
                      .arg(english.toString(dropped_), english.toString(kMaxLines)));
    note->setFlags(Qt::ItemIsEnabled);
    QFont font = note->font();
    font.setItalic(true);
    note->setFont(font);
}

void WispLogPage::Wipe() {
    following_ = true;
    list_->clear();
    dropped_ = 0;
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
