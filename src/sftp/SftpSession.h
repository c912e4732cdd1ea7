#pragma once
// One connection to an SFTP server behind the same face as an FTP session: the pages get an
// FtpSessionHandle and queue the same requests; a worker thread of its own connects, checks the host
// key, logs in and serves the requests in order with SftpClient. Lifetime as FtpSession's.
#include <memory>
#include <optional>
#include <vector>

#include "engine/FtpSessionHandle.h"
#include "hosts/FtpUrl.h"
#include "sftp/SshConnectOptions.h"
#include "views/SessionViews.h"

struct SftpSessionOptions {
    // After an upload the server's file gets the local file's time ("Keep file times on upload").
    bool keepUploadTimes = true;
    // A queued file that failed for a passing reason is tried again after each of these waits in turn.
    std::vector<int> retryDelaysMs = {1000, 5000, 15000};
    // While no request runs, an SSH keep-alive after this much quiet; 0: never.
    int keepAliveIdleMs = 60000;
    // Longest silence of the server while a request waits for it before the connection counts as lost.
    int silenceTimeoutMs = 60000;
    // Where to connect and which files to trust and try; unset: the URL's host, port and login with the
    // user's own ~/.ssh (SshConnectOptions::ForUser). Tests give the files of their own server.
    std::optional<SshConnectOptions> connect;
};

class SftpSession {
  public:
    // Starts a session for an "sftp" URL (port 22 unless it names one) and its worker.
    static std::shared_ptr<FtpSessionHandle> Start(FtpUrl url, SessionViews views,
                                                   SftpSessionOptions options = {});
};
