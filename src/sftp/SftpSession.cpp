#include "sftp/SftpSession.h"

// Placeholder until the worker lands: the session ends at once with a reason the Host page shows.
std::shared_ptr<FtpSessionHandle> SftpSession::Start(FtpUrl /*url*/, SessionViews views,
                                                     SftpSessionOptions /*options*/) {
    views.host.ShowFailure(SessionFailure::Connect, "SFTP sessions are not available yet");
    views.host.ResetAfterSession();
    views.remote.ResetAfterSession();
    return nullptr;
}
