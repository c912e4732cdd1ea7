#include "engine/FtpTransfers.h"

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"

namespace {
// Until the handlers are built: "command not implemented", so the loop carries on.
constexpr int kNotBuilt = 502;
}  // namespace

int FtpTransfers::SelectType(FtpSession& /*session*/, int /*index*/) {
    return kNotBuilt;
}

int FtpTransfers::ListDirectory(FtpSession& /*session*/, std::string_view /*path*/) {
    return kNotBuilt;
}

int FtpTransfers::GetFiles(FtpSession& /*session*/, FtpRequest& request) {
    request.object.reset();
    return kNotBuilt;
}

int FtpTransfers::PutFiles(FtpSession& /*session*/, FtpRequest& request) {
    request.object.reset();
    return kNotBuilt;
}
