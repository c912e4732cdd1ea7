#include "engine/FtpTls.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/BufferedSocket.h"
#include "engine/FtpContext.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpSession.h"
#include "engine/PrintableText.h"
#include "hosts/TrustedCertificates.h"
#include "platform/SocketError.h"
#include "platform/TlsConnection.h"
#include "platform/TlsContext.h"
#include "platform/WinsockErrorName.h"

namespace {

constexpr int kAuthAccepted = 234;
// How often the wait for the user's answer looks whether the session is being stopped.
constexpr auto kAnswerPoll = std::chrono::milliseconds(50);

// Where the user's answer arrives, from whichever thread gives it.
struct PendingAnswer {
    std::mutex mutex;
    std::condition_variable given;
    std::optional<CertificateTrust> answer;
};

std::uint16_t ControlPort(FtpContext& session) {
    const auto peer = session.Control().PeerAddress();
    return peer ? peer->port : 0;
}

std::string Endpoint(std::string_view host, std::uint16_t port) {
    return std::string(host) + ":" + std::to_string(port);
}

void LogHandshakeFailure(FtpContext& session, std::string_view channel, const Socket& socket) {
    std::string message = "... ";
    message.append(channel);
    message += "TLS handshake failed: ";
    message += Printable(socket.TlsError());
    if (LastSocketError() != wsa::kConnectionAborted) {
        message += ", WinSock err = " + WinsockErrorName();
    }
    session.Log().LogMessage(message);
}

CertificateTrust AskUser(FtpContext& session, CertificateQuestion question) {
    auto pending = std::make_shared<PendingAnswer>();
    session.Host().AskCertificateTrust(question, [pending](CertificateTrust answer) {
        std::lock_guard lock(pending->mutex);
        if (!pending->answer) {
            pending->answer = answer;
        }
        pending->given.notify_all();
    });
    std::unique_lock lock(pending->mutex);
    while (!pending->answer) {
        if (session.StopRequested()) {
            return CertificateTrust::Cancel;
        }
        pending->given.wait_for(lock, kAnswerPoll);
    }
    return *pending->answer;
}

// Decides on a certificate the trust store did not vouch for: a fingerprint the user stored, or the user.
bool AcceptUnverified(FtpContext& session, const CertificateInfo& certificate) {
    const std::string& host = session.Url().host;
    const std::uint16_t port = ControlPort(session);
    LogView& log = session.Log();
    log.LogMessage("... certificate NOT verified: " + Printable(certificate.problem));
    const auto& trusted = session.Options().trustedCertificates;
    const auto stored =
        trusted ? trusted->Check(host, port, certificate.fingerprint) : TrustedCertificates::Match::None;
    if (stored == TrustedCertificates::Match::Same) {
        log.LogMessage("... certificate trusted: its fingerprint is stored for " + Endpoint(host, port));
        return true;
    }
    if (stored == TrustedCertificates::Match::Changed) {
        log.LogMessage("... certificate CHANGED since it was trusted for " + Endpoint(host, port));
    }
    const CertificateTrust answer = AskUser(
        session, CertificateQuestion{host, port, certificate, stored == TrustedCertificates::Match::Changed});
    switch (answer) {
        case CertificateTrust::ThisTime:
            log.LogMessage("... certificate trusted this time");
            return true;
        case CertificateTrust::Always:
            if (trusted && trusted->Remember(host, port, certificate.fingerprint)) {
                log.LogMessage("... certificate trusted always for " + Endpoint(host, port));
            } else {
                log.LogMessage("... certificate trusted for this session (it could not be stored)");
            }
            return true;
        case CertificateTrust::Cancel:
            break;
    }
    log.LogMessage("... certificate refused, not logging in");
    return false;
}

}  // namespace

FtpTls::Mode FtpTls::ModeOf(std::string_view scheme) {
    if (scheme == "ftpes") {
        return Mode::Explicit;
    }
    if (scheme == "ftps") {
        return Mode::Implicit;
    }
    return Mode::None;
}

bool FtpTls::Prepare(FtpContext& session) {
    std::string error;
    auto context = TlsContext::Create(
        TlsOptions{session.Options().tlsTrustFile, session.Options().tlsMaxVersion}, error);
    if (!context) {
        session.Log().LogMessage("... TLS not available: " + error);
        return false;
    }
    session.SetTls(std::move(context));
    return true;
}

bool FtpTls::RequestAuthTls(FtpContext& session) {
    const int reply = session.Command("AUTH TLS");
    if (reply != kAuthAccepted) {
        if (reply != FtpProtocol::kLostConnection) {
            // Going on in plain text would send the password in clear: the session ends instead.
            session.Log().LogMessage("... AUTH TLS refused, not logging in without TLS");
            session.SendCommand("QUIT");
        } else {
            session.Log().LogMessage("... service not available");
        }
        return false;
    }
    // Anything the server sent after 234 would be plain text where TLS must begin.
    if (session.Control().Buffered() > 0) {
        session.Log().LogMessage("... TLS handshake failed: the server sent text after accepting AUTH TLS");
        return false;
    }
    return SecureControl(session);
}

bool FtpTls::SecureControl(FtpContext& session) {
    BufferedSocket& control = session.Control();
    if (!control.StartTls(session.Tls(), session.Url().host, false)) {
        LogHandshakeFailure(session, "", control);
        return false;
    }
    TlsConnection& tls = *control.Tls();
    session.Log().LogMessage("... " + tls.ProtocolAndCipher());
    const CertificateInfo certificate = tls.PeerCertificate();
    // A reconnection inside the session meets the certificate the user accepted for it already.
    const bool acceptedBefore =
        !session.AcceptedFingerprint().empty() && certificate.fingerprint == session.AcceptedFingerprint();
    if (!certificate.problem.empty() && !acceptedBefore && !AcceptUnverified(session, certificate)) {
        return false;
    }
    session.SetAcceptedFingerprint(certificate.fingerprint);
    return true;
}

bool FtpTls::ProtectData(FtpContext& session) {
    const int size = session.Command("PBSZ 0");
    if (size == FtpProtocol::kLostConnection) {
        return false;
    }
    const int protection = size / 100 == 2 ? session.Command("PROT P") : size;
    if (protection / 100 != 2) {
        if (protection != FtpProtocol::kLostConnection) {
            session.Log().LogMessage("... data protection refused, not transferring without TLS");
            session.SendCommand("QUIT");
        }
        return false;
    }
    return true;
}

bool FtpTls::SecureData(FtpContext& session, BufferedSocket& data) {
    if (!data.StartTls(session.Tls(), session.Url().host, true)) {
        if (LastSocketError() != wsa::kInterrupted) {
            LogHandshakeFailure(session, "[DATA] ", data);
        }
        return false;
    }
    TlsConnection& tls = *data.Tls();
    // Only the server whose certificate was accepted for the control connection may carry the data.
    const CertificateInfo certificate = tls.PeerCertificate();
    if (certificate.fingerprint != session.AcceptedFingerprint()) {
        session.Log().LogMessage("... [DATA] TLS refused: the certificate is not the control connection's");
        return false;
    }
    session.Log().LogMessage("... " + tls.ProtocolAndCipher() +
                             (tls.SessionReused() ? ", session reused" : ""));
    return true;
}
