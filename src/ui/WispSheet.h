#pragma once
// The program's main window: the five pages in a tab row with the progress bar at its right end, the
// title status, and the close handler that saves the settings (or removes everything) and fences the
// UI-thread bridge so no other thread touches a page from then on.
#include <QPointer>
#include <QWidget>
#include <memory>
#include <optional>
#include <string_view>

#include "app/CommandLine.h"
#include "platform/ProfileStore.h"

class QProgressBar;
class QTabWidget;
class UiBridge;
class WispAboutPage;
class WispHostPage;
class WispLogPage;
class WispOptionsPage;
class WispPropertyPage;
class WispRemotePage;

class WispSheet : public QWidget {
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
    void LogTraffic(std::string_view line);
    void LogMessage(std::string_view line);

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

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void LoadSettings();
    void SaveSettings();
    void ActivateTab(int index);
    void StopReporting();

    ProfileStore store_;
    bool removeOnExit_ = false;
    QProgressBar* progress_ = nullptr;  // owned by the tab widget
    QTabWidget* tabs_ = nullptr;        // owned by this window
    std::unique_ptr<WispAboutPage> about_;
    std::unique_ptr<WispHostPage> host_;
    std::unique_ptr<WispLogPage> log_;
    std::unique_ptr<WispOptionsPage> options_;
    std::unique_ptr<WispRemotePage> remote_;
    QPointer<WispPropertyPage> activePage_;
    std::shared_ptr<UiBridge> bridge_;
    bool closing_ = false;
    bool centred_ = false;
};
