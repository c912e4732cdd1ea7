#include "sftp/SftpTreeWalk.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/FtpFolderCommands.h"
#include "engine/FtpRequest.h"
#include "engine/LocalTreeWalk.h"
#include "engine/PrintableText.h"
#include "engine/TransferPlan.h"
#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"

namespace {

std::string JoinLocal(const std::string& folder, const std::string& name) {
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// 0, negative and out-of-range times are no time.
std::int32_t KnownTime(std::int64_t time) {
    return time > 0 && time <= std::numeric_limits<std::int32_t>::max() ? static_cast<std::int32_t>(time)
                                                                        : -1;
}

// Adds the folders and files of the server's trees to a download plan, parents first.
class DownloadWalker {
  public:
    DownloadWalker(SftpContext& context, TransferPlan& plan) : context_(context), plan_(plan) {}

    // The folder at `path`, shown as `shown`, into the local folder `local`. False when the walk must
    // stop (Escape, or a lost connection: Lost()).
    bool AddFolder(const std::string& path, const std::string& shown, const std::string& local, int depth,
                   std::int64_t time) {
        if (context_.AbortRequested()) {
            return false;
        }
        if (depth > TransferPlan::kMaxDepth) {
            Problem("deeper than " + std::to_string(TransferPlan::kMaxDepth) +
                    " folders: " + Printable(shown) + " is not entered");
            return true;
        }
        if (!entered_.insert(path).second) {
            Problem(Printable(shown) + " leads to " + Printable(path) +
                    ", reached already: not entered again");
            return true;
        }
        context_.Status().SetStatus("LISTing " + path);
        SftpListing listing = context_.Client().List(path);
        if (!listing.result) {
            if (Ended(listing.result)) {
                return false;
            }
            Problem("Could not list " + Printable(shown) + ": " + listing.result.reason);
            return true;
        }
        if (listing.refusedNames > 0) {
            // Each was logged by name as it came.
            Problem("Refused " + std::to_string(listing.refusedNames) + " listed name" +
                    (listing.refusedNames == 1 ? "" : "s") + " in " + Printable(shown) +
                    ": not a plain name");
        }
        // Made even when empty; one that could not be listed is not made at all.
        plan_.folders.push_back({local, KnownTime(time)});
        // The queue's order does not depend on the server's.
        std::sort(listing.entries.begin(), listing.entries.end(),
                  [](const SftpEntry& a, const SftpEntry& b) { return a.name < b.name; });
        for (const SftpEntry& entry : listing.entries) {
            const std::string childPath = FtpFolderCommands::JoinPath(path, entry.name);
            const std::string childShown = shown + "/" + entry.name;
            const std::string childLocal = JoinLocal(local, RemoteName::LocalFileName(entry.name));
            bool goOn = true;
            switch (entry.kind) {
                case SftpEntryKind::Folder:
                    goOn = AddFolder(childPath, childShown, childLocal, depth + 1, entry.mtime);
                    break;
                case SftpEntryKind::Link:
                    goOn = AddLink(path, entry.name, childShown, childLocal, depth + 1);
                    break;
                case SftpEntryKind::File:
                    AddFile(path, entry.name, childLocal, &entry);
                    break;
                case SftpEntryKind::Other:
                    Problem("Skipped " + Printable(childShown) + ": neither a file nor a folder");
                    break;
            }
            if (!goOn) {
                return false;
            }
        }
        return true;
    }

    // A link named `name` in `folder`: what it leads to decides. A folder is entered by its resolved
    // path, so a loop ends where it comes back; anything else is a file the server follows on open.
    bool AddLink(const std::string& folder, const std::string& name, const std::string& shown,
                 const std::string& local, int depth) {
        if (context_.AbortRequested()) {
            return false;
        }
        const std::string path = FtpFolderCommands::JoinPath(folder, name);
        const SftpStat target = context_.Client().Stat(path);
        if (!target.result) {
            if (Ended(target.result)) {
                return false;
            }
            // A broken link: its row fails with the server's reason.
            AddFile(folder, name, local, nullptr);
            return true;
        }
        if (target.attributes.kind != SftpEntryKind::Folder) {
            AddFile(folder, name, local, &target.attributes);
            return true;
        }
        SshResult resolved;
        std::string real = context_.Client().RealPath(path, &resolved);
        if (!resolved) {
            if (Ended(resolved)) {
                return false;
            }
            // Entered by the path that reached it: the depth ends a loop all the same.
            real = path;
        }
        return AddFolder(real, shown, local, depth, target.attributes.mtime);
    }

    // A chosen folder: also known by its resolved path, so that a link back to it is not entered.
    bool AddChosenFolder(const std::string& path, const std::string& shown, const std::string& local,
                         std::int64_t time) {
        SshResult resolved;
        const std::string real = context_.Client().RealPath(path, &resolved);
        if (!resolved && Ended(resolved)) {
            return false;
        }
        if (resolved && real != path) {
            entered_.insert(real);
        }
        return AddFolder(path, shown, local, 1, time);
    }

    // A file; `attributes` give its size and time (none for a broken link).
    void AddFile(const std::string& folder, const std::string& name, const std::string& local,
                 const SftpEntry* attributes) {
        PlannedFile file;
        file.item.remoteFolder = folder;
        file.item.remoteName = name;
        file.item.localPath = local;
        if (attributes != nullptr && attributes->kind == SftpEntryKind::File) {
            file.item.size = attributes->size;
            file.item.time = KnownTime(attributes->mtime);
            file.item.exactTime = file.item.time > 0;
        }
        plan_.files.push_back(std::move(file));
    }

    void Problem(const std::string& text) {
        context_.Log().LogMessage("... " + text);
        plan_.problems.push_back(text);
    }

    // Why the walk ended early with the connection gone; empty while it lives.
    const std::string& Lost() const { return lost_; }

  private:
    // A failure that ends the walk: Escape, or the connection lost.
    bool Ended(const SshResult& result) {
        if (context_.ConnectionLost()) {
            lost_ = result.reason.empty() ? std::string("connection lost") : result.reason;
            return true;
        }
        return context_.AbortRequested();
    }

    SftpContext& context_;
    TransferPlan& plan_;
    // The server's paths of the folders entered (resolved ones for links).
    std::unordered_set<std::string> entered_;
    std::string lost_;
};

// Looks at the server folders of an upload plan that exist already: each is listed once, its names kept
// for free names, and the files planned into it learn what is at their target. A planned folder that
// does not exist is never listed, and is the only kind left to make.
class ServerFolders {
  public:
    ServerFolders(SftpContext& context, TransferPlan& plan) : context_(context), plan_(plan) {
        for (std::size_t i = 0; i < plan_.files.size(); ++i) {
            filesIn_[plan_.files[i].item.remoteFolder].push_back(i);
        }
        for (const TransferFolder& folder : plan_.folders) {
            foldersIn_[FtpUploadTrees::ParentOf(folder.path)].push_back(folder.path);
        }
    }

    // False when the connection was lost (`lost` says why). An Escape marks the plan stopped.
    bool Look(std::string& lost) {
        std::vector<std::string> pending{plan_.remoteFolder};
        while (!pending.empty()) {
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            std::vector<std::string> present;
            if (!List(folder, present, lost)) {
                return false;
            }
            if (plan_.stopped) {
                return true;
            }
            pending.insert(pending.end(), present.rbegin(), present.rend());
        }
        std::erase_if(plan_.folders,
                      [&](const TransferFolder& folder) { return listed_.count(folder.path) > 0; });
        return true;
    }

  private:
    bool List(const std::string& folder, std::vector<std::string>& present, std::string& lost) {
        const SftpListing listing = context_.Client().List(folder);
        if (!listing.result && context_.ConnectionLost()) {
            lost = listing.result.reason;
            return false;
        }
        if (context_.AbortRequested()) {
            plan_.stopped = true;
            return true;
        }
        if (!listing.result) {
            const std::string text = "Could not list the server folder " + Printable(folder) +
                                     " to compare: " + listing.result.reason;
            context_.Log().LogMessage("... " + text);
            plan_.problems.push_back(text);
            return true;
        }
        listed_.insert(folder);
        std::unordered_map<std::string, const SftpEntry*> byName;
        std::unordered_set<std::string>& names = plan_.remoteNames[folder];
        for (const SftpEntry& entry : listing.entries) {
            names.insert(entry.name);
            byName.emplace(entry.name, &entry);
        }
        for (const std::size_t index : filesIn_[folder]) {
            PlannedFile& file = plan_.files[index];
            if (const auto found = byName.find(file.item.remoteName); found != byName.end()) {
                file.targetExists = true;
                file.targetSize = found->second->size;
                file.targetTime = found->second->mtime;
            }
        }
        for (const std::string& child : foldersIn_[folder]) {
            const auto found = byName.find(BaseName(child));
            if (found != byName.end() && (found->second->kind == SftpEntryKind::Folder ||
                                          found->second->kind == SftpEntryKind::Link)) {
                present.push_back(child);
            }
        }
        return true;
    }

    SftpContext& context_;
    TransferPlan& plan_;
    std::unordered_map<std::string, std::vector<std::size_t>> filesIn_;
    std::unordered_map<std::string, std::vector<std::string>> foldersIn_;
    std::unordered_set<std::string> listed_;
};

}  // namespace

SftpOutcome SftpTreeWalk::WalkDownload(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* selection = dynamic_cast<const FolderSelection*>(owned.get());
    if (selection == nullptr || request.text.empty()) {
        return SftpOutcome::Done;
    }
    auto plan = std::make_shared<TransferPlan>();
    plan->type = request.value;
    plan->localFolder = request.text;
    plan->remoteFolder = selection->folder;
    context.Status().SetStatus("Looking into the folders ...");
    DownloadWalker walker(context, *plan);
    bool whole = true;
    for (const FolderSelection::Chosen& chosen : selection->entries) {
        if (!SftpClient::IsSafeName(chosen.name)) {
            walker.Problem("Refused the name \"" + Printable(chosen.name) + "\"");
            continue;
        }
        // The size and time the page listed, while it still shows that entry in that slot.
        const RemoteEntry shown = context.Remote().EntryAt(chosen.slot);
        const bool listed = !shown.IsBlank() && shown.Name() == chosen.name;
        const std::string local = JoinLocal(request.text, RemoteName::LocalFileName(chosen.name));
        const std::string path = FtpFolderCommands::JoinPath(selection->folder, chosen.name);
        bool goOn = true;
        if (chosen.link) {
            goOn = walker.AddLink(selection->folder, chosen.name, chosen.name, local, 1);
        } else if (chosen.folder) {
            goOn = walker.AddChosenFolder(path, chosen.name, local, listed ? shown.Time() : -1);
        } else {
            PlannedFile file;
            file.item.remoteFolder = selection->folder;
            file.item.remoteName = chosen.name;
            file.item.localPath = local;
            if (listed) {
                file.item.size = shown.Size();
                file.item.time = KnownTime(shown.Time());
                file.item.exactTime = shown.ExactTime();
            }
            plan->files.push_back(std::move(file));
        }
        if (!goOn) {
            whole = false;
            break;
        }
    }
    context.Status().SetStatus(std::nullopt);
    if (!walker.Lost().empty()) {
        context.Log().LogMessage("... Get stopped while looking into the folders: the connection was lost: " +
                                 walker.Lost());
        return SftpOutcome::Lost;
    }
    if (!whole) {
        plan->stopped = true;
        context.Log().LogMessage("... Get stopped while looking into the folders: nothing was queued");
    } else {
        context.Log().LogMessage("... " + std::to_string(plan->folders.size()) + " folders hold " +
                                 std::to_string(plan->files.size()) + " files to get" +
                                 (plan->problems.empty()
                                      ? std::string()
                                      : ", " + std::to_string(plan->problems.size()) + " left out"));
    }
    context.Remote().TransferPlanReady(std::move(plan));
    return whole ? SftpOutcome::Done : SftpOutcome::Failed;
}

SftpOutcome SftpTreeWalk::WalkUpload(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* dropped = dynamic_cast<const DroppedFiles*>(owned.get());
    if (dropped == nullptr) {
        return SftpOutcome::Done;
    }
    auto plan = std::make_shared<TransferPlan>();
    plan->upload = true;
    plan->type = request.value;
    plan->remoteFolder =
        WithoutTrailingSlashes(request.text.empty() ? context.CurrentFolder() : request.text);
    if (!dropped->paths.empty()) {
        plan->localFolder = FtpUploadTrees::ParentOf(WithoutTrailingSlashes(dropped->paths.front()));
    }
    context.Status().SetStatus("Looking into the folders ...");
    context.Log().LogMessage("Looking into the folders to upload into " + Printable(plan->remoteFolder));
    LocalTreeWalk walk(context.Log(), *plan, [&context] { return context.AbortRequested(); });
    for (const std::string& path : dropped->paths) {
        if (!walk.Add(path, plan->remoteFolder)) {
            break;
        }
    }
    std::string lost;
    const bool alive = plan->stopped || ServerFolders(context, *plan).Look(lost);
    context.Status().SetStatus(std::nullopt);
    if (!alive) {
        context.Log().LogMessage(
            "... Upload stopped while looking into the folders: the connection was lost: " + lost);
        return SftpOutcome::Lost;
    }
    if (plan->stopped) {
        context.Log().LogMessage("... Upload stopped while looking into the folders: nothing was sent");
    } else {
        context.Log().LogMessage("... " + std::to_string(plan->files.size()) + " files, " +
                                 std::to_string(plan->folders.size()) + " folders to make");
    }
    const bool stopped = plan->stopped;
    context.Remote().TransferPlanReady(std::move(plan));
    return stopped ? SftpOutcome::Failed : SftpOutcome::Done;
}

bool SftpTreeWalk::MakeFolders(SftpContext& context, const std::vector<TransferFolder>& folders,
                               FtpUploadTrees::FolderFailures& failed, std::string& lost) {
    const std::string shown = WithoutTrailingSlashes(context.CurrentFolder());
    for (const TransferFolder& folder : folders) {
        if (context.AbortRequested()) {
            break;
        }
        const std::string path = WithoutTrailingSlashes(folder.path);
        if (const std::string above = FtpUploadTrees::FolderFailure(failed, FtpUploadTrees::ParentOf(path));
            !above.empty()) {
            failed.emplace(path, above);
            continue;
        }
        const std::string name = BaseName(path);
        context.Status().SetStatus("MKDing " + name);
        context.Log().LogMessage("MKDing " + Printable(path));
        const SshResult made = context.Client().MakeFolder(path);
        context.Status().SetStatus(std::nullopt);
        if (made) {
            context.Log().LogMessage("... MKDed " + Printable(path));
            if (FtpUploadTrees::ParentOf(path) == shown) {
                context.Remote().FolderMade(name);
            }
            continue;
        }
        if (context.ConnectionLost()) {
            lost = made.reason;
            return false;
        }
        // Refused because it is there (made before, or since the walk looked) is no failure.
        const SftpStat there = context.Client().Stat(path);
        if (!there.result && context.ConnectionLost()) {
            lost = there.result.reason;
            return false;
        }
        if (there.result && there.attributes.kind == SftpEntryKind::Folder) {
            context.Log().LogMessage("... " + Printable(path) + " is there already");
            continue;
        }
        context.Log().LogMessage("... Unable to MKD " + Printable(path) + ": " + made.reason);
        failed.emplace(path, "the folder " + Printable(path) + " could not be made: " + made.reason);
    }
    return true;
}
