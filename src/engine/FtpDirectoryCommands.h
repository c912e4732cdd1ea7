#pragma once
// Request handlers that change the remote directory (ChangeDir, UpOneLevel, the first request after
// login) and delete remote files (Delete). Worker thread; each returns the request's last reply code.
#include <string_view>

class FtpSession;
struct FtpRequest;

class FtpDirectoryCommands {
  public:
    // path "" stays in the current directory; ".." sends CDUP; fallBack 1 tries the parent on refusal.
    static int ChangeDirectory(FtpSession& session, std::string_view path, int fallBack);
    // request.Selection() holds the slot indexes to delete; the handler releases it.
    static int DeleteFiles(FtpSession& session, FtpRequest& request);
};
