#pragma once
// The Remote tab: the server's current directory in one of four views, the "&Directory:" box that
// lists the directories cached this session, and the toolbar with up one level and the transfer mode.
// The listing, cache and sort live in RemotePageState; this page only shows them and passes gestures on.
#include <QIcon>
#include <QList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remote/RemotePageState.h"
#include "ui/WispPropertyPage.h"

class FtpSessionHandle;
class LogView;
class PropertiesDialog;
class QAbstractItemView;
class QAction;
class QComboBox;
class QItemSelectionModel;
class QLabel;
class QListView;
class QMenu;
class QStackedWidget;
class QToolBar;
class QTreeView;
class RemoteEntryModel;
class RemoteView;
class RemoteViewAdapter;
class UiBridge;

class WispRemotePage : public WispPropertyPage, private RemotePageObserver {
    Q_OBJECT
  public:
    enum ViewMode { kLargeIcons = 1, kSmallIcons = 2, kList = 3, kDetails = 4 };

    // `bridge`: the main window's, fenced when it closes (the page makes its own when none is given).
    // `log`: where the page's messages go (the process-wide log when none is given).
    explicit WispRemotePage(std::shared_ptr<UiBridge> bridge = {}, LogView* log = nullptr,
                            QWidget* parent = nullptr);
    ~WispRemotePage() override;

    // What the session worker calls (through the bridge); valid for the whole process.
    RemoteView& SessionView();

    // UI thread: the worker's ResetForSession / ResetAfterSession.
    void ResetForSession(std::shared_ptr<FtpSessionHandle> session);
    void ResetAfterSession();
    // The site the next session connects to (scheme://user@host:port, no password): its rows are named so.
    void SetSite(std::string site) { site_ = std::move(site); }
    const std::string& Site() const { return site_; }
    // Told when a session begins (true) or ends (false), after the page has followed.
    // Told when the user stops the session's transfers (Escape), before the session is.
    void SetAbortListener(std::function<void()> listener) { abortListener_ = std::move(listener); }
    void SetSessionListener(std::function<void(bool connected)> listener) {
        sessionListener_ = std::move(listener);
    }
    // The session's handle while connected, else null.
    std::shared_ptr<FtpSessionHandle> Session() const { return session_; }
    bool Connected() const { return state_.Connected(); }

    RemotePageState& State() { return state_; }
    const RemotePageState& State() const { return state_; }

    int CurrentViewMode() const { return viewMode_; }
    // Switches the view when `mode` differs from the current one.
    void SetViewMode(int mode);
    QAbstractItemView* CurrentView() const;
    QItemSelectionModel* Selection() const;
    // 0 (ASCII) when the ASCII button is checked, else 1 (image).
    int TransferType() const;

    // Selected rows in row order, and the slots behind them.
    std::vector<int> SelectedRows() const;
    std::vector<int> SelectedSlots() const;
    // The properties dialog for the selected rows (none when nothing is selected).
    std::unique_ptr<PropertiesDialog> CreatePropertiesDialog();
    // Opens it modally.
    void ShowProperties();

    // The Name, Size and Date/Time header was clicked.
    void ColumnClicked(int column);

    // Commands of the context menus; an action's data() holds its command number. Each menu numbers its
    // own items, so 5 is Properties in the selection menu and Name under Arrange Icons.
    enum MenuCommand {
        kOpen = 1,
        kGet = 2,
        kDelete = 3,
        kRename = 4,
        kProperties = 5,
        kArrangeByName = 5,
        kArrangeBySize = 6,
        kArrangeByDate = 7,
        kNewFolder = 8,
        kRefresh = 9,
        kLogoff = 10,
        kUpload = 11,
    };
    // The get item's label for the mode the toolbar shows now.
    QString GetItemLabel() const;
    // The menu a right-click shows now: the selection menu when rows are selected, else the background
    // menu. The caller owns it.
    std::unique_ptr<QMenu> CreateContextMenu();
    // Builds the menu, lets the user choose at `globalPos` and runs the choice.
    void ShowContextMenu(const QPoint& globalPos);
    // Runs command `id` of the selection menu (`selectionMenu`) or of the background menu.
    void RunMenuCommand(int id, bool selectionMenu);

    // Downloads the selected rows with the mode the toolbar shows now.
    void GetFilesAs();
    // One Delete request for the selected rows; with folders among them, their walk, then the question.
    void DeleteSelection();
    // "Rename" or F2: edits the name of the one selected row in place, in any view.
    void RenameSelection();
    // "New folder": asks for the name in a small dialog, then MKD.
    void NewFolder();
    // "Upload...": asks for local files and folders, then uploads them as a drop would.
    void Upload();
    // Asks the question of the Delete plan waiting and passes the answer on.
    void AskDeletePlan();
    // Escape in the list: stops the running transfer and empties the queue.
    void CancelTransfer();
    // Local files dropped on the list: one Put request; other URLs are ignored.
    void DropUrls(const QList<QUrl>& urls);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // How a menu is shown and a choice taken: the menu's own loop, or a test's answer.
    using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPos)>;
    // The New folder dialog (nothing: cancelled) and the Delete question (true: Yes), or a test's answers.
    using FolderNameAsker = std::function<std::optional<QString>()>;
    using DeleteConfirmer = std::function<bool(const QString& question)>;
    // The Upload dialog: the chosen local paths (none: cancelled), or a test's answer.
    using UploadAsker = std::function<std::vector<std::string>()>;
    // The widgets, the menu runner and the download questions, for tests.
    friend class WispRemotePageTesting;

    // RemotePageObserver
    void RowsAboutToBeReset() override;
    void RowsReset() override;
    void RowsAboutToBeAppended(int first, int count) override;
    void RowsAppended(int first, int count) override;
    void RowChanged(int row) override;
    void RowAboutToBeRemoved(int row) override;
    void RowRemoved(int row) override;
    void RowsAboutToBeReordered() override;
    void RowsReordered() override;
    void DirectoryTextChanged(const std::string& text) override;
    void CacheChanged() override;
    void SessionChanged(bool connected) override;
    void FailureChanged(const std::string& failure) override;
    void DeletePlanWaiting() override;
    void TransferPlanWaiting() override;

    void BuildToolBar();
    void AcceptFileDrops();
    bool ListKeyPressed(const QKeyEvent& key);
    bool ListDragEvent(QEvent* event);
    void EnterInList();
    void SetColumnWidths();
    void PlacePlaceholder();

    std::shared_ptr<UiBridge> bridge_;
    bool ownBridge_ = false;
    RemotePageState state_;
    std::shared_ptr<FtpSessionHandle> session_;
    std::string site_;
    std::function<void(bool connected)> sessionListener_;
    std::function<void()> abortListener_;
    RemoteViewAdapter* adapter_ = nullptr;  // process-lifetime, see RemoteViewAdapter::Create

    RemoteEntryModel* model_ = nullptr;
    QComboBox* directory_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QAction* upAction_ = nullptr;
    QAction* asciiAction_ = nullptr;
    QAction* imageAction_ = nullptr;
    QStackedWidget* views_ = nullptr;
    QListView* listView_ = nullptr;
    QTreeView* treeView_ = nullptr;
    int viewMode_ = kList;
    MenuRunner menuRunner_;
    FolderNameAsker askFolderName_;
    DeleteConfirmer confirmDelete_;
    UploadAsker askUpload_;
    // Where the Upload dialog opens next: where the last choice was made.
    QString uploadFolder_;
    std::unique_ptr<DownloadChoices> choices_;
    // Details' columns follow the window's width until the user drags one.
    bool columnsSizedByUser_ = false;
    bool settingColumns_ = false;
    QWidget* failureLine_ = nullptr;
    QLabel* failureText_ = nullptr;
    QLabel* placeholder_ = nullptr;
    class CellDelegate;
    CellDelegate* cells_ = nullptr;
};
