#pragma once
// Request handlers that change the folders of the current directory: New folder (MKD), Rename (RNFR and
// RNTO), and the Delete of whole folders in two requests, the walk of their trees and the removal the
// user agreed to. Worker thread; each returns the request's last reply code (421 ends the session).
#include <string>
#include <string_view>

class FtpContext;
struct FtpRequest;

class FtpFolderCommands {
  public:
    // request.text: the new folder's name.
    static int MakeFolder(FtpContext& session, FtpRequest& request);
    // request.object: RenameNames; released before returning.
    static int Rename(FtpContext& session, FtpRequest& request);
    // request.object: FolderSelection. Lists every selected folder's tree, one listing per folder, and
    // posts the DeletePlan to the Remote page; posts nothing when stopped. Released before returning.
    static int WalkTrees(FtpContext& session, FtpRequest& request);
    // request.object: DeletePlan. Deletes its steps in order, going on past failures; a folder whose
    // contents did not all go is not sent. Released before returning.
    static int RemoveTrees(FtpContext& session, FtpRequest& request);

    // `folder` and `name` joined with one '/'.
    static std::string JoinPath(std::string_view folder, std::string_view name);
};
