#include "sftp/SftpTransferRequests.h"

// Placeholders until the transfers land: each request fails with a line that says so.
namespace {

SftpOutcome NotYet(SftpContext& context, std::string_view what) {
    context.LogFailure("... SFTP transfers are not available yet");
    context.ShowFailure(what);
    return SftpOutcome::Failed;
}

}  // namespace

namespace SftpTransferRequests {

SftpOutcome GetFiles(SftpContext& context, FtpRequest&) {
    return NotYet(context, "Could not download");
}
SftpOutcome PutFiles(SftpContext& context, FtpRequest&) {
    return NotYet(context, "Could not upload");
}
SftpOutcome WalkDownload(SftpContext& context, FtpRequest&) {
    return NotYet(context, "Could not download");
}
SftpOutcome WalkUpload(SftpContext& context, FtpRequest&) {
    return NotYet(context, "Could not upload");
}

}  // namespace SftpTransferRequests
