#include "engine/FtpUploadTrees.h"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/FtpContext.h"
#include "engine/FtpFolderCommands.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpTransfers.h"
#include "engine/LocalTreeWalk.h"
#include "engine/PrintableText.h"
#include "engine/TransferPlan.h"
#include "listing/RemoteEntry.h"

namespace {

constexpr int kLostConnection = FtpProtocol::kLostConnection;
constexpr int kNothingToDo = 200;

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string BaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Looks at the server folders of an upload plan that exist already: each is listed once, its names kept
// for free names, and the files planned into it learn what is at their target. A planned folder that
// does not exist is never listed (nothing can be in its way), and is the only kind left to make.
class ServerFolders {
  public:
    ServerFolders(FtpContext& session, TransferPlan& plan) : session_(session), plan_(plan) {
        for (std::size_t i = 0; i < plan_.files.size(); ++i) {
            filesIn_[plan_.files[i].item.remoteFolder].push_back(i);
        }
        for (const TransferFolder& folder : plan_.folders) {
            foldersIn_[FtpUploadTrees::ParentOf(folder.path)].push_back(folder.path);
        }
    }

    // The last listing's reply; 421 when the connection was lost. An Escape marks the plan stopped.
    int Look() {
        int result = kNothingToDo;
        std::vector<std::string> pending{plan_.remoteFolder};
        while (!pending.empty()) {
            const std::string folder = std::move(pending.back());
            pending.pop_back();
            std::vector<std::string> present;
            result = List(folder, present);
            if (result == kLostConnection || plan_.stopped) {
                return result;
            }
            // Deepest last, so that their parents' listings come first.
            pending.insert(pending.end(), present.rbegin(), present.rend());
        }
        std::erase_if(plan_.folders,
                      [&](const TransferFolder& folder) { return listed_.count(folder.path) > 0; });
        return result;
    }

  private:
    // Lists `folder`; `present` gets the planned folders inside it that the server has already.
    int List(const std::string& folder, std::vector<std::string>& present) {
        std::vector<RemoteEntry> entries;
        bool whole = false;
        const int result = FtpTransfers::ListFolder(session_, folder, entries, whole);
        if (result == kLostConnection) {
            return result;
        }
        if (session_.AbortRequested()) {
            plan_.stopped = true;
            return result;
        }
        if (!whole) {
            std::string why = session_.TakeFailure();
            if (why.empty()) {
                why = session_.LastReplyInWords();
            }
            const std::string text =
                "Could not list the server folder " + Printable(folder) + " to compare: " + why;
            session_.Log().LogMessage("... " + text);
            plan_.problems.push_back(text);
            return result;
        }
        listed_.insert(folder);
        std::unordered_map<std::string, const RemoteEntry*> byName;
        std::unordered_set<std::string>& names = plan_.remoteNames[folder];
        for (const RemoteEntry& entry : entries) {
            const std::string& name = entry.Name();
            if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
                continue;
            }
            names.insert(name);
            byName.emplace(name, &entry);
        }
        for (const std::size_t index : filesIn_[folder]) {
            PlannedFile& file = plan_.files[index];
            if (const auto found = byName.find(file.item.remoteName); found != byName.end()) {
                file.targetExists = true;
                file.targetSize = found->second->Size();
                file.targetTime = found->second->Time();
            }
        }
        for (const std::string& child : foldersIn_[folder]) {
            const auto found = byName.find(BaseName(child));
            if (found != byName.end() &&
                (found->second->Kind() == EntryKind::Directory || found->second->Kind() == EntryKind::Link)) {
                present.push_back(child);
            }
        }
        return result;
    }

    FtpContext& session_;
    TransferPlan& plan_;
    std::unordered_map<std::string, std::vector<std::size_t>> filesIn_;
    std::unordered_map<std::string, std::vector<std::string>> foldersIn_;
    std::unordered_set<std::string> listed_;
};

}  // namespace

std::string FtpUploadTrees::ParentOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) {
        return "/";
    }
    return std::string(path.substr(0, slash));
}

std::string FtpUploadTrees::FolderFailure(const FolderFailures& failed, std::string_view folder) {
    if (failed.empty()) {
        return {};
    }
    std::string path = WithoutTrailingSlashes(std::string(folder));
    while (true) {
        if (const auto found = failed.find(path); found != failed.end()) {
            return found->second;
        }
        if (path == "/" || path.empty()) {
            return {};
        }
        path = ParentOf(path);
    }
}

int FtpUploadTrees::WalkUpload(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* dropped = dynamic_cast<const DroppedFiles*>(owned.get());
    if (dropped == nullptr) {
        return kNothingToDo;
    }
    auto plan = std::make_shared<TransferPlan>();
    plan->upload = true;
    plan->type = request.value;
    plan->remoteFolder =
        WithoutTrailingSlashes(request.text.empty() ? session.CurrentFolder() : request.text);
    if (!dropped->paths.empty()) {
        plan->localFolder = ParentOf(WithoutTrailingSlashes(dropped->paths.front()));
    }
    session.Status().SetStatus("Looking into the folders ...");
    session.Log().LogMessage("Looking into the folders to upload into " + Printable(plan->remoteFolder));
    LocalTreeWalk walk(session.Log(), *plan, [&session] { return session.AbortRequested(); });
    for (const std::string& path : dropped->paths) {
        if (!walk.Add(path, plan->remoteFolder)) {
            break;
        }
    }
    int result = kNothingToDo;
    if (!plan->stopped) {
        result = ServerFolders(session, *plan).Look();
    }
    session.Abort().ClearRequested();
    session.Status().SetStatus(std::nullopt);
    if (result == kLostConnection) {
        session.Log().LogMessage("... Upload stopped while looking into the folders: nothing was sent");
        return result;
    }
    if (plan->stopped) {
        session.Log().LogMessage("... Upload stopped while looking into the folders: nothing was sent");
    } else {
        session.Log().LogMessage("... " + std::to_string(plan->files.size()) + " files, " +
                                 std::to_string(plan->folders.size()) + " folders to make");
    }
    session.Remote().TransferPlanReady(std::move(plan));
    return result;
}

int FtpUploadTrees::MakeFolders(FtpContext& session, const std::vector<TransferFolder>& folders,
                                const std::string& shownFolder, FolderFailures& failed) {
    int result = kNothingToDo;
    for (const TransferFolder& folder : folders) {
        if (session.AbortRequested()) {
            break;
        }
        const std::string path = WithoutTrailingSlashes(folder.path);
        if (const std::string above = FolderFailure(failed, ParentOf(path)); !above.empty()) {
            failed.emplace(path, above);
            continue;
        }
        const std::string name = BaseName(path);
        session.Status().SetStatus("MKDing " + name);
        session.Log().LogMessage("MKDing " + Printable(path));
        (void)session.TakeFailure();
        FtpReply reply;
        result = session.Command("MKD " + path, &reply);
        session.Status().SetStatus(std::nullopt);
        if (result == kLostConnection) {
            return result;
        }
        if (reply.IsPositive()) {
            session.Log().LogMessage("... MKDed " + Printable(path));
            if (ParentOf(path) == WithoutTrailingSlashes(shownFolder)) {
                session.Remote().FolderMade(name);
            }
            continue;
        }
        std::string why = session.TakeFailure();
        if (why.empty()) {
            why = session.LastReplyInWords();
        }
        // Refused because it is there (made since the walk looked) is no failure: CWD tells.
        const int entered = session.Command("CWD " + path);
        if (entered == kLostConnection) {
            return entered;
        }
        if (FtpProtocol::IsPositiveCompletion(entered)) {
            session.SetCurrentFolder(path);
            session.Log().LogMessage("... " + Printable(path) + " is there already");
            result = entered;
            continue;
        }
        session.SetCurrentFolder({});
        const std::string text = "the folder " + Printable(path) + " could not be made: " + why;
        session.Log().LogMessage("... Unable to MKD " + Printable(path) + ": " + why);
        failed.emplace(path, text);
    }
    return result;
}
