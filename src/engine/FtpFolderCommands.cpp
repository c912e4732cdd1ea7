#include "engine/FtpFolderCommands.h"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/DeletePlan.h"
#include "engine/FtpContext.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpTransfers.h"
#include "engine/FtpTreeWalk.h"
#include "engine/PrintableText.h"
#include "listing/RemoteEntry.h"

namespace {

constexpr int kLostConnection = FtpProtocol::kLostConnection;
// What a request without its object returns: nothing was sent, nothing failed.
constexpr int kNothingToDo = 200;
// RNFR's "requested file action pending further information".
constexpr int kPendingRename = 350;
// Names of what stayed after a Delete, on the failure line; the rest are counted.
constexpr std::size_t kStayedNamesShown = 5;

// A listing's "." and "..", and a name with '/' (which would reach outside the folder listed), are never
// entered nor deleted.
bool IsWalkableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

std::string Thousands(int value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), ",");
    }
    return digits;
}

// Why the last command or listing failed, in words: a failure noted on the way, else the reply.
std::string LastReason(FtpContext& session) {
    std::string why = session.TakeFailure();
    return why.empty() ? session.LastReplyInWords() : why;
}

// Adds the steps of folder trees to a plan, depth first, each folder after everything in it.
class TreeWalker {
  public:
    TreeWalker(FtpContext& session, DeletePlan& plan) : session_(session), plan_(plan) {}

    // The folder at `path` and all below it; false when the walk must stop (abort, lost connection).
    // `unique`: the folder's "unique" fact, when the server gives one.
    bool AddFolder(const std::string& path, const std::string& shown, int depth, std::int32_t slot,
                   const std::string& unique) {
        if (session_.AbortRequested()) {
            return false;
        }
        if (!unique.empty()) {
            entered_.insert(unique);
        }
        std::vector<std::size_t> children;
        bool keep = false;
        if (depth > DeletePlan::kMaxDepth) {
            session_.Log().LogMessage("... deeper than " + std::to_string(DeletePlan::kMaxDepth) +
                                      " folders: " + Printable(shown) + " is not entered and stays");
            keep = true;
        } else {
            std::vector<RemoteEntry> entries;
            std::vector<std::string> uniques;
            bool whole = false;
            result_ = FtpTransfers::ListFolder(session_, path, entries, whole, &uniques);
            if (result_ == kLostConnection || session_.AbortRequested()) {
                return false;
            }
            if (!whole) {
                session_.Log().LogMessage("... Could not list " + Printable(shown) +
                                          ", it stays: " + LastReason(session_));
                keep = true;
            } else {
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    const RemoteEntry& entry = entries[i];
                    const std::string& name = entry.Name();
                    if (!IsWalkableName(name)) {
                        session_.Log().LogMessage("... skipped the listed name " + Printable(name) + " in " +
                                                  Printable(shown));
                        continue;
                    }
                    const std::string childPath = FtpFolderCommands::JoinPath(path, name);
                    const std::string childShown = shown + "/" + name;
                    const std::string unique = i < uniques.size() ? uniques[i] : std::string();
                    // A folder met again is a link listed as what it leads to: deleted as itself.
                    const bool again = !unique.empty() && entered_.count(unique) > 0;
                    if (entry.Kind() == EntryKind::Directory && !again) {
                        if (!AddFolder(childPath, childShown, depth + 1, -1, unique)) {
                            return false;
                        }
                    } else {
                        // A link is deleted as itself: whatever it leads to is never entered.
                        plan_.steps.push_back(
                            {childPath, childShown, again ? EntryKind::Link : entry.Kind(), -1, -1, false});
                        ++plan_.filesBelow;
                    }
                    children.push_back(plan_.steps.size() - 1);
                }
            }
        }
        plan_.AddFolderStep(path, shown, slot, keep, children);
        return true;
    }

    int Result() const { return result_; }

  private:
    FtpContext& session_;
    DeletePlan& plan_;
    // The "unique" facts of the folders entered.
    std::unordered_set<std::string> entered_;
    int result_ = kNothingToDo;
};

}  // namespace

std::string FtpFolderCommands::JoinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

int FtpFolderCommands::MakeFolder(FtpContext& session, FtpRequest& request) {
    const std::string name = request.text;
    if (name.empty()) {
        return kNothingToDo;
    }
    session.Status().SetStatus("MKDing " + name);
    session.Log().LogMessage("MKDing " + Printable(name));
    FtpReply reply;
    const int result = session.Command("MKD " + name, &reply);
    session.Status().SetStatus(std::nullopt);
    if (reply.IsPositive()) {
        session.Log().LogMessage("... MKDed " + Printable(name));
        session.Remote().FolderMade(name);
    } else {
        session.Log().LogMessage("... Unable to MKD " + Printable(name));
        session.ShowFailure("Could not make the folder " + Printable(name), result);
    }
    return result;
}

int FtpFolderCommands::Rename(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* names = dynamic_cast<const RenameNames*>(owned.get());
    if (names == nullptr || names->oldName.empty() || names->newName.empty()) {
        return kNothingToDo;
    }
    const std::string shown = Printable(names->oldName) + " to " + Printable(names->newName);
    session.Status().SetStatus("RENAMEing " + names->oldName);
    session.Log().LogMessage("RENAMEing " + shown);
    FtpReply reply;
    int result = session.Command("RNFR " + names->oldName, &reply);
    // Only a 350 to RNFR lets RNTO follow; anything else, even a 2xx, leaves the name as it was.
    const bool pending = result == kPendingRename;
    if (pending) {
        result = session.Command("RNTO " + names->newName, &reply);
    }
    session.Status().SetStatus(std::nullopt);
    if (pending && reply.IsPositive()) {
        session.Log().LogMessage("... RENAMEd " + shown);
        session.Remote().EntryRenamed(names->slot, names->oldName, names->newName);
        return result;
    }
    session.Log().LogMessage("... Unable to RENAME " + shown);
    if (!pending && result != kLostConnection && FtpProtocol::IsPositiveCompletion(result)) {
        // Done already by the server's word, or not: the listing shown cannot tell, so it keeps the name.
        session.Remote().ShowFailure("Could not rename " + shown + ": RNFR was answered " +
                                     session.LastReplyInWords());
        return result;
    }
    session.ShowFailure("Could not rename " + shown, result);
    return result;
}

int FtpFolderCommands::WalkTrees(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* selection = dynamic_cast<const FolderSelection*>(owned.get());
    if (selection == nullptr) {
        return kNothingToDo;
    }
    auto plan = std::make_shared<DeletePlan>();
    plan->folder = selection->folder;
    TreeWalker walker(session, *plan);
    bool whole = true;
    for (const FolderSelection::Chosen& chosen : selection->entries) {
        if (!IsWalkableName(chosen.name)) {
            continue;
        }
        const std::string path = JoinPath(selection->folder, chosen.name);
        if (!chosen.folder) {
            plan->steps.push_back({path, chosen.name, EntryKind::File, chosen.slot, -1, false});
            ++plan->selectedFiles;
            continue;
        }
        ++plan->selectedFolders;
        // Listings that show links as folders would otherwise lead the walk round a loop to its depth.
        if (!walker.AddFolder(path, chosen.name, 1, chosen.slot, FtpTreeWalk::FolderUnique(session, path))) {
            whole = false;
            break;
        }
    }
    const int result = walker.Result();
    session.Abort().ClearRequested();
    if (!whole) {
        session.Log().LogMessage("... Delete stopped while looking into the folders: nothing was deleted");
        if (result != kLostConnection) {
            session.Remote().ShowFailure(
                "Delete stopped while looking into the folders: nothing was deleted");
        }
        return result;
    }
    session.Log().LogMessage("... " + Thousands(plan->selectedFolders) + " folders hold " +
                             Thousands(plan->filesBelow) + " files");
    session.Remote().DeletePlanReady(std::move(plan));
    return result;
}

int FtpFolderCommands::RemoveTrees(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* plan = dynamic_cast<const DeletePlan*>(owned.get());
    if (plan == nullptr) {
        return kNothingToDo;
    }
    const std::vector<DeleteStep>& steps = plan->steps;
    // Per folder step: how many of its entries stayed (it is then not sent, as it cannot be empty).
    std::vector<int> stayedInside(steps.size(), 0);
    std::vector<std::size_t> stayed;
    bool stopped = false;
    int result = kNothingToDo;
    int failure = 0;
    std::string firstReason;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const DeleteStep& step = steps[i];
        bool stays = step.keep || stayedInside[i] > 0;
        if (!stays && (stopped || session.AbortRequested())) {
            stopped = true;
            stays = true;
        }
        if (!stays) {
            const bool folder = step.kind == EntryKind::Directory;
            const std::string verb = folder ? "RMD" : "DELE";
            session.Status().SetStatus("DELETEing " + step.shownName);
            session.Log().LogMessage("DELETEing " + Printable(step.path));
            FtpReply reply;
            // A path holding CR or LF is never sent (Command refuses it): it stays like a refusal.
            result = session.Command(verb + " " + step.path, &reply);
            session.Status().SetStatus(std::nullopt);
            if (reply.IsPositive()) {
                session.Log().LogMessage("... DELETEd " + Printable(step.path));
                // Only while the page still shows that entry in that slot.
                if (step.slot >= 0 && session.Remote().EntryAt(step.slot).Name() == step.shownName) {
                    session.Remote().RemoveEntry(step.slot);
                }
                continue;
            }
            const std::string why = LastReason(session);
            session.Log().LogMessage("... Unable to DELETE " + Printable(step.path) + ": " + why);
            failure = result;
            if (firstReason.empty()) {
                firstReason = why;
            }
            if (result == kLostConnection) {
                stopped = true;
            }
        }
        stayed.push_back(i);
        if (step.parent >= 0) {
            ++stayedInside[static_cast<std::size_t>(step.parent)];
        }
    }
    session.Abort().ClearRequested();
    if (stayed.empty()) {
        session.Log().LogMessage("... deleted " + Thousands(static_cast<int>(steps.size())) + " entries");
        return result;
    }
    std::string names;
    for (std::size_t n = 0; n < stayed.size() && n < kStayedNamesShown; ++n) {
        names += (n == 0 ? "" : ", ") + Printable(steps[stayed[n]].shownName);
    }
    if (stayed.size() > kStayedNamesShown) {
        names += " and " + Thousands(static_cast<int>(stayed.size() - kStayedNamesShown)) + " more";
    }
    std::string text = Thousands(static_cast<int>(stayed.size())) + " of " +
                       Thousands(static_cast<int>(steps.size())) + " entries stayed: " + names;
    if (stopped && failure != kLostConnection) {
        text += " (stopped)";
    } else if (!firstReason.empty()) {
        text += " (" + firstReason + ")";
    }
    session.Log().LogMessage("... " + text);
    if (failure != kLostConnection) {
        session.Remote().ShowFailure("Delete: " + text);
    }
    return failure != 0 ? failure : result;
}
