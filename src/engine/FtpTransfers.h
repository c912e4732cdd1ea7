#pragma once
// Request handlers that move data: the listing of the current directory, downloads (Get) and uploads
// (Put), with the transfer type selection and the statistics message they share. Worker thread.
#include <string_view>

class FtpSession;
struct FtpRequest;

class FtpTransfers {
  public:
    // Sends the type command for `index` unless the server already has it; 200 when nothing was sent.
    static int SelectType(FtpSession& session, int index);
    static int ListDirectory(FtpSession& session, std::string_view path);
    // request.text: local folder; request.Selection(): slot indexes; request.value: transfer type.
    static int GetFiles(FtpSession& session, FtpRequest& request);
    // request.Dropped(): local paths; request.value: transfer type.
    static int PutFiles(FtpSession& session, FtpRequest& request);
};
