#pragma once
// The first step of a session's worker: open the control connection to the URL's host and port, then log
// in with the URL's user name and password (no ACCT: a server that asks for an account is refused).
#include <string>

class FtpContext;

class FtpLogin {
  public:
    // Connects and logs in. On success `connectionText` is "host [a.b.c.d:port]" and true is returned;
    // every failure has been reported and the session must end.
    static bool ConnectAndLogin(FtpContext& session, std::string& connectionText);
    // Inside a running session whose control connection was lost: closes what is left of it, connects
    // and logs in again as the first login did (TLS, FEAT, OPTS). The failures are logged, not shown on
    // the Host page; false when the session could not be restored.
    static bool Reconnect(FtpContext& session);
    // Reads the greeting and conducts USER/PASS; 1 when logged in, 0 otherwise.
    static int Login(FtpContext& session);
    // After the login: FEAT, the features kept for the session, and OPTS UTF8 ON when UTF8 is listed. A
    // refusal or silence (within the control time-out) leaves the session without features; false only
    // when the connection was lost (or the server said it closes it).
    static bool LearnFeatures(FtpContext& session);

  private:
    // ConnectAndLogin; `showFailures`: the Host page is told why it failed.
    static bool Establish(FtpContext& session, std::string& connectionText, bool showFailures);
};
