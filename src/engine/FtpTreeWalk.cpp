#include "engine/FtpTreeWalk.h"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/FtpContext.h"
#include "engine/FtpDirectoryCommands.h"
#include "engine/FtpFolderCommands.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpTransfers.h"
#include "engine/PrintableText.h"
#include "engine/TransferPlan.h"
#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"

namespace {

constexpr int kLostConnection = FtpProtocol::kLostConnection;
constexpr int kNothingToDo = 200;
constexpr int kPwdCode = 257;

// "." and "..", and a name holding '/', would reach outside the folder listed: never fetched.
bool IsWalkableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

std::string JoinLocal(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

// 0 and negative times are no time.
std::int32_t KnownTime(std::int32_t time) {
    return time > 0 ? time : -1;
}

// Adds the folders and files of the server's trees to a download plan, parents first.
class DownloadWalker {
  public:
    DownloadWalker(FtpContext& session, TransferPlan& plan) : session_(session), plan_(plan) {}

    // The folder at `path` (the server's own path of it, reached without a link or resolved by PWD),
    // shown as `shown`, into the local folder `local`. False when the walk must stop.
    // `unique`: the folder's "unique" fact, when the server gives one.
    bool AddFolder(const std::string& path, const std::string& shown, const std::string& local, int depth,
                   std::int32_t time, const std::string& unique) {
        if (session_.AbortRequested()) {
            return false;
        }
        if (depth > TransferPlan::kMaxDepth) {
            Problem("deeper than " + std::to_string(TransferPlan::kMaxDepth) +
                    " folders: " + Printable(shown) + " is not entered");
            return true;
        }
        if (!entered_.insert(path).second || (!unique.empty() && !enteredUniques_.insert(unique).second)) {
            Problem(Printable(shown) + " leads to " + Printable(path) +
                    ", reached already: not entered again");
            return true;
        }
        std::vector<RemoteEntry> entries;
        std::vector<std::string> uniques;
        bool whole = false;
        result_ = FtpTransfers::ListFolder(session_, path, entries, whole, &uniques);
        if (result_ == kLostConnection || session_.AbortRequested()) {
            return false;
        }
        if (!whole) {
            const std::string why = session_.TakeFailure();
            Problem("Could not list " + Printable(shown) + ": " +
                    (why.empty() ? session_.LastReplyInWords() : why));
            return true;
        }
        // Made even when empty; one that could not be listed is not made at all.
        plan_.folders.push_back({local, KnownTime(time)});
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const RemoteEntry& entry = entries[i];
            const std::string& name = entry.Name();
            if (!IsWalkableName(name)) {
                Problem("Refused the listed name \"" + Printable(name) + "\" in " + Printable(shown));
                continue;
            }
            const std::string childPath = FtpFolderCommands::JoinPath(path, name);
            const std::string childShown = shown + "/" + name;
            const std::string childLocal = JoinLocal(local, RemoteName::LocalFileName(name));
            bool goOn = true;
            if (entry.Kind() == EntryKind::Directory) {
                goOn = AddFolder(childPath, childShown, childLocal, depth + 1, entry.Time(),
                                 i < uniques.size() ? uniques[i] : std::string());
            } else if (entry.Kind() == EntryKind::Link) {
                goOn = AddLink(path, name, childShown, childLocal, depth + 1);
            } else {
                AddFile(path, name, childLocal, &entry);
            }
            if (!goOn) {
                return false;
            }
        }
        return true;
    }

    // A link named `name` in `folder`: a folder when CWD into it succeeds (entered by the path PWD then
    // names), else a file the server follows on RETR.
    bool AddLink(const std::string& folder, const std::string& name, const std::string& shown,
                 const std::string& local, int depth) {
        if (session_.AbortRequested()) {
            return false;
        }
        const std::string path = FtpFolderCommands::JoinPath(folder, name);
        int probe = 0;
        const std::optional<std::string> real = FtpTreeWalk::RealFolder(session_, path, probe, moved_);
        if (probe == kLostConnection) {
            result_ = probe;
            return false;
        }
        if (session_.AbortRequested()) {
            return false;
        }
        if (!real) {
            AddFile(folder, name, local, nullptr);
            return true;
        }
        if (depth > TransferPlan::kMaxDepth) {
            Problem("deeper than " + std::to_string(TransferPlan::kMaxDepth) +
                    " folders: " + Printable(shown) + " is not entered");
            return true;
        }
        return AddFolder(*real, shown, local, depth, -1, {});
    }

    // A file; `entry` gives its size and time (none for a link: the listing's are the link's own).
    void AddFile(const std::string& folder, const std::string& name, const std::string& local,
                 const RemoteEntry* entry) {
        PlannedFile file;
        file.item.remoteFolder = folder;
        file.item.remoteName = name;
        file.item.localPath = local;
        if (entry != nullptr && entry->Kind() == EntryKind::File) {
            file.item.size = entry->Size();
            file.item.time = KnownTime(entry->Time());
            file.item.exactTime = entry->ExactTime();
        }
        plan_.files.push_back(std::move(file));
    }

    void Problem(const std::string& text) {
        session_.Log().LogMessage("... " + text);
        plan_.problems.push_back(text);
    }

    int Result() const { return result_; }
    bool Moved() const { return moved_; }

  private:
    FtpContext& session_;
    TransferPlan& plan_;
    // The server's paths of the folders entered, and their "unique" facts where the listing gave them: a
    // folder reached again through a link is not entered again.
    std::unordered_set<std::string> entered_;
    std::unordered_set<std::string> enteredUniques_;
    int result_ = kNothingToDo;
    bool moved_ = false;
};

// The facts asked for when the server does not send "unique" by itself: the usual ones too, so that the
// Remote page's listings keep what they show (a server leaves out those it does not know).
constexpr std::string_view kFactsWithUnique =
    "OPTS MLST type;size;modify;perm;unique;UNIX.mode;UNIX.owner;UNIX.group;UNIX.uid;UNIX.gid;";

// The "unique" fact of MLST's answer; "" for none. `result` is MLST's reply code.
std::string MlstUnique(FtpContext& session, const std::string& path, int& result) {
    FtpReply reply;
    reply.keepLines = true;
    result = session.Command("MLST " + path, &reply);
    if (result != 250) {
        return {};
    }
    for (const std::string& line : reply.lines) {
        // The facts line starts with a space; the first and last lines carry the code.
        if (line.starts_with(' ')) {
            return FtpTransfers::UniqueFact(std::string_view(line).substr(1));
        }
    }
    return {};
}

}  // namespace

std::string FtpTreeWalk::FolderUnique(FtpContext& session, const std::string& path) {
    if (!session.Features().Has("MLST")) {
        return {};
    }
    int result = 0;
    std::string unique = MlstUnique(session, path, result);
    if (unique.empty() && result == 250) {
        // Offered but off: turned on for the session (once: the next MLST has it).
        if (FtpProtocol::IsPositiveCompletion(session.Command(std::string(kFactsWithUnique)))) {
            unique = MlstUnique(session, path, result);
        }
    }
    return unique;
}

std::optional<std::string> FtpTreeWalk::RealFolder(FtpContext& session, std::string_view path, int& result,
                                                   bool& moved) {
    result = session.Command("CWD " + std::string(path));
    if (!FtpProtocol::IsPositiveCompletion(result)) {
        return std::nullopt;
    }
    moved = true;
    // Where the session is now is known only from PWD's answer.
    session.SetCurrentFolder({});
    FtpReply reply;
    result = session.Command("PWD", &reply);
    std::optional<std::string> real;
    if (result == kPwdCode) {
        real = FtpDirectoryCommands::DirectoryFromPwdReply(reply.lastLine);
    }
    if (!real || real->empty() || real->front() != '/') {
        // A folder all the same: entered by the path that reached it, which a loop cannot repeat forever
        // (the depth ends it).
        session.Log().LogMessage("... no folder name in the reply to PWD: entering " + Printable(path));
        return std::string(path);
    }
    session.SetCurrentFolder(*real);
    return real;
}

int FtpTreeWalk::WalkDownload(FtpContext& session, FtpRequest& request) {
    const std::unique_ptr<FtpRequestObject> owned = std::move(request.object);
    const auto* selection = dynamic_cast<const FolderSelection*>(owned.get());
    if (selection == nullptr || request.text.empty()) {
        return kNothingToDo;
    }
    // The walk's CWDs into links leave the session elsewhere; the page's later requests name files of
    // the folder it shows.
    const std::string startFolder =
        session.CurrentFolder().empty() ? selection->folder : session.CurrentFolder();
    auto plan = std::make_shared<TransferPlan>();
    plan->type = request.value;
    plan->localFolder = request.text;
    plan->remoteFolder = selection->folder;
    DownloadWalker walker(session, *plan);
    bool whole = true;
    for (const FolderSelection::Chosen& chosen : selection->entries) {
        if (!IsWalkableName(chosen.name)) {
            walker.Problem("Refused the name \"" + Printable(chosen.name) + "\"");
            continue;
        }
        // The size and time the page listed, while it still shows that entry in that slot.
        const RemoteEntry shown = session.Remote().EntryAt(chosen.slot);
        const bool listed = !shown.IsBlank() && shown.Name() == chosen.name;
        const std::string local = JoinLocal(request.text, RemoteName::LocalFileName(chosen.name));
        bool goOn = true;
        if (chosen.link) {
            goOn = walker.AddLink(selection->folder, chosen.name, chosen.name, local, 1);
        } else if (chosen.folder) {
            const std::string path = FtpFolderCommands::JoinPath(selection->folder, chosen.name);
            goOn = walker.AddFolder(path, chosen.name, local, 1, listed ? shown.Time() : -1,
                                    FolderUnique(session, path));
        } else {
            walker.AddFile(selection->folder, chosen.name, local, listed ? &shown : nullptr);
        }
        if (!goOn) {
            whole = false;
            break;
        }
    }
    int result = walker.Result();
    const bool stopped = !whole && result != kLostConnection;
    session.Abort().ClearRequested();
    if (result != kLostConnection && walker.Moved() && session.CurrentFolder() != startFolder) {
        const int code = session.Command("CWD " + startFolder);
        if (FtpProtocol::IsPositiveCompletion(code)) {
            session.SetCurrentFolder(startFolder);
        } else {
            session.SetCurrentFolder({});
            if (code == kLostConnection) {
                result = code;
            }
        }
    }
    if (result == kLostConnection) {
        return result;
    }
    if (stopped) {
        plan->stopped = true;
        session.Log().LogMessage("... Get stopped while looking into the folders: nothing was queued");
    } else {
        session.Log().LogMessage("... " + std::to_string(plan->folders.size()) + " folders hold " +
                                 std::to_string(plan->files.size()) + " files to get" +
                                 (plan->problems.empty()
                                      ? std::string()
                                      : ", " + std::to_string(plan->problems.size()) + " left out"));
    }
    session.Remote().TransferPlanReady(std::move(plan));
    return result;
}
