#pragma once
// The Transfers page's rows as an item model over the core transfer queue: it reads the queue's rows and
// turns the queue's range reports into the model's signals, so thousands of rows cost one insert.
#include <QAbstractTableModel>

#include "transfers/TransferQueueObserver.h"

class TransferQueue;

class TransferQueueModel final : public QAbstractTableModel, private TransferQueueObserver {
    Q_OBJECT
  public:
    enum Column { kLocal = 0, kDirection, kRemote, kSize, kProgress, kSpeed, kTimeLeft, kStatus, kColumns };
    // The progress column's percentage (0..100, -1 unknown) for its delegate.
    static constexpr int kPercentRole = Qt::UserRole + 1;

    // Observes `queue` until destroyed; the queue must outlive the model.
    explicit TransferQueueModel(TransferQueue& queue, QObject* parent = nullptr);
    ~TransferQueueModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    void RowsAboutToBeInserted(int first, int count) override;
    void RowsInserted(int first, int count) override;
    void RowsChanged(int first, int last) override;
    void RowsAboutToBeRemoved(int first, int count) override;
    void RowsRemoved(int first, int count) override;
    void AboutToReset() override;
    void Reset() override;

    TransferQueue& queue_;
};
