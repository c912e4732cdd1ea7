#pragma once
// The SFTP session's transfers: Get and Put of queue rows (and of a plain selection or drop), resumes,
// retries of passing failures, progress and statistics, and the walks that plan folder-tree transfers.
// Binary only: a request for ASCII type is refused with a log line.
#include "engine/FtpRequest.h"
#include "sftp/SftpContext.h"

namespace SftpTransferRequests {

SftpOutcome GetFiles(SftpContext& context, FtpRequest& request);
SftpOutcome PutFiles(SftpContext& context, FtpRequest& request);
SftpOutcome WalkDownload(SftpContext& context, FtpRequest& request);
SftpOutcome WalkUpload(SftpContext& context, FtpRequest& request);

}  // namespace SftpTransferRequests
