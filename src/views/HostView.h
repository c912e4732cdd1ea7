#pragma once
// What the session worker and the ping thread tell the Host page.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/CertificateInfo.h"
#include "sftp/SshPrompts.h"

// The user's answer to a certificate that failed verification.
enum class CertificateTrust { Cancel, ThisTime, Always };

struct CertificateQuestion {
    std::string host;  // as the URL named it
    std::uint16_t port = 0;
    CertificateInfo certificate;
    // A fingerprint stored for this host and port no longer matches: the certificate has changed.
    bool changed = false;
};

// What went wrong with a session: reaching the server, logging in, or the connection after login.
enum class SessionFailure { Connect, Login, Lost };

class HostView {
  public:
    virtual ~HostView() = default;
    // After a successful login, with the "%s [%s:%u]" connection text.
    virtual void ShowConnected(std::string_view connectionText) = 0;
    // After the session has ended, whatever ended it; the page drops its session pointer here.
    virtual void ResetAfterSession() = 0;
    // When a ping thread has finished.
    virtual void PingFinished() = 0;
    // Session worker, before ResetAfterSession: why the session could not begin or why it ended early
    // ("Login refused: 530 Login incorrect."), for the page where the user connected to show.
    virtual void ShowFailure(SessionFailure /*what*/, std::string_view /*reason*/) {}
    // Session worker: the server's certificate failed verification; ask the user whether to go on. Must
    // not wait for the user: `answer` is called later, at most once, on any thread. The worker waits for
    // it until Stop; an answer never given (the window closed) counts as Cancel at Stop.
    virtual void AskCertificateTrust(const CertificateQuestion& question,
                                     std::function<void(CertificateTrust)> answer) = 0;
    // SFTP session worker: the server's host key is in no known_hosts file; ask the user ("Connect
    // once", "Always", "Cancel"). As AskCertificateTrust: never waits, `answer` at most once, any thread.
    virtual void AskHostKey(const SshHostKey& /*key*/, std::function<void(HostKeyAnswer)> answer) {
        answer(HostKeyAnswer::Cancel);
    }
    // SFTP session worker: the passphrase of an encrypted key file; nullopt when the user declines.
    virtual void AskPassphrase(const std::string& /*keyPath*/,
                               std::function<void(std::optional<std::string>)> answer) {
        answer(std::nullopt);
    }
};
