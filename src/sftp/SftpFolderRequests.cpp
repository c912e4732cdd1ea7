#include "sftp/SftpFolderRequests.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/DeletePlan.h"
#include "engine/PrintableText.h"
#include "listing/RemoteEntry.h"

namespace {

// Names of what stayed after a Delete, on the failure line; the rest are counted.
constexpr std::size_t kStayedNamesShown = 5;

std::string Join(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

// "/a/b" -> "/a", "/a" -> "/", "/" -> "/".
std::string Parent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return std::string(path);
    }
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

std::string Thousands(std::size_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

// SftpClient's reasons read "<operation>: <why>"; the page wants the why alone.
std::string Why(const SshResult& result, std::string_view operation) {
    const std::string prefix = std::string(operation) + ": ";
    if (result.reason.compare(0, prefix.size(), prefix) == 0) {
        return result.reason.substr(prefix.size());
    }
    return result.reason.empty() ? std::string("failed") : result.reason;
}

// A failed operation of the running request: Lost when the connection went with it; otherwise a log
// line and, unless the user stopped it, the failure on the Remote page.
SftpOutcome Fail(SftpContext& context, const std::string& what, const SshResult& result,
                 std::string_view operation) {
    if (context.ConnectionLost()) {
        return SftpOutcome::Lost;
    }
    const std::string why = Why(result, operation);
    context.LogFailure("... " + what + ": " + why, why);
    context.ShowFailure(what);
    return SftpOutcome::Failed;
}

std::string OpenFailure(std::string_view shown) {
    return shown == ".." ? std::string("Could not go up one level") : "Could not open " + Printable(shown);
}

// One entry as a machine listing line, which the Remote page's parser reads with the exact UTC time,
// the size and the kind: "type=file;size=5;modify=20200913122640;UNIX.mode=0640; five.txt". A link is
// listed without its target, so that it is entered and fetched by its own name.
std::string ListingLine(const SftpEntry& entry) {
    std::string line = "type=";
    switch (entry.kind) {
        case SftpEntryKind::Folder:
            line += "dir";
            break;
        case SftpEntryKind::Link:
            line += "OS.unix=symlink";
            break;
        case SftpEntryKind::File:
            line += "file";
            break;
        case SftpEntryKind::Other:
            line += "OS.unix=special";
            break;
    }
    line += ';';
    if (entry.size >= 0 && entry.kind != SftpEntryKind::Folder) {
        line += "size=" + std::to_string(entry.size) + ";";
    }
    if (entry.mtime >= 0) {
        const std::time_t seconds = static_cast<std::time_t>(entry.mtime);
        std::tm utc{};
        char stamp[32];
        if (::gmtime_r(&seconds, &utc) != nullptr &&
            std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &utc) > 0) {
            line += "modify=" + std::string(stamp) + ";";
        }
    }
    if (entry.permissions != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(entry.permissions & 07777));
        line += "UNIX.mode=" + std::string(mode) + ";";
    }
    line += ' ';
    line += entry.name;
    return line;
}

void LogRefusedNames(SftpContext& context, std::size_t refused, std::string_view folder) {
    if (refused > 0) {
        context.Log().LogMessage("... " + Thousands(refused) + " names in " + Printable(folder) +
                                 " left out: they are not plain names");
    }
}

// Lists `folder` (absolute, already entered by the page) onto the Remote page in one pass.
SftpOutcome ListForPage(SftpContext& context, const std::string& folder) {
    context.Status().SetStatus("LISTing " + folder);
    context.Log().LogMessage("LISTing " + Printable(folder));
    // Each batch the server answers goes to the page at once, as FTP's lines do.
    const SftpListing listing = context.Client().List(
        folder, [&context](const SftpEntry& entry) { context.Remote().AddListingLine(ListingLine(entry)); });
    context.Status().SetStatus(std::nullopt);
    if (!listing.result) {
        // The page goes back to what it showed before.
        context.Remote().FinishListing(false);
        return Fail(context, "Could not list " + Printable(folder), listing.result, "List " + folder);
    }
    LogRefusedNames(context, listing.refusedNames, folder);
    context.Remote().FinishListing(!context.AbortRequested());
    return SftpOutcome::Done;
}

// Enters the folder at `target` (any path the server resolves) and lists it, or shows why not.
SftpOutcome Enter(SftpContext& context, const std::string& target, std::string_view shown) {
    SftpClient& client = context.Client();
    context.Status().SetStatus("CD " + std::string(shown));
    SshResult resolved;
    const std::string folder = client.RealPath(target, &resolved);
    if (!resolved) {
        context.Status().SetStatus(std::nullopt);
        return Fail(context, OpenFailure(shown), resolved, "Resolve " + target);
    }
    const SftpStat stat = client.Stat(folder);
    context.Status().SetStatus(std::nullopt);
    if (!stat.result) {
        return Fail(context, OpenFailure(shown), stat.result, "Stat " + folder);
    }
    if (stat.attributes.kind != SftpEntryKind::Folder) {
        return Fail(context, OpenFailure(shown), SshResult::Failure("not a folder"), {});
    }
    context.SetCurrentFolder(folder);
    if (context.Remote().EnterDirectory(folder)) {
        context.Log().LogMessage("... using cached copy of " + Printable(folder));
        return SftpOutcome::Done;
    }
    return ListForPage(context, folder);
}

// Adds the steps of folder trees to a plan, depth first, each folder after everything in it. Links are
// steps of their own: never entered, removed as themselves.
class TreeWalker {
  public:
    TreeWalker(SftpContext& context, DeletePlan& plan) : context_(context), plan_(plan) {}

    // The folder at `path` and all below it; false when the walk must stop (abort, lost connection).
    bool AddFolder(const std::string& path, const std::string& shown, int depth, std::int32_t slot) {
        if (context_.AbortRequested()) {
            return false;
        }
        std::vector<std::size_t> children;
        bool keep = false;
        if (depth > DeletePlan::kMaxDepth) {
            context_.Log().LogMessage("... deeper than " + std::to_string(DeletePlan::kMaxDepth) +
                                      " folders: " + Printable(shown) + " is not entered and stays");
            keep = true;
        } else {
            context_.Status().SetStatus("LISTing " + shown);
            const SftpListing listing = context_.Client().List(path);
            context_.Status().SetStatus(std::nullopt);
            if (context_.ConnectionLost()) {
                lost_ = true;
                return false;
            }
            if (context_.AbortRequested()) {
                return false;
            }
            if (!listing.result) {
                context_.Log().LogMessage("... Could not list " + Printable(shown) +
                                          ", it stays: " + Why(listing.result, "List " + path));
                keep = true;
            } else {
                if (listing.refusedNames > 0) {
                    // What is left out cannot be removed, so the folder cannot become empty.
                    LogRefusedNames(context_, listing.refusedNames, shown);
                    keep = true;
                }
                for (const SftpEntry& entry : listing.entries) {
                    const std::string childPath = Join(path, entry.name);
                    const std::string childShown = shown + "/" + entry.name;
                    if (entry.kind == SftpEntryKind::Folder) {
                        if (!AddFolder(childPath, childShown, depth + 1, -1)) {
                            return false;
                        }
                    } else {
                        plan_.steps.push_back(
                            {childPath, childShown,
                             entry.kind == SftpEntryKind::Link ? EntryKind::Link : EntryKind::File, -1, -1,
                             false});
                        ++plan_.filesBelow;
                    }
                    children.push_back(plan_.steps.size() - 1);
                }
            }
        }
        plan_.AddFolderStep(path, shown, slot, keep, children);
        return true;
    }

    bool Lost() const { return lost_; }

  private:
    SftpContext& context_;
    DeletePlan& plan_;
    bool lost_ = false;
};

}  // namespace

namespace SftpFolderRequests {

SftpOutcome ChangeDirectory(SftpContext& context, std::string_view path, bool fallBackToParent) {
    std::string base = context.CurrentFolder();
    if (base.empty()) {
        // The login folder: where relative paths start before the first listing.
        SshResult resolved;
        base = context.Client().RealPath(".", &resolved);
        if (!resolved) {
            return Fail(context, "Could not read the current folder", resolved, "Resolve .");
        }
    }
    const std::string target = path.empty()          ? base
                               : path.front() == '/' ? std::string(path)
                                                     : Join(base, path);
    const SftpOutcome outcome = Enter(context, target, path.empty() ? std::string_view(base) : path);
    if (outcome != SftpOutcome::Failed || !fallBackToParent || context.AbortRequested()) {
        return outcome;
    }
    const std::string parent = Parent(target);
    if (parent == target) {
        return outcome;
    }
    return Enter(context, parent, parent);
}

SftpOutcome DeleteFiles(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* selection = dynamic_cast<const SelectionIndexes*>(owned.get());
    if (selection == nullptr) {
        return SftpOutcome::Done;
    }
    SftpOutcome outcome = SftpOutcome::Done;
    // Not stopped by an abort: every selected entry is tried, as the user chose them all.
    for (const std::int32_t index : selection->indexes) {
        const RemoteEntry entry = context.Remote().EntryAt(index);
        if (entry.IsBlank()) {
            continue;  // already deleted, or outside the current listing: nothing to name
        }
        const std::string& name = entry.Name();
        const std::string path = Join(context.CurrentFolder(), name);
        context.Status().SetStatus("DELETEing " + name);
        context.Log().LogMessage("DELETEing " + Printable(name));
        const bool folder = entry.Kind() == EntryKind::Directory;
        // A link is removed as itself, never what it leads to.
        const SshResult removed =
            folder ? context.Client().RemoveFolder(path) : context.Client().Remove(path);
        context.Status().SetStatus(std::nullopt);
        if (removed) {
            context.Remote().RemoveEntry(index);
            context.Log().LogMessage("... DELETEd " + Printable(name));
            continue;
        }
        outcome = Fail(context, "Could not delete " + Printable(name), removed,
                       (folder ? "Remove folder " : "Remove ") + path);
        if (outcome == SftpOutcome::Lost) {
            break;
        }
    }
    return outcome;
}

SftpOutcome MakeFolder(SftpContext& context, FtpRequest& request) {
    const std::string name = request.text;
    if (name.empty()) {
        return SftpOutcome::Done;
    }
    const std::string path = Join(context.CurrentFolder(), name);
    context.Status().SetStatus("MKDing " + name);
    context.Log().LogMessage("MKDing " + Printable(name));
    const SshResult made = context.Client().MakeFolder(path);
    context.Status().SetStatus(std::nullopt);
    if (!made) {
        return Fail(context, "Could not make the folder " + Printable(name), made, "Make folder " + path);
    }
    context.Log().LogMessage("... MKDed " + Printable(name));
    context.Remote().FolderMade(name);
    return SftpOutcome::Done;
}

SftpOutcome Rename(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* names = dynamic_cast<const RenameNames*>(owned.get());
    if (names == nullptr || names->oldName.empty() || names->newName.empty()) {
        return SftpOutcome::Done;
    }
    const std::string shown = Printable(names->oldName) + " to " + Printable(names->newName);
    const std::string from = Join(context.CurrentFolder(), names->oldName);
    const std::string to = Join(context.CurrentFolder(), names->newName);
    context.Status().SetStatus("RENAMEing " + names->oldName);
    context.Log().LogMessage("RENAMEing " + shown);
    const SshResult renamed = context.Client().Rename(from, to);
    context.Status().SetStatus(std::nullopt);
    if (!renamed) {
        return Fail(context, "Could not rename " + shown, renamed, "Rename " + from + " to " + to);
    }
    context.Log().LogMessage("... RENAMEd " + shown);
    context.Remote().EntryRenamed(names->slot, names->oldName, names->newName);
    return SftpOutcome::Done;
}

SftpOutcome WalkTrees(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* selection = dynamic_cast<const FolderSelection*>(owned.get());
    if (selection == nullptr) {
        return SftpOutcome::Done;
    }
    auto plan = std::make_shared<DeletePlan>();
    plan->folder = selection->folder;
    TreeWalker walker(context, *plan);
    bool whole = true;
    for (const FolderSelection::Chosen& chosen : selection->entries) {
        if (!SftpClient::IsSafeName(chosen.name)) {
            continue;
        }
        const std::string path = Join(selection->folder, chosen.name);
        if (!chosen.folder || chosen.link) {
            plan->steps.push_back(
                {path, chosen.name, chosen.link ? EntryKind::Link : EntryKind::File, chosen.slot, -1, false});
            ++plan->selectedFiles;
            continue;
        }
        ++plan->selectedFolders;
        if (!walker.AddFolder(path, chosen.name, 1, chosen.slot)) {
            whole = false;
            break;
        }
    }
    if (walker.Lost()) {
        return SftpOutcome::Lost;
    }
    if (!whole) {
        context.Log().LogMessage("... Delete stopped while looking into the folders: nothing was deleted");
        context.Remote().ShowFailure("Delete stopped while looking into the folders: nothing was deleted");
        return SftpOutcome::Failed;
    }
    context.Log().LogMessage("... " + Thousands(static_cast<std::size_t>(plan->selectedFolders)) +
                             " folders hold " + Thousands(static_cast<std::size_t>(plan->filesBelow)) +
                             " files");
    context.Remote().DeletePlanReady(std::move(plan));
    return SftpOutcome::Done;
}

SftpOutcome RemoveTrees(SftpContext& context, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* plan = dynamic_cast<const DeletePlan*>(owned.get());
    if (plan == nullptr) {
        return SftpOutcome::Done;
    }
    const std::vector<DeleteStep>& steps = plan->steps;
    // Per folder step: how many of its entries stayed (it is then not removed, as it cannot be empty).
    std::vector<int> stayedInside(steps.size(), 0);
    std::vector<std::size_t> stayed;
    bool stopped = false;
    bool lost = false;
    std::string firstReason;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const DeleteStep& step = steps[i];
        bool stays = step.keep || stayedInside[i] > 0;
        if (!stays && (stopped || context.AbortRequested())) {
            stopped = true;
            stays = true;
        }
        if (!stays) {
            const bool folder = step.kind == EntryKind::Directory;
            context.Status().SetStatus("DELETEing " + step.shownName);
            context.Log().LogMessage("DELETEing " + Printable(step.path));
            // A link is removed as itself: unlink never follows it.
            const SshResult removed =
                folder ? context.Client().RemoveFolder(step.path) : context.Client().Remove(step.path);
            context.Status().SetStatus(std::nullopt);
            if (removed) {
                context.Log().LogMessage("... DELETEd " + Printable(step.path));
                // Only while the page still shows that entry in that slot.
                if (step.slot >= 0 && context.Remote().EntryAt(step.slot).Name() == step.shownName) {
                    context.Remote().RemoveEntry(step.slot);
                }
                continue;
            }
            if (context.ConnectionLost()) {
                lost = true;
                stopped = true;
            } else {
                const std::string why = Why(removed, (folder ? "Remove folder " : "Remove ") + step.path);
                context.Log().LogMessage("... Unable to DELETE " + Printable(step.path) + ": " + why);
                if (firstReason.empty()) {
                    firstReason = why;
                }
            }
        }
        stayed.push_back(i);
        if (step.parent >= 0) {
            ++stayedInside[static_cast<std::size_t>(step.parent)];
        }
    }
    if (lost) {
        return SftpOutcome::Lost;
    }
    if (stayed.empty()) {
        context.Log().LogMessage("... deleted " + Thousands(steps.size()) + " entries");
        return SftpOutcome::Done;
    }
    std::string names;
    for (std::size_t n = 0; n < stayed.size() && n < kStayedNamesShown; ++n) {
        names += (n == 0 ? "" : ", ") + Printable(steps[stayed[n]].shownName);
    }
    if (stayed.size() > kStayedNamesShown) {
        names += " and " + Thousands(stayed.size() - kStayedNamesShown) + " more";
    }
    std::string text =
        Thousands(stayed.size()) + " of " + Thousands(steps.size()) + " entries stayed: " + names;
    if (stopped) {
        text += " (stopped)";
    } else if (!firstReason.empty()) {
        text += " (" + firstReason + ")";
    }
    context.Log().LogMessage("... " + text);
    context.Remote().ShowFailure("Delete: " + text);
    return SftpOutcome::Failed;
}

}  // namespace SftpFolderRequests
