#pragma once
// Request handlers that change the remote directory (ChangeDir, UpOneLevel, the first request after
// login) and delete remote files (Delete). Worker thread; each returns the request's last reply code.
#include <optional>
#include <string>
#include <string_view>

class FtpContext;
struct FtpRequest;

class FtpDirectoryCommands {
  public:
    // path "" stays in the current directory; ".." sends CDUP; with `fallBackToParent` a refused path
    // is followed by its parent.
    // Ends with PWD and the cached (EnterDirectory) or a fresh listing of the directory it names.
    static int ChangeDirectory(FtpContext& session, std::string_view path, bool fallBackToParent);
    // request.Selection() holds the slot indexes to delete; the handler releases it.
    static int DeleteFiles(FtpContext& session, FtpRequest& request);

    // The directory a 257 reply line names: from the first double quote after the code (and any quotes
    // right after it) up to the next quote or the end. nullopt when the line holds no quote.
    static std::optional<std::string> DirectoryFromPwdReply(std::string_view line);
};
