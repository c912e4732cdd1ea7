#include "remote/RemotePageState.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <set>

#include "engine/DeletePlan.h"
#include "engine/TransferPlan.h"
#include "listing/ListingParser.h"
#include "listing/NameSorter.h"
#include "listing/RemoteName.h"
#include "remote/ConflictFacts.h"
#include "remote/ConflictResolver.h"
#include "remote/ListedNames.h"
#include "remote/TransferPlanResolver.h"
#include "views/LogView.h"

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// Byte order with ASCII letters folded to lower case: the order of the directory list.
bool LessIgnoringCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(LowerAscii(x)) < static_cast<unsigned char>(LowerAscii(y));
    });
}

std::string Thousands(int value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

// "1 folder", "1,234 files".
std::string Counted(int count, std::string_view one, std::string_view many) {
    return Thousands(count) + " " + std::string(count == 1 ? one : many);
}

}  // namespace

RemotePageState::RemotePageState(LogView& log)
    : log_(log), observer_(&silent_), listing_(std::make_shared<EntryArray>()) {}

void RemotePageState::SetObserver(RemotePageObserver* observer) {
    observer_ = observer != nullptr ? observer : &silent_;
}

void RemotePageState::ResetForSession(std::shared_ptr<RemoteRequestQueue> session) {
    ResetSession(std::move(session), true);
}

void RemotePageState::ResetAfterSession() {
    ResetSession(nullptr, false);
}

void RemotePageState::ResetSession(std::shared_ptr<RemoteRequestQueue> session, bool starting) {
    pendingDeletePlan_.reset();
    pendingTransferPlan_.reset();
    observer_->RowsAboutToBeReset();
    SetDirectoryTextAndTell({});
    ClearCache();
    StartPendingListing();
    pending_ = false;
    currentDirectory_.clear();
    if (starting) {
        sortDirection_ = {1, 1, 1, 1};
        ClearFailure();
    }
    session_ = std::move(session);
    observer_->RowsReset();
    observer_->SessionChanged(starting);
}

bool RemotePageState::EnterDirectory(std::string_view path) {
    observer_->RowsAboutToBeReset();
    SetDirectoryTextAndTell(path);
    const auto cached = std::find_if(cache_.begin(), cache_.end(),
                                     [path](const CacheItem& item) { return item.path == path; });
    if (cached != cache_.end()) {
        currentDirectory_ = path;
        listing_ = cached->entries;
        pending_ = false;
        ShowWholeListing();
        return true;
    }
    StartPendingListing();
    pending_ = true;
    pendingDirectory_ = path;
    observer_->RowsReset();
    return false;
}

void RemotePageState::AddListingLine(std::string_view line) {
    if (!pending_) {
        return;
    }
    std::optional<RemoteEntry> entry = ListingParser::Parse(line);
    if (!entry) {
        return;
    }
    std::vector<RemoteEntry> entries;
    entries.push_back(std::move(*entry));
    AppendEntries(std::move(entries));
}

void RemotePageState::AddListingLines(const std::vector<std::string>& lines) {
    if (pending_) {
        AppendEntries(EntriesFromLines(lines));
    }
}

std::vector<RemoteEntry> RemotePageState::EntriesFromLines(const std::vector<std::string>& lines) {
    std::vector<RemoteEntry> entries;
    entries.reserve(lines.size());
    for (const std::string& line : lines) {
        if (std::optional<RemoteEntry> entry = ListingParser::Parse(line)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

void RemotePageState::AddListingEntries(std::vector<RemoteEntry> entries) {
    if (pending_) {
        AppendEntries(std::move(entries));
    }
}

void RemotePageState::FinishListing(bool complete) {
    if (!pending_) {
        return;  // no listing was started: nothing to keep or to fall back from
    }
    pending_ = false;
    if (complete) {
        listing_->Trim(usedCount_);
        // Keyed by the directory the server named, not by whatever the field holds by now.
        currentDirectory_ = pendingDirectory_;
        const auto same = std::find_if(cache_.begin(), cache_.end(), [this](const CacheItem& item) {
            return item.path == currentDirectory_;
        });
        if (same != cache_.end()) {
            same->entries = listing_;
        } else {
            const auto place = std::upper_bound(cache_.begin(), cache_.end(), currentDirectory_,
                                                [](const std::string& path, const CacheItem& item) {
                                                    return LessIgnoringCase(path, item.path);
                                                });
            cache_.insert(place, CacheItem{currentDirectory_, listing_});
        }
        observer_->CacheChanged();
        log_.LogMessage("... cached a copy of " + currentDirectory_);
        return;
    }
    // Aborted: the partial rows go, and the previous directory comes back.
    observer_->RowsAboutToBeReset();
    SetDirectoryTextAndTell(currentDirectory_);
    StartPendingListing();
    if (currentDirectory_.empty()) {
        observer_->RowsReset();
        return;
    }
    Enqueue(FtpRequestKind::ChangeDir, currentDirectory_);
    const auto cached = FindIgnoringCase(currentDirectory_);
    if (cached != cache_.end()) {
        listing_ = cached->entries;
        ShowWholeListing();
    } else {
        observer_->RowsReset();
    }
}

RemoteEntry RemotePageState::EntryAt(int index) const {
    return listing_->At(index);
}

void RemotePageState::RemoveEntry(int index) {
    const int row = RowOfSlot(index);
    if (row >= 0) {
        observer_->RowAboutToBeRemoved(row);
        rows_.erase(rows_.begin() + row);
        observer_->RowRemoved(row);
    }
    listing_->MakeBlank(index);
}

void RemotePageState::UploadedFile(std::string_view name, std::int64_t size, std::int32_t modifiedTime) {
    for (int row = 0; row < RowCount(); ++row) {
        if (EqualIgnoringCase(EntryOfRow(row).Name(), name)) {
            RemoteEntry entry = EntryOfRow(row);
            entry.SetSizeAndTime(size, modifiedTime);
            listing_->Set(SlotOfRow(row), entry);
            observer_->RowChanged(row);
            return;
        }
    }
    std::vector<RemoteEntry> entries;
    entries.emplace_back(std::string(name), size, modifiedTime);
    AppendEntries(std::move(entries));
}

void RemotePageState::ShowFailure(std::string_view reason) {
    failure_ = reason;
    observer_->FailureChanged(failure_);
}

void RemotePageState::ClearFailure() {
    if (!failure_.empty()) {
        ShowFailure({});
    }
}

void RemotePageState::Refresh() {
    if (!Connected() || currentDirectory_.empty()) {
        return;
    }
    ClearFailure();
    const auto cached = FindIgnoringCase(currentDirectory_);
    if (cached != cache_.end()) {
        log_.LogMessage("... flushing cached copy of " + currentDirectory_);
        // The rows stay until the new listing comes: the array lives on in listing_ (and in any request
        // that still resolves its slots), only the cache lets go of it.
        cache_.erase(cached);
        observer_->CacheChanged();
    }
    Enqueue(FtpRequestKind::ChangeDir);
}

void RemotePageState::OpenSelection(const std::vector<int>& selectedRows) {
    if (selectedRows.size() != 1 || selectedRows[0] < 0 || selectedRows[0] >= RowCount()) {
        return;
    }
    const RemoteEntry& entry = EntryOfRow(selectedRows[0]);
    if (entry.Kind() == EntryKind::Directory || entry.Kind() == EntryKind::Link) {
        ClearFailure();
        Enqueue(FtpRequestKind::ChangeDir, entry.TargetPath());
    }
}

void RemotePageState::ChangeDirectory(std::string_view path) {
    if (!path.empty() && Connected()) {
        ClearFailure();
        Enqueue(FtpRequestKind::ChangeDir, path);
    }
}

void RemotePageState::UpOneLevel() {
    if (Connected()) {
        ClearFailure();
    }
    Enqueue(FtpRequestKind::UpOneLevel);
}

void RemotePageState::DeleteRows(const std::vector<int>& selectedRows) {
    if (!Connected() || selectedRows.empty()) {
        return;
    }
    ClearFailure();
    const bool folders = std::any_of(selectedRows.begin(), selectedRows.end(), [this](int row) {
        return row >= 0 && row < RowCount() && EntryOfRow(row).Kind() == EntryKind::Directory;
    });
    if (folders && !currentDirectory_.empty()) {
        // Names and slots as chosen now: the walk runs while the user may look elsewhere.
        auto selection = std::make_unique<FolderSelection>();
        selection->folder = currentDirectory_;
        for (const int row : selectedRows) {
            if (row >= 0 && row < RowCount()) {
                const RemoteEntry& entry = EntryOfRow(row);
                selection->entries.push_back(
                    {SlotOfRow(row), entry.Name(), entry.Kind() == EntryKind::Directory});
            }
        }
        pendingDeletePlan_.reset();
        EnqueueWith(FtpRequestKind::WalkTrees, {}, std::move(selection), 0);
        return;
    }
    auto selection = std::make_unique<SelectionIndexes>();
    for (const int row : selectedRows) {
        selection->indexes.push_back(SlotOfRow(row));
    }
    EnqueueWith(FtpRequestKind::Delete, {}, std::move(selection), 0);
}

std::string RemotePageState::DeleteQuestion() const {
    if (pendingDeletePlan_ == nullptr) {
        return {};
    }
    const DeletePlan& plan = *pendingDeletePlan_;
    std::string question = "Delete " + Counted(plan.selectedFolders, "folder", "folders") + " holding " +
                           Counted(plan.filesBelow, "file", "files");
    if (plan.selectedFiles > 0) {
        question += ", and " + Counted(plan.selectedFiles, "other file", "other files");
    }
    question += "?";
    if (plan.unreadFolders > 0) {
        question += " " + Counted(plan.unreadFolders, "folder", "folders") +
                    " in them could not be looked into and will stay.";
    }
    return question;
}

void RemotePageState::AnswerDeletePlan(bool yes) {
    std::shared_ptr<DeletePlan> plan = std::move(pendingDeletePlan_);
    if (plan == nullptr) {
        return;
    }
    if (!yes) {
        log_.LogMessage("... Delete cancelled: nothing was deleted");
        return;
    }
    // The worker gets a plan of its own; the page keeps nothing of it.
    EnqueueWith(FtpRequestKind::RemoveTrees, {}, std::make_unique<DeletePlan>(std::move(*plan)), 0);
}

std::string RemotePageState::NameProblem(std::string_view name) {
    if (name.empty()) {
        return "a name cannot be empty";
    }
    if (name == "." || name == "..") {
        return "\"" + std::string(name) + "\" names the folder itself or its parent";
    }
    if (name.find('/') != std::string_view::npos) {
        return "a name cannot hold '/'";
    }
    if (std::any_of(name.begin(), name.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7f;
        })) {
        return "a name cannot hold control characters";
    }
    return {};
}

bool RemotePageState::MakeFolder(std::string_view name) {
    if (!Connected()) {
        return false;
    }
    ClearFailure();
    if (const std::string problem = NameProblem(name); !problem.empty()) {
        ShowFailure("Could not make the folder: " + problem);
        log_.LogMessage("... New folder refused: " + problem);
        return false;
    }
    std::unique_ptr<FtpRequestObject> none;
    return session_->Enqueue(FtpRequestKind::MakeFolder, name, none, 0);
}

bool RemotePageState::RenameRow(int row, std::string_view newName) {
    if (!Connected() || row < 0 || row >= RowCount()) {
        return false;
    }
    ClearFailure();
    const RemoteEntry& entry = EntryOfRow(row);
    if (newName == entry.Name()) {
        return false;  // nothing changed: nothing to ask
    }
    if (const std::string problem = NameProblem(newName); !problem.empty()) {
        ShowFailure("Could not rename " + entry.Name() + ": " + problem);
        log_.LogMessage("... Rename refused: " + problem);
        return false;
    }
    return EnqueueWith(FtpRequestKind::Rename, {},
                       std::make_unique<RenameNames>(SlotOfRow(row), entry.Name(), std::string(newName)), 0);
}

void RemotePageState::FolderMade(std::string_view name) {
    if (pending_ || currentDirectory_.empty()) {
        return;  // a listing on its way shows it
    }
    for (int row = 0; row < RowCount(); ++row) {
        if (EntryOfRow(row).Name() == name) {
            return;
        }
    }
    ListedFacts facts;
    facts.name = name;
    facts.kind = EntryKind::Directory;
    std::vector<RemoteEntry> entries;
    entries.push_back(RemoteEntry::FromFacts(facts, std::time(nullptr)));
    AppendEntries(std::move(entries));
}

void RemotePageState::EntryRenamed(int slot, std::string_view oldName, std::string_view newName) {
    if (slot < 0 || slot >= usedCount_ || (*listing_)[slot].Name() != oldName) {
        return;  // another listing is shown by now
    }
    RemoteEntry entry = (*listing_)[slot];
    const bool folder = entry.Kind() == EntryKind::Directory;
    entry.SetName(std::string(newName));
    listing_->Set(slot, std::move(entry));
    if (const int row = RowOfSlot(slot); row >= 0) {
        observer_->RowChanged(row);
    }
    if (folder) {
        // Cached copies of the old folder and below name paths that no longer exist.
        std::string old = currentDirectory_;
        if (old.empty() || old.back() != '/') {
            old += '/';
        }
        old += oldName;
        const auto size = cache_.size();
        std::erase_if(cache_, [&old](const CacheItem& item) {
            return item.path == old || (item.path.size() > old.size() && item.path.starts_with(old) &&
                                        item.path[old.size()] == '/');
        });
        if (cache_.size() != size) {
            observer_->CacheChanged();
        }
    }
}

void RemotePageState::DeletePlanReady(std::shared_ptr<DeletePlan> plan) {
    if (plan == nullptr || session_ == nullptr) {
        return;
    }
    pendingDeletePlan_ = std::move(plan);
    observer_->DeletePlanWaiting();
}

void RemotePageState::TransferPlanReady(std::shared_ptr<TransferPlan> plan) {
    if (plan == nullptr || session_ == nullptr || plan->stopped) {
        return;
    }
    pendingTransferPlan_ = std::move(plan);
    observer_->TransferPlanWaiting();
}

bool RemotePageState::AnswerTransferPlan(DownloadChoices& choices) {
    const std::shared_ptr<TransferPlan> plan = std::move(pendingTransferPlan_);
    if (plan == nullptr || !Connected() || transferRows_ == nullptr) {
        return false;
    }
    const char* what = plan->upload ? "Upload" : "Download";
    if (!plan->problems.empty()) {
        std::string shown = plan->problems.front();
        if (plan->problems.size() > 1) {
            shown += " (and " + Thousands(static_cast<int>(plan->problems.size()) - 1) +
                     " more: see the Log page)";
        }
        ShowFailure(shown);
    }
    TransferPlanResolver::Result resolved = TransferPlanResolver::Resolve(*plan, choices);
    if (resolved.cancelled) {
        log_.LogMessage(std::string("... ") + what + " cancelled: nothing was queued");
        return false;
    }
    const TransferDirection direction =
        plan->upload ? TransferDirection::Upload : TransferDirection::Download;
    const bool queued =
        (!resolved.files.empty() || !plan->folders.empty()) &&
        EnqueueTransfers(plan->upload ? FtpRequestKind::Put : FtpRequestKind::Get,
                         plan->upload ? std::string_view() : std::string_view(plan->localFolder), direction,
                         plan->type, resolved.files, std::move(plan->folders));
    SkipTransfers(direction, plan->type, resolved.skipped);
    return queued;
}

void RemotePageState::Logoff() {
    if (Connected()) {
        ClearFailure();
    }
    Enqueue(FtpRequestKind::Logoff);
}

void RemotePageState::Abort() {
    if (session_ != nullptr) {
        ClearFailure();  // what the abort stopped, if anything, is reported in its place
        session_->Abort();
    }
}

bool RemotePageState::GetFilesAs(const std::vector<int>& selectedRows, int mode, DownloadChoices& choices,
                                 const std::function<void(int row)>& deselect) {
    if (!Connected() || selectedRows.empty()) {
        return false;
    }
    // Slots and names are taken before the first question: while a dialog is open the worker may show
    // another listing, and the rows would then name other entries.
    struct Chosen {
        int row;
        int slot;
        std::string localName;
        RemoteEntry entry;
    };
    std::vector<Chosen> chosen;
    for (const int row : selectedRows) {
        if (row >= 0 && row < RowCount()) {
            chosen.push_back({row, SlotOfRow(row), RemoteName::LocalFileName(EntryOfRow(row).LocalName()),
                              EntryOfRow(row)});
        }
    }
    const std::string remoteFolder = ShownDirectory();
    const std::optional<std::string> folder = choices.ChooseFolder(downloadFolder_);
    if (!folder) {
        return false;
    }
    downloadFolder_ = *folder;
    const bool trees = std::any_of(chosen.begin(), chosen.end(), [](const Chosen& c) {
        return c.entry.Kind() == EntryKind::Directory || c.entry.Kind() == EntryKind::Link;
    });
    if (trees && transferRows_ != nullptr && !remoteFolder.empty()) {
        // Whether a link is a folder, and what the folders hold, only the server can tell: the walk asks
        // it, and the conflicts are asked about once its plan is back.
        auto selection = std::make_unique<FolderSelection>();
        selection->folder = remoteFolder;
        for (const Chosen& c : chosen) {
            selection->entries.push_back({c.slot, c.entry.Name(), c.entry.Kind() == EntryKind::Directory,
                                          c.entry.Kind() == EntryKind::Link});
        }
        ClearFailure();
        pendingTransferPlan_.reset();
        return EnqueueWith(FtpRequestKind::WalkDownload, *folder, std::move(selection), mode);
    }
    // The same joining as the engine's, so that the question is about the file it will write.
    std::string prefix = *folder;
    if (!prefix.empty() && prefix.back() != '/') {
        prefix += '/';
    }
    auto selection = std::make_unique<SelectionIndexes>();
    std::vector<TransferItem> files;
    std::vector<TransferItem> skippedFiles;
    std::string refused;
    ConflictResolver resolver(choices);
    // A renamed file takes no name that exists here, nor one the selection writes.
    std::set<std::string> written;
    for (const Chosen& chosenEntry : chosen) {
        written.insert(chosenEntry.localName);
    }
    const auto taken = [&prefix, &written](std::string_view name) {
        struct stat info {};
        return written.count(std::string(name)) > 0 ||
               ::lstat((prefix + std::string(name)).c_str(), &info) == 0;
    };
    for (const Chosen& chosenEntry : chosen) {
        std::string localPath = prefix + chosenEntry.localName;
        bool resume = false;
        // A name the engine refuses (from a hostile listing) names no file here: the engine says why.
        if (IsSafeLocalName(chosenEntry.localName)) {
            struct stat info {};
            if (::lstat(localPath.c_str(), &info) == 0) {
                const bool file = S_ISREG(info.st_mode);
                // Only a binary copy shorter than the listed file can be continued where it stops.
                const bool canResume = transferRows_ != nullptr && mode == kImageType && file &&
                                       info.st_size < chosenEntry.entry.Size();
                const ConflictResolver::Decision decision = resolver.Resolve(
                    ConflictFacts::OfDownload(localPath, chosenEntry.entry, file ? info.st_size : -1,
                                              file ? info.st_mtime : -1, canResume),
                    chosenEntry.localName, taken);
                if (decision.outcome == ConflictResolver::Outcome::Cancel) {
                    return false;
                }
                // Without rows the request names the entries, so their local names cannot change.
                if (decision.outcome == ConflictResolver::Outcome::Skip ||
                    (decision.outcome == ConflictResolver::Outcome::Rename && transferRows_ == nullptr)) {
                    if (deselect) {
                        deselect(chosenEntry.row);
                    }
                    skippedFiles.push_back(ItemOfEntry(chosenEntry.entry, remoteFolder, localPath, false));
                    continue;
                }
                if (decision.outcome == ConflictResolver::Outcome::Rename) {
                    written.insert(decision.newName);
                    localPath = prefix + decision.newName;
                }
                resume = decision.outcome == ConflictResolver::Outcome::Resume;
            }
        }
        selection->indexes.push_back(chosenEntry.slot);
        if (transferRows_ == nullptr) {
            continue;
        }
        // A row names its local file itself: a name that would leave the folder (from a hostile listing)
        // becomes no row.
        if (!IsSafeLocalName(chosenEntry.localName)) {
            refused = "Refused local name \"" + RemoteName::DisplayText(chosenEntry.localName) +
                      "\": not a file name in the folder";
            log_.LogMessage("... " + refused);
            continue;
        }
        files.push_back(ItemOfEntry(chosenEntry.entry, remoteFolder, localPath, resume));
    }
    if (selection->indexes.empty()) {
        SkipTransfers(TransferDirection::Download, mode, skippedFiles);
        return false;
    }
    ClearFailure();
    if (transferRows_ != nullptr) {
        if (!refused.empty()) {
            ShowFailure(refused);
        }
        const bool queued =
            EnqueueTransfers(FtpRequestKind::Get, *folder, TransferDirection::Download, mode, files);
        SkipTransfers(TransferDirection::Download, mode, skippedFiles);
        return queued;
    }
    return EnqueueWith(FtpRequestKind::Get, *folder, std::move(selection), mode);
}

TransferItem RemotePageState::ItemOfEntry(const RemoteEntry& entry, const std::string& folder,
                                          const std::string& localPath, bool resume) {
    TransferItem item;
    item.localPath = localPath;
    item.size = entry.Size();
    item.time = entry.Time();
    item.exactTime = entry.ExactTime();
    item.resume = resume;
    item.remoteFolder = folder;
    item.remoteName = entry.Name();
    if (entry.Kind() == EntryKind::Link) {
        // A link is fetched by its target, which may be in another folder.
        std::string target = entry.TargetPath();
        if (!target.starts_with('/')) {
            target = (folder.ends_with('/') ? folder : folder + "/") + target;
        }
        const std::size_t slash = target.rfind('/');
        item.remoteFolder = slash == 0 ? "/" : target.substr(0, slash);
        item.remoteName = target.substr(slash + 1);
    }
    return item;
}

bool RemotePageState::EnqueueTransfers(FtpRequestKind kind, std::string_view text,
                                       TransferDirection direction, int mode,
                                       const std::vector<TransferItem>& files,
                                       std::vector<TransferFolder> folders) {
    if (files.empty() && folders.empty()) {
        return false;
    }
    std::unique_ptr<TransferItems> items =
        transferRows_->AddTransfers(direction, session_->Site(), mode, files);
    items->folders = std::move(folders);
    std::unique_ptr<FtpRequestObject> object = std::move(items);
    if (session_->Enqueue(kind, text, object, mode)) {
        return true;
    }
    // The session is gone: the rows are not left waiting for a worker that will never come.
    if (auto* refused = dynamic_cast<TransferItems*>(object.get())) {
        transferRows_->NotEnqueued(*refused, "The session ended before the transfer could start");
    }
    return false;
}

bool RemotePageState::PutFiles(const std::vector<std::string>& localPaths, int mode,
                               DownloadChoices* choices) {
    if (!Connected()) {
        return false;
    }
    ClearFailure();
    const bool trees = std::any_of(localPaths.begin(), localPaths.end(), [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    });
    if (trees && transferRows_ != nullptr && !ShownDirectory().empty()) {
        // The local trees are walked, and the server folders that exist looked into, off this thread.
        pendingTransferPlan_.reset();
        return EnqueueWith(FtpRequestKind::WalkUpload, ShownDirectory(),
                           std::make_unique<DroppedFiles>(localPaths), mode);
    }
    auto dropped = std::make_unique<DroppedFiles>();
    std::vector<TransferItem> files;
    std::vector<TransferItem> skippedFiles;
    // Taken before the first question: while a dialog is open the worker may show another folder.
    const std::string remoteFolder = ShownDirectory();
    std::vector<std::string> names;
    for (const std::string& path : localPaths) {
        names.push_back(path.substr(path.rfind('/') + 1));
    }
    ListedNames listed(Listing(), usedCount_, names);
    std::optional<ConflictResolver> resolver;
    // Without rows the request names the dropped paths: no other name, no resume, no skipped row.
    if (choices != nullptr && transferRows_ != nullptr) {
        resolver.emplace(*choices);
    }
    for (const std::string& path : localPaths) {
        struct stat info {};
        const bool found = ::stat(path.c_str(), &info) == 0;
        if (found && S_ISDIR(info.st_mode)) {
            const std::string skipped = "Skipped " + path + ": a folder cannot be stored as a file";
            log_.LogMessage("... " + skipped);
            ShowFailure(skipped);
            continue;
        }
        TransferItem item;
        item.localPath = path;
        item.remoteFolder = remoteFolder;
        const std::size_t slash = path.rfind('/');
        item.remoteName = slash == std::string::npos ? path : path.substr(slash + 1);
        item.size = found ? static_cast<std::int64_t>(info.st_size) : -1;
        item.time = found ? static_cast<std::int32_t>(info.st_mtime) : -1;
        if (const std::optional<RemoteEntry> existing =
                resolver ? listed.Find(item.remoteName) : std::nullopt) {
            // Only a binary file the server holds less of can be continued where it stops.
            const std::int64_t held = ConflictFacts::ListedSize(*existing);
            const bool canResume =
                mode == kImageType && existing->Kind() == EntryKind::File && held >= 0 && held < item.size;
            const ConflictResolver::Decision decision = resolver->Resolve(
                ConflictFacts::OfUpload(remoteFolder, *existing, item.size, item.time, canResume),
                item.remoteName, [&listed](std::string_view name) { return listed.Taken(name); });
            if (decision.outcome == ConflictResolver::Outcome::Cancel) {
                return false;
            }
            if (decision.outcome == ConflictResolver::Outcome::Skip) {
                skippedFiles.push_back(std::move(item));
                continue;
            }
            if (decision.outcome == ConflictResolver::Outcome::Rename) {
                listed.Take(decision.newName);
                item.remoteName = decision.newName;
            }
            item.resume = decision.outcome == ConflictResolver::Outcome::Resume;
        }
        dropped->paths.push_back(path);
        files.push_back(std::move(item));
    }
    if (dropped->paths.empty()) {
        SkipTransfers(TransferDirection::Upload, mode, skippedFiles);
        return false;
    }
    if (transferRows_ != nullptr) {
        const bool queued = EnqueueTransfers(FtpRequestKind::Put, {}, TransferDirection::Upload, mode, files);
        SkipTransfers(TransferDirection::Upload, mode, skippedFiles);
        return queued;
    }
    return EnqueueWith(FtpRequestKind::Put, {}, std::move(dropped), mode);
}

void RemotePageState::SkipTransfers(TransferDirection direction, int mode,
                                    const std::vector<TransferItem>& files) {
    if (files.empty() || transferRows_ == nullptr || session_ == nullptr) {
        return;
    }
    const std::unique_ptr<TransferItems> items =
        transferRows_->AddTransfers(direction, session_->Site(), mode, files);
    transferRows_->SkipRows(*items, "the file exists");
}

void RemotePageState::SortByColumn(int column) {
    if (column < 0 || column >= kColumns) {
        return;
    }
    int& direction = sortDirection_[static_cast<std::size_t>(column)];
    sortMode_ = (column + 1) * direction;
    direction = -direction;
    SortRows();
}

void RemotePageState::Arrange(int mode) {
    sortMode_ = mode;
    SortRows();
}

int RemotePageState::RowOfSlot(int slot) const {
    const auto found = std::find(rows_.begin(), rows_.end(), slot);
    return found == rows_.end() ? -1 : static_cast<int>(found - rows_.begin());
}

std::vector<std::string> RemotePageState::CachedDirectories() const {
    std::vector<std::string> paths;
    paths.reserve(cache_.size());
    for (const CacheItem& item : cache_) {
        paths.push_back(item.path);
    }
    return paths;
}

void RemotePageState::StartPendingListing() {
    listing_ = std::make_shared<EntryArray>();
    usedCount_ = 0;
    rows_.clear();
}

void RemotePageState::ShowWholeListing() {
    usedCount_ = listing_->Count();
    rows_.clear();
    rows_.reserve(static_cast<std::size_t>(usedCount_));
    for (int slot = 0; slot < usedCount_; ++slot) {
        if (!(*listing_)[slot].IsBlank()) {
            rows_.push_back(slot);
        }
    }
    observer_->RowsReset();
}

void RemotePageState::AppendEntries(std::vector<RemoteEntry> entries) {
    if (entries.empty()) {
        return;
    }
    const int first = RowCount();
    const int count = static_cast<int>(entries.size());
    observer_->RowsAboutToBeAppended(first, count);
    for (RemoteEntry& entry : entries) {
        listing_->Set(usedCount_, std::move(entry));
        rows_.push_back(usedCount_);
        ++usedCount_;
    }
    observer_->RowsAppended(first, count);
}

std::vector<RemotePageState::CacheItem>::iterator RemotePageState::FindIgnoringCase(std::string_view path) {
    return std::find_if(cache_.begin(), cache_.end(),
                        [path](const CacheItem& item) { return EqualIgnoringCase(item.path, path); });
}

void RemotePageState::SetDirectoryTextAndTell(std::string_view text) {
    directoryText_ = text;
    observer_->DirectoryTextChanged(directoryText_);
}

void RemotePageState::Enqueue(FtpRequestKind kind, std::string_view text) {
    if (session_ == nullptr) {
        return;
    }
    std::unique_ptr<FtpRequestObject> none;
    session_->Enqueue(kind, text, none, 0);
}

bool RemotePageState::EnqueueWith(FtpRequestKind kind, std::string_view text,
                                  std::unique_ptr<FtpRequestObject> object, int value) {
    if (session_ == nullptr) {
        return false;
    }
    return session_->Enqueue(kind, text, object, value);
}

void RemotePageState::SortRows() {
    observer_->RowsAboutToBeReordered();
    const EntryArray& entries = *listing_;
    const int mode = sortMode_;
    if (mode == 2 || mode == -2 || mode == 3 || mode == -3) {
        // Sizes and times are numbers: sorting them beside their slots, in one small array, gives the
        // order CompareEntries gives without visiting 100,000 scattered entries at every comparison.
        std::vector<std::pair<std::int64_t, int>> keyed;
        keyed.reserve(rows_.size());
        for (const int slot : rows_) {
            const RemoteEntry& entry = entries[slot];
            keyed.emplace_back(mode == 2 || mode == -2 ? entry.Size() : entry.Time(), slot);
        }
        if (mode > 0) {
            std::stable_sort(keyed.begin(), keyed.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        } else {
            std::stable_sort(keyed.begin(), keyed.end(),
                             [](const auto& a, const auto& b) { return b.first < a.first; });
        }
        for (std::size_t row = 0; row < keyed.size(); ++row) {
            rows_[row] = keyed[row].second;
        }
    } else if (mode == 1 || mode == -1) {
        NameSorter::Sort(rows_, entries, mode < 0);
    }
    observer_->RowsReordered();
}

void RemotePageState::ClearCache() {
    if (!cache_.empty()) {
        cache_.clear();
        observer_->CacheChanged();
    }
}
