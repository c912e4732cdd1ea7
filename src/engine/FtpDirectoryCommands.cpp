#include "engine/FtpDirectoryCommands.h"

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"

namespace {
// Until the handlers are built: "command not implemented", so the loop carries on.
constexpr int kNotBuilt = 502;
}  // namespace

int FtpDirectoryCommands::ChangeDirectory(FtpSession& /*session*/, std::string_view /*path*/,
                                          int /*fallBack*/) {
    return kNotBuilt;
}

int FtpDirectoryCommands::DeleteFiles(FtpSession& /*session*/, FtpRequest& request) {
    request.object.reset();
    return kNotBuilt;
}
