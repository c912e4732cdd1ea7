#pragma once
// The Transfers tab: the transfer queue's rows in a table (local and remote file, direction, size,
// progress, speed, time left, status with the reason in words) and Retry, Remove, Stop and Clear finished
// on the selected rows. The queue lives in the core; what needs a session is handed to the window.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "transfers/TransferQueue.h"
#include "ui/WispPropertyPage.h"

class QMenu;
class QPushButton;
class QTableView;
class TransferQueueModel;

class WispTransfersPage final : public WispPropertyPage, private TransferQueueObserver {
    Q_OBJECT
  public:
    // The queue must outlive the page.
    explicit WispTransfersPage(TransferQueue& queue, QWidget* parent = nullptr);
    ~WispTransfersPage() override;

    // Retried rows to enqueue: on the current session when it is their site, else once connected there.
    void SetRetryHandler(std::function<void(std::vector<RetriedTransfers>)> handler) {
        retry_ = std::move(handler);
    }
    // A running row was among those stopped: the session's running transfer is aborted (as Escape).
    void SetStopRunningHandler(std::function<void()> handler) { stopRunning_ = std::move(handler); }

    // The ids of the selected rows, in row order.
    std::vector<std::uint64_t> SelectedIds() const;
    void RetrySelection();
    void RemoveSelection();
    void StopSelection();
    void ClearFinished();
    // The menu a right-click shows: the same four commands. The caller owns it.
    std::unique_ptr<QMenu> CreateContextMenu();

    QTableView& Table() const { return *table_; }
    TransferQueueModel& Model() const { return *model_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void QueueChanged(bool states) override;
    // Each button is enabled when it would change something.
    void UpdateButtons();

    TransferQueue& queue_;
    TransferQueueModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    QPushButton* retryButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    std::function<void(std::vector<RetriedTransfers>)> retry_;
    std::function<void()> stopRunning_;
};
