#pragma once
// What the Remote page shows and remembers, without any widget: the current listing and its rows, the
// directory cache of the session, the sort state and the session's request queue. The page's widgets
// only show it; the observer tells them what changed.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "listing/EntryArray.h"
#include "remote/DownloadChoices.h"
#include "remote/RemoteRequestQueue.h"
#include "transfers/TransferRowSink.h"

class DeletePlan;
class TransferPlan;
class LogView;

// Told after each change of the state, on the thread that made it (the UI thread in the program).
class RemotePageObserver {
  public:
    virtual ~RemotePageObserver() = default;
    // The rows are replaced as a whole (another listing, or none): before and after.
    virtual void RowsAboutToBeReset() {}
    virtual void RowsReset() {}
    // Rows are added at the end: before and after.
    virtual void RowsAboutToBeAppended(int /*firstRow*/, int /*count*/) {}
    virtual void RowsAppended(int /*firstRow*/, int /*count*/) {}
    virtual void RowChanged(int /*row*/) {}
    virtual void RowAboutToBeRemoved(int /*row*/) {}
    virtual void RowRemoved(int /*row*/) {}
    // Called around a re-ordering of the same rows; in between, SlotOfRow answers for the new order.
    virtual void RowsAboutToBeReordered() {}
    virtual void RowsReordered() {}
    // The text of the directory field.
    virtual void DirectoryTextChanged(const std::string& /*text*/) {}
    // The cached directories (CachedDirectories) changed.
    virtual void CacheChanged() {}
    // A session began (true) or ended (false).
    virtual void SessionChanged(bool /*connected*/) {}
    // The failure shown (Failure) changed; empty when there is none.
    virtual void FailureChanged(const std::string& /*failure*/) {}
    // A Delete holding folders has its plan: the user is to be asked (DeleteQuestion, AnswerDeletePlan).
    virtual void DeletePlanWaiting() {}
    // A Get or a Put holding folders has its plan: conflicts are to be asked about (AnswerTransferPlan).
    virtual void TransferPlanWaiting() {}
};

class RemotePageState {
  public:
    // Per column: Name, Size, Date/Time, Permissions.
    static constexpr int kColumns = 4;

    explicit RemotePageState(LogView& log);
    RemotePageState(const RemotePageState&) = delete;
    RemotePageState& operator=(const RemotePageState&) = delete;

    // Null: nobody is told.
    void SetObserver(RemotePageObserver* observer);
    // Where downloads and uploads become queue rows: with one, every file of a Get or a Put is a row and
    // the request names them (TransferItems); without, the request names the slots or the dropped paths.
    void SetTransferRows(TransferRowSink* rows) { transferRows_ = rows; }

    // --- What the session worker reports ---
    void ResetForSession(std::shared_ptr<RemoteRequestQueue> session);
    void ResetAfterSession();
    // True when a cached listing of exactly `path` (letter case included) is now shown.
    bool EnterDirectory(std::string_view path);
    void AddListingLine(std::string_view line);
    // Several lines at once, with one RowsAppended.
    void AddListingLines(const std::vector<std::string>& lines);
    // The entries of listing lines in any format ListingParser reads (lines that give no row, such as
    // "total 12", carry none); needs no state, so any thread may parse ahead and hand the result to
    // AddListingEntries.
    static std::vector<RemoteEntry> EntriesFromLines(const std::vector<std::string>& lines);
    void AddListingEntries(std::vector<RemoteEntry> entries);
    void FinishListing(bool complete);
    RemoteEntry EntryAt(int index) const;
    void RemoveEntry(int index);
    void UploadedFile(std::string_view name, std::int64_t size, std::int32_t modifiedTime);
    // Why the user's last request failed or stopped, in words; kept until the user's next action or
    // the next session.
    void ShowFailure(std::string_view reason);
    // After MKD: the new folder joins the listing shown (and its cached copy).
    void FolderMade(std::string_view name);
    // After RNFR/RNTO: slot `slot`, while it still holds `oldName`, shows `newName`; cached listings of a
    // renamed folder and below are forgotten.
    void EntryRenamed(int slot, std::string_view oldName, std::string_view newName);
    // The walk of a Delete holding folders is done: the plan waits for the user's answer.
    void DeletePlanReady(std::shared_ptr<DeletePlan> plan);
    // The walk of a Get or a Put holding folders is done: the plan waits for AnswerTransferPlan.
    void TransferPlanReady(std::shared_ptr<TransferPlan> plan);

    // --- What the user does ---
    // Forgets the current directory's cached copy and asks the server to list it again.
    void Refresh();
    // A double-click with `selectedRows` selected: opens the one directory or link.
    void OpenSelection(const std::vector<int>& selectedRows);
    // Enter in the directory field, or an item picked from the cache list.
    void ChangeDirectory(std::string_view path);
    void UpOneLevel();
    // "&Delete" or the Delete key: one Delete request for the rows' slots, without asking, when they are
    // all files and links; with folders among them, a walk of their trees whose plan is asked about.
    void DeleteRows(const std::vector<int>& selectedRows);
    // The question for the plan waiting ("Delete 3 folders holding 1,234 files?"); empty without one.
    std::string DeleteQuestion() const;
    // The user's answer to DeleteQuestion: Yes queues the removal, No drops the plan.
    void AnswerDeletePlan(bool yes);
    // Asks about the waiting plan's targets that exist (at most once with an answer for all), then makes
    // its files rows (skipped ones end Skipped) and queues the Get or the Put with its folders. Returns
    // true when a request was queued; what the walk left out is shown on the failure line.
    bool AnswerTransferPlan(DownloadChoices& choices);
    // "New folder" with the name typed (UTF-8): MKD in the current directory. False, with the reason on
    // the failure line, for a name that cannot be one.
    bool MakeFolder(std::string_view name);
    // The name of row `row` edited in place: RNFR/RNTO. False, with the reason on the failure line, for a
    // name that cannot be one; the row keeps its name until the server agreed.
    bool RenameRow(int row, std::string_view newName);
    // Why `name` cannot name an entry of a folder, or empty when it can.
    static std::string NameProblem(std::string_view name);
    void Logoff();
    // Escape: the session stops its running transfer and empties its queue (nothing while not connected).
    void Abort();
    // Get for `selectedRows` with transfer type `mode`: asks for the folder (opening on the last one). A
    // selection holding folders or links is walked on the server first (TransferPlanReady follows);
    // otherwise asks the conflict question about each local file that exists (Resume offered for a binary
    // file shorter than the listed one when rows are kept; an answer for all asked once). A skipped file
    // becomes a Skipped row and its row is handed to `deselect`; a renamed one is written to a free name
    // beside. Queues at most one Get request; returns true when it did.
    bool GetFilesAs(const std::vector<int>& selectedRows, int mode, DownloadChoices& choices,
                    const std::function<void(int row)>& deselect);
    // Local files dropped on the list: one Put request with type `mode`. With folders among them (and
    // transfer rows), the local trees are walked first and TransferPlanReady follows; without transfer
    // rows folders are left out with a log line. Returns true when a request was queued. With `choices`
    // (and rows kept), a file whose name the listing shows asks the conflict question, as a download's.
    bool PutFiles(const std::vector<std::string>& localPaths, int mode, DownloadChoices* choices = nullptr);
    // The folder the last download went to (empty before the first); kept across sessions.
    const std::string& DownloadFolder() const { return downloadFolder_; }
    // A click on column `column`'s header: sorts by it, alternating the direction per column.
    void SortByColumn(int column);
    // "Arrange Icons": sorts ascending by `mode` (1 name, 2 size, 3 date), leaving the alternation alone.
    void Arrange(int mode);
    // Typing in the directory field.
    void SetDirectoryText(std::string_view text) { directoryText_ = text; }

    // --- What the widgets show ---
    bool Connected() const { return session_ != nullptr; }
    const std::shared_ptr<RemoteRequestQueue>& Session() const { return session_; }
    int RowCount() const { return static_cast<int>(rows_.size()); }
    // The slot of row `row`; the entry behind it.
    int SlotOfRow(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    const RemoteEntry& EntryOfRow(int row) const { return (*listing_)[SlotOfRow(row)]; }
    // The row that shows slot `slot`, or -1.
    int RowOfSlot(int slot) const;
    const std::string& DirectoryText() const { return directoryText_; }
    const std::string& CurrentDirectory() const { return currentDirectory_; }
    int UsedCount() const { return usedCount_; }
    int SortMode() const { return sortMode_; }
    int SortDirection(int column) const { return sortDirection_[static_cast<std::size_t>(column)]; }
    // The failure of the user's last action, or empty.
    const std::string& Failure() const { return failure_; }
    // The cached directories in the order of the directory list (sorted ignoring letter case).
    std::vector<std::string> CachedDirectories() const;
    // The plan of a Delete waiting for the user's answer, or null.
    const std::shared_ptr<DeletePlan>& PendingDeletePlan() const { return pendingDeletePlan_; }
    // The plan of a tree transfer waiting for AnswerTransferPlan, or null.
    const std::shared_ptr<TransferPlan>& PendingTransferPlan() const { return pendingTransferPlan_; }
    // The listing shown; shared so that whoever still resolves slot indexes in it keeps it alive.
    std::shared_ptr<const EntryArray> Listing() const { return listing_; }

  private:
    struct CacheItem {
        std::string path;
        std::shared_ptr<EntryArray> entries;
    };

    // Both ends of a session: no listing, no cache, no directory; a new session also resets the sort
    // alternation.
    void ResetSession(std::shared_ptr<RemoteRequestQueue> session, bool starting);
    void StartPendingListing();
    void ShowWholeListing();
    void AppendEntries(std::vector<RemoteEntry> entries);
    // The first cache item equal to `path` ignoring letter case, or end().
    std::vector<CacheItem>::iterator FindIgnoringCase(std::string_view path);
    void SetDirectoryTextAndTell(std::string_view text);
    void Enqueue(FtpRequestKind kind, std::string_view text = {});
    bool EnqueueWith(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject> object,
                     int value);
    // With transfer rows: the files become rows and one request names them.
    bool EnqueueTransfers(FtpRequestKind kind, std::string_view text, TransferDirection direction, int mode,
                          const std::vector<TransferItem>& files, std::vector<TransferFolder> folders = {});
    // Rows for the files the user chose to skip: they end Skipped at once.
    void SkipTransfers(TransferDirection direction, int mode, const std::vector<TransferItem>& files);
    static TransferItem ItemOfEntry(const RemoteEntry& entry, const std::string& folder,
                                    const std::string& localPath, bool resume);
    void SortRows();
    void ClearCache();
    // The user acts again: the last failure no longer answers what they did.
    void ClearFailure();

    LogView& log_;
    RemotePageObserver* observer_ = nullptr;
    RemotePageObserver silent_;
    // The server folder the rows are entries of, also while its listing is still arriving: the folder a
    // queue row names must be right after a reconnection too.
    const std::string& ShownDirectory() const { return pending_ ? pendingDirectory_ : currentDirectory_; }

    TransferRowSink* transferRows_ = nullptr;
    std::shared_ptr<RemoteRequestQueue> session_;
    std::shared_ptr<EntryArray> listing_;
    int usedCount_ = 0;
    std::vector<int> rows_;
    std::string currentDirectory_;
    // The directory field's text, and the directory a pending listing is for (the cache key).
    std::string directoryText_;
    std::string pendingDirectory_;
    // A listing is being filled (EnterDirectory found no cached copy and FinishListing has not come).
    bool pending_ = false;
    std::vector<CacheItem> cache_;
    std::string downloadFolder_;
    std::string failure_;
    std::shared_ptr<DeletePlan> pendingDeletePlan_;
    std::shared_ptr<TransferPlan> pendingTransferPlan_;
    int sortMode_ = 0;
    std::array<int, kColumns> sortDirection_{1, 1, 1, 1};
};
