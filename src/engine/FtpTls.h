#pragma once
// TLS for a session on an "ftpes" (AUTH TLS after the greeting) or "ftps" (TLS from the first byte) URL:
// the control connection's handshake and certificate check (asking the user when the trust store does
// not vouch for it), the data protection commands, and every data connection's handshake, which offers a
// session the server handed out (one not offered before, else the control connection's) so that servers
// demanding session reuse accept it.
#include <string_view>

class BufferedSocket;
class FtpContext;

class FtpTls {
  public:
    enum class Mode { None, Explicit, Implicit };
    static Mode ModeOf(std::string_view scheme);

    // Makes the session's TLS configuration; false (logged) when the library cannot.
    static bool Prepare(FtpContext& session);
    // After the greeting on an explicit URL: AUTH TLS, then the handshake. False (logged) when the server
    // refuses or the handshake or the certificate fails: the session must end before USER.
    static bool RequestAuthTls(FtpContext& session);
    // The control connection's handshake and certificate check. False (logged) when it failed or the user
    // refused the certificate.
    static bool SecureControl(FtpContext& session);
    // After login: PBSZ 0 and PROT P. False (logged) when the server will not protect the data.
    static bool ProtectData(FtpContext& session);
    // The data connection's handshake, resuming the session, and the check that it shows the control
    // connection's certificate. False (logged unless Abort or Stop ended it) on failure.
    static bool SecureData(FtpContext& session, BufferedSocket& data);
};
