#pragma once
// The upload of folder trees on the worker thread: the walk of the chosen local trees, which looks at the
// server folders that exist already and posts the upload TransferPlan, and the server folders a Put of
// the plan's files makes before them.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class FtpContext;
struct FtpRequest;
struct TransferFolder;

class FtpUploadTrees {
  public:
    // Server folder (absolute) -> why it could not be made.
    using FolderFailures = std::unordered_map<std::string, std::string>;

    // request.text: the server folder uploaded into (absolute); request.object: DroppedFiles (local files
    // and folders); request.value: transfer type. Walks the local trees, lists each planned server folder
    // that exists already once, and posts the plan (marked stopped after Escape). Returns the last
    // listing's reply (421 ends the session, and nothing is posted). Released before returning.
    static int WalkUpload(FtpContext& session, FtpRequest& request);

    // MKD of each folder, parents first. A refusal is no failure when CWD shows the folder is there (made
    // meanwhile); otherwise that folder, and every folder below it, lands in `failed` with the reason.
    // A folder made in `shownFolder` is told to the Remote page. Returns the last reply (421: the
    // connection was lost, the rest not tried); stops early on Escape, leaving it requested.
    static int MakeFolders(FtpContext& session, const std::vector<TransferFolder>& folders,
                           const std::string& shownFolder, FolderFailures& failed);

    // Why files of `folder` cannot be uploaded: the failure of that folder or of one holding it; empty
    // when nothing is in the way.
    static std::string FolderFailure(const FolderFailures& failed, std::string_view folder);

    // The folder holding `path` ("/a/b" -> "/a", "/a" -> "/").
    static std::string ParentOf(std::string_view path);
};
