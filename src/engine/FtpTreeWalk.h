#pragma once
// The walk of a Get holding folders and links: lists each server folder of the selected trees once,
// follows links to folders once (a folder reached again ends there), and posts the download's
// TransferPlan to the Remote page. Worker thread; returns the request's last reply code (421 ends the
// session).
#include <optional>
#include <string>
#include <string_view>

class FtpContext;
struct FtpRequest;

class FtpTreeWalk {
  public:
    // request.text: the chosen local folder; request.object: FolderSelection (released before
    // returning); request.value: transfer type. Posts the plan (stopped, when Escape ended the walk) unless
    // the connection was lost. The session is back in the folder it was in.
    static int WalkDownload(FtpContext& session, FtpRequest& request);

    // Where CWD into `path` leads, by the server's word (PWD); nothing when the server refused the CWD
    // (not a folder). `result` is the last reply's code; `moved` is set once a CWD succeeded.
    static std::optional<std::string> RealFolder(FtpContext& session, std::string_view path, int& result,
                                                 bool& moved);
    // The "unique" fact of the folder at `path` (MLST), turning the fact on where the server offers it
    // but does not send it; "" when there is none. It tells a link to a folder from the folder in
    // listings that show links as what they lead to. Nothing is sent without MLST.
    static std::string FolderUnique(FtpContext& session, const std::string& path);
};
