#pragma once
// The program's main window: the six pages in a tab row with the progress bar at its right end, the
// title status (the transfer batch's while one runs), the transfer queue and its store, and the close
// handler that saves the settings (or removes everything) and fences the UI-thread bridge so no other
// thread touches a page from then on.
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/CommandLine.h"
#include "platform/ProfileStore.h"
#include "transfers/TransferQueue.h"
#include "transfers/TransferQueueStore.h"
#include "views/LogView.h"
#include "views/TransferView.h"

class QProgressBar;
class QTabWidget;
class QTimer;
class UiBridge;
class WispAboutPage;
class WispHostPage;
class WispLogPage;
class WispOptionsPage;
class WispPropertyPage;
class WispRemotePage;
class WispTransfersPage;

class WispSheet : public QWidget, private LogView, private TransferQueueObserver {
    Q_OBJECT
  public:
    static constexpr int kProgressWidth = 100;
    static constexpr int kProgressHeight = 16;
    // Fits a 1366 x 768 laptop screen with room for panels, and shows a listing of useful length.
    static constexpr int kDefaultWidth = 800;
    static constexpr int kDefaultHeight = 560;

    // Loads the settings from `store` and fixes the URL defaults for the run; the Host page is active.
    explicit WispSheet(ProfileStore store, QWidget* parent = nullptr);
    ~WispSheet() override;

    // UI thread only; other threads use MainWindowViews.
    void SetStatus(std::optional<std::string_view> text);
    void SetProgress(int percent);
    void LogTraffic(std::string_view line) override;
    void LogMessage(std::string_view line) override;
    // What a session's worker reports about the queue's rows (TransferView, posted here).
    void TransferStarted(std::uint64_t row, std::int64_t offset, std::int64_t size);
    void TransferProgress(std::uint64_t row, std::int64_t bytes);
    void TransferRetrying(std::uint64_t row, int attempt, int delaySeconds, std::string_view reason);
    void TransferEnded(std::uint64_t row, TransferEnd end, std::string_view reason);

    // Retried rows: enqueued on the session when it is their site, else the site is connected to first
    // (after a Logoff from another one) with its saved password or one the user gives.
    void RetryTransfers(std::vector<RetriedTransfers> retries);
    // How a password is asked for when a retry connects to a site that keeps none (a dialog, or a
    // test's answer); nothing when the user cancelled.
    using PasswordQuestion = std::function<std::optional<std::string>(const std::string& site)>;
    void SetPasswordQuestion(PasswordQuestion question) { askPassword_ = std::move(question); }

    // Set by the Options page's confirmed removal: closing deletes the stored data instead of saving.
    bool RemoveOnExit() const { return removeOnExit_; }
    void RequestRemoval();

    // The URL the program was started with, kept for the Host page.

    // The bridge the pages' views hand to worker threads; fenced when the window starts closing.
    const std::shared_ptr<UiBridge>& Bridge() const { return bridge_; }

    QTabWidget& Tabs() const { return *tabs_; }
    QProgressBar& ProgressBar() const { return *progress_; }
    WispHostPage& HostPage() const { return *host_; }
    WispRemotePage& RemotePage() const { return *remote_; }
    WispLogPage& LogPage() const { return *log_; }
    WispOptionsPage& OptionsPage() const { return *options_; }
    WispAboutPage& AboutPage() const { return *about_; }
    WispTransfersPage& TransfersPage() const { return *transfers_; }
    TransferQueue& Queue() { return queue_; }
    TransferQueueStore& QueueStore() const { return *queueStore_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void LoadSettings();
    void SaveSettings();
    void ActivateTab(int index);
    void StopReporting();
    void ShowTitle();
    void QueueChanged(bool states) override;
    // The batch's words and bar while a batch of several files runs, else the session's own.
    // The user stopped the transfers: the title leaves the batch until the queue is idle again.
    void HoldBatch();
    void ShowBatch();
    void RemoteSessionChanged(bool connected);
    void EnqueueRetry(RetriedTransfers& retry);
    void ConnectForRetries();
    // The pending retries are given up: their rows end interrupted with `reason`.
    void DropPendingRetries(const std::string& reason);

    ProfileStore store_;
    // Before the pages that show it and the store that follows it: they go first.
    TransferQueue queue_;
    bool removeOnExit_ = false;
    QProgressBar* progress_ = nullptr;  // owned by the tab widget
    QTabWidget* tabs_ = nullptr;        // owned by this window
    std::unique_ptr<WispAboutPage> about_;
    std::unique_ptr<WispHostPage> host_;
    std::unique_ptr<WispLogPage> log_;
    std::unique_ptr<WispOptionsPage> options_;
    std::unique_ptr<WispRemotePage> remote_;
    std::unique_ptr<WispTransfersPage> transfers_;
    std::unique_ptr<TransferQueueStore> queueStore_;
    QTimer* queueTimer_ = nullptr;  // owned by this window
    // The session's last title text, shown again when a batch ends.
    std::optional<std::string> sessionStatus_;
    int sessionProgress_ = 0;
    bool batchHeld_ = false;
    bool batchShown_ = false;
    bool batchPending_ = false;
    // Where a retry that needs another session stands.
    enum class RetryConnect { None, LoggingOff, Connecting };
    RetryConnect retryConnect_ = RetryConnect::None;
    // Retries waiting for their site's session.
    std::vector<RetriedTransfers> pendingRetries_;
    PasswordQuestion askPassword_;
    QPointer<WispPropertyPage> activePage_;
    std::shared_ptr<UiBridge> bridge_;
    bool closing_ = false;
    bool centred_ = false;
};
