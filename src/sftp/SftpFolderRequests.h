#pragma once
// The SFTP session's folder requests: entering a folder and listing it for the Remote page, deleting
// files, new folder, rename, and the walk and removal of folder trees for a Delete.
#include <string_view>

#include "engine/FtpRequest.h"
#include "sftp/SftpContext.h"

namespace SftpFolderRequests {

// Enters `path` (relative to the current folder, ".." for the parent) and lists it for the Remote page;
// `fallBackToParent`: the session's first folder, whose parent is listed when it cannot be entered.
SftpOutcome ChangeDirectory(SftpContext& context, std::string_view path, bool fallBackToParent);
SftpOutcome DeleteFiles(SftpContext& context, FtpRequest& request);
SftpOutcome MakeFolder(SftpContext& context, FtpRequest& request);
SftpOutcome Rename(SftpContext& context, FtpRequest& request);
SftpOutcome WalkTrees(SftpContext& context, FtpRequest& request);
SftpOutcome RemoveTrees(SftpContext& context, FtpRequest& request);

}  // namespace SftpFolderRequests
