#pragma once
// Walks local files and folders chosen for an upload and adds them to an upload TransferPlan: the server
// folders to make, parents first, and every file with the server folder it goes to. Links to folders are
// followed once (a folder reached again is not entered), so a link loop ends.
#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

class LogView;
class TransferPlan;

class LocalTreeWalk {
  public:
    // `stopRequested` is asked between entries: true stops the walk (the plan is marked stopped).
    LocalTreeWalk(LogView& log, TransferPlan& plan, std::function<bool()> stopRequested);

    // Adds `localPath` (a file, a folder, or a link to either) as an entry of the server folder
    // `remoteFolder` (absolute). False once the walk was stopped.
    bool Add(const std::string& localPath, const std::string& remoteFolder);

    // Why a local name cannot be a name on the server, or nothing when it can: empty, "." or "..", a '/',
    // or a control character (which could end or split the command line).
    static std::string NameProblem(std::string_view name);

  private:
    using FolderId = std::pair<dev_t, ino_t>;

    // `shown`: the path relative to where the chosen entries were, for the log and the problems.
    bool AddEntry(const std::string& localPath, const std::string& name, const std::string& remoteFolder,
                  const std::string& shown, int depth);
    bool AddFolder(const std::string& localPath, const std::string& remotePath, const std::string& shown,
                   FolderId id, int depth);
    bool Stopped();
    void Problem(const std::string& text);

    LogView& log_;
    TransferPlan& plan_;
    std::function<bool()> stopRequested_;
    // Every folder entered so far, by device and inode.
    std::set<FolderId> entered_;
};
