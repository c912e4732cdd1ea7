#include "ui/WispTransfersPage.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/TransferQueueModel.h"

namespace {

// The progress column as a bar with its percentage; the plain text where the size is unknown.
class ProgressDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const int percent = index.data(TransferQueueModel::kPercentRole).toInt();
        if (percent < 0) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        cell.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
        QStyleOptionProgressBar bar;
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.minimum = 0;
        bar.maximum = 100;
        bar.progress = percent;
        bar.text = index.data(Qt::DisplayRole).toString();
        bar.textVisible = true;
        bar.textAlignment = Qt::AlignCenter;
        bar.state = option.state | QStyle::State_Horizontal;
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
    }
};

}  // namespace

WispTransfersPage::WispTransfersPage(TransferQueue& queue, QWidget* parent)
    : WispPropertyPage(parent), queue_(queue) {
    setObjectName("WispTransfersPage");
    model_ = new TransferQueueModel(queue_, this);

    table_ = new QTableView;
    table_->setObjectName("transfers");
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setShowGrid(false);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideMiddle);
    table_->setItemDelegateForColumn(TransferQueueModel::kProgress, new ProgressDelegate(table_));
    table_->verticalHeader()->hide();
    // Fixed row heights and column widths: nothing measures every row, so 10,000 rows show at once.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    QHeaderView* header = table_->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    header->setHighlightSections(false);
    const int widths[TransferQueueModel::kColumns] = {170, 70, 170, 70, 90, 80, 70, 120};
    for (int column = 0; column < TransferQueueModel::kColumns; ++column) {
        header->resizeSection(column, widths[column]);
    }
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(table_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        const std::unique_ptr<QMenu> menu = CreateContextMenu();
        menu->exec(table_->viewport()->mapToGlobal(pos));
    });

    retryButton_ = new QPushButton("&Retry");
    retryButton_->setObjectName("retry");
    retryButton_->setToolTip(
        "Queue the selected failed or interrupted files again, continuing where they stopped");
    removeButton_ = new QPushButton("Re&move");
    removeButton_->setObjectName("remove");
    removeButton_->setToolTip("Take the selected files off the list (running ones stay)");
    stopButton_ = new QPushButton("&Stop");
    stopButton_->setObjectName("stop");
    stopButton_->setToolTip("Stop the selected files: queued ones are not sent, a running one is aborted");
    clearButton_ = new QPushButton("&Clear finished");
    clearButton_->setObjectName("clearFinished");
    clearButton_->setToolTip("Take every done or skipped file off the list");
    connect(retryButton_, &QPushButton::clicked, this, &WispTransfersPage::RetrySelection);
    connect(removeButton_, &QPushButton::clicked, this, &WispTransfersPage::RemoveSelection);
    connect(stopButton_, &QPushButton::clicked, this, &WispTransfersPage::StopSelection);
    connect(clearButton_, &QPushButton::clicked, this, &WispTransfersPage::ClearFinished);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(retryButton_);
    buttons->addWidget(stopButton_);
    buttons->addWidget(removeButton_);
    buttons->addStretch(1);
    buttons->addWidget(clearButton_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(table_, 1);
    layout->addLayout(buttons);

    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &WispTransfersPage::UpdateButtons);
    queue_.AddObserver(this);
    UpdateButtons();
}

WispTransfersPage::~WispTransfersPage() {
    queue_.RemoveObserver(this);
}

std::vector<std::uint64_t> WispTransfersPage::SelectedIds() const {
    std::vector<int> rows;
    for (const QModelIndex& index : table_->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    std::vector<std::uint64_t> ids;
    ids.reserve(rows.size());
    for (const int row : rows) {
        if (row < queue_.Count()) {
            ids.push_back(queue_.At(row).id);
        }
    }
    return ids;
}

void WispTransfersPage::RetrySelection() {
    std::vector<RetriedTransfers> retries = queue_.Retry(SelectedIds());
    if (!retries.empty() && retry_) {
        retry_(std::move(retries));
    }
}

void WispTransfersPage::RemoveSelection() {
    queue_.Remove(SelectedIds());
}

void WispTransfersPage::StopSelection() {
    const TransferStopResult result = queue_.Stop(SelectedIds());
    if (result.runningAmong && stopRunning_) {
        stopRunning_();
    }
}

void WispTransfersPage::ClearFinished() {
    queue_.ClearFinished();
}

std::unique_ptr<QMenu> WispTransfersPage::CreateContextMenu() {
    auto menu = std::make_unique<QMenu>(this);
    for (QPushButton* button : {retryButton_, stopButton_, removeButton_, clearButton_}) {
        QAction* action = menu->addAction(button->text());
        action->setEnabled(button->isEnabled());
        connect(action, &QAction::triggered, button, &QPushButton::click);
    }
    return menu;
}

void WispTransfersPage::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        RemoveSelection();
        event->accept();
        return;
    }
    WispPropertyPage::keyPressEvent(event);
}

void WispTransfersPage::QueueChanged(bool states) {
    // Progress alone changes no button.
    if (states) {
        UpdateButtons();
    }
}

void WispTransfersPage::UpdateButtons() {
    bool retry = false;
    bool remove = false;
    bool stop = false;
    for (const std::uint64_t id : SelectedIds()) {
        const TransferState state = queue_.At(queue_.IndexOf(id)).state;
        retry = retry || state == TransferState::Failed || state == TransferState::Interrupted;
        remove = remove || state != TransferState::Running;
        stop = stop || state == TransferState::Queued || state == TransferState::Running;
    }
    bool finished = std::any_of(queue_.Rows().begin(), queue_.Rows().end(), [](const TransferRow& row) {
        return row.state == TransferState::Done || row.state == TransferState::Skipped;
    });
    retryButton_->setEnabled(retry);
    removeButton_->setEnabled(remove);
    stopButton_->setEnabled(stop);
    clearButton_->setEnabled(finished);
}
