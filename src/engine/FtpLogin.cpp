#include "engine/FtpLogin.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FailureText.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpSession.h"
#include "engine/FtpTls.h"
#include "engine/PrintableText.h"
#include "platform/Resolver.h"
#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace {

constexpr std::string_view kAccountRefusal = " ... \"account\" feature NOT supported!";

// The port text's leading decimal digits; 0 (never connectable) when there are none or too many.
int PortNumber(std::string_view text) {
    return static_cast<int>(FtpProtocol::LeadingNumber(text, 65535).value_or(0));
}

// What the Host page says when the login did not succeed: the server's refusal when there was one,
// else what ended it (a TLS refusal, a lost connection).
std::string LoginFailure(FtpContext& session) {
    const FtpReply& reply = session.LastReply();
    if (reply.code == 530) {
        return "Login refused: " + session.LastReplyInWords();
    }
    if (reply.code == FtpProtocol::kLostConnection || reply.code >= 400) {
        return "Login failed: " + session.LastReplyInWords();
    }
    return "Login failed: " + session.LastMessageInWords();
}

enum class LoginNext { LoggedIn, SendPassword, Refused };

// What the login does with one reply to USER or PASS: the messages it logs, what comes next, and
// whether QUIT is sent (a connection still sane after a refusal).
struct LoginAnswer {
    std::vector<int> codes;  // empty: every other reply
    std::vector<std::string> messages;
    LoginNext next;
    bool quit;
};

// Sends `command` and acts on its reply as `answers` say.
LoginNext Answer(FtpContext& session, const std::string& command, const std::vector<LoginAnswer>& answers) {
    const int code = session.Command(command);
    const auto matches = [code](const LoginAnswer& answer) {
        return answer.codes.empty() ||
               std::find(answer.codes.begin(), answer.codes.end(), code) != answer.codes.end();
    };
    const LoginAnswer& answer = *std::find_if(answers.begin(), answers.end(), matches);
    for (std::string message : answer.messages) {
        if (const std::size_t at = message.find("{user}"); at != std::string::npos) {
            message.replace(at, 6, session.Url().user);
        }
        session.Log().LogMessage(message);
    }
    if (answer.quit) {
        session.SendCommand("QUIT");
    }
    return answer.next;
}

}  // namespace

bool FtpLogin::ConnectAndLogin(FtpContext& session, std::string& connectionText) {
    return Establish(session, connectionText, true);
}

bool FtpLogin::Reconnect(FtpContext& session) {
    session.CloseControl();
    session.ForgetConnectionState();
    session.Log().LogMessage("... reconnecting to " + session.Url().host);
    std::string connectionText;
    return Establish(session, connectionText, false);
}

bool FtpLogin::Establish(FtpContext& session, std::string& connectionText, bool showFailures) {
    BufferedSocket& control = session.Control();
    const FtpUrl& url = session.Url();
    const FtpTls::Mode tls = FtpTls::ModeOf(url.scheme);
    if (tls != FtpTls::Mode::None && !FtpTls::Prepare(session)) {
        return false;
    }
    // The buffer is given even when TCP_NODELAY is refused: the replies must be readable either way.
    bool created = control.Create();
    if (created) {
        control.SetNoDelay(true);
        created = control.AllocateBuffer(FtpSession::kControlBufferSize);
        if (!created) {
            SetLastSocketError(wsa::kNoBuffers);
        }
    }
    const std::string connecting = "Connecting to " + url.host;
    session.Status().SetStatus(connecting);
    session.Log().LogMessage(connecting);
    const int port = PortNumber(EffectivePort(url));
    bool connected = false;
    if (created) {
        if (port == 0) {
            SetLastSocketError(wsa::kAddressNotAvailable);  // no such port
        } else {
            connected = control.Connect(url.host, static_cast<std::uint16_t>(port));
        }
    }
    if (!connected) {
        const int error = LastSocketError();
        session.Log().LogMessage("... failed to connect, WinSock err = " + WinsockErrorName());
        if (showFailures) {
            session.Host().ShowFailure(
                SessionFailure::Connect,
                "Could not connect to " + Printable(url.host) + ": " + FailureText::SocketError(error));
        }
        return false;
    }
    const bool secured = tls != FtpTls::Mode::Implicit || FtpTls::SecureControl(session);
    if (!secured || Login(session) == 0 || (tls != FtpTls::Mode::None && !FtpTls::ProtectData(session)) ||
        !LearnFeatures(session)) {
        session.Status().SetStatus(std::nullopt);
        // The reason in words before the log's summary replaces the last message.
        if (showFailures) {
            session.Host().ShowFailure(SessionFailure::Login, LoginFailure(session));
        }
        session.Log().LogMessage("... failed to log in");
        return false;
    }
    const auto peer = control.PeerAddress().value_or(SocketAddress{});
    // "%s [%s:%u]" ("%s [%s]:%u" over IPv6), built without a fixed buffer so that no host name is cut short.
    connectionText = url.host + " " + BracketedEndpoint(peer.address, peer.port);
    if (tls != FtpTls::Mode::None) {
        connectionText.insert(0, url.scheme + "://");  // the user sees that the session is protected
    }
    const std::string connected2 = "Connected to " + connectionText;
    session.Status().SetStatus(connected2);
    session.Log().LogMessage(connected2);
    return true;
}

bool FtpLogin::LearnFeatures(FtpContext& session) {
    if (!session.SendCommand("FEAT")) {
        return true;
    }
    if (!session.AwaitReply()) {
        session.Log().LogMessage("... no answer to FEAT: going on without the server's features");
        return true;
    }
    FtpReply reply;
    reply.keepLines = true;
    const int code = session.ReadReply(&reply);
    if (code == FtpProtocol::kLostConnection) {
        return false;
    }
    if (code != 211) {
        return true;  // a server without FEAT: today's commands only
    }
    std::string refusal;
    session.Features() = FtpFeatures::Parse(reply.lines, &refusal);
    if (reply.linesCut && refusal.empty()) {
        session.Features() = FtpFeatures();
        refusal = "the reply is longer than " + std::to_string(FtpReply::kMaxKeptLines) + " lines";
    }
    if (!refusal.empty()) {
        session.Log().LogMessage("... FEAT reply refused: " + refusal);
        return true;
    }
    session.Log().LogMessage(session.Features().LogLine());
    if (session.Features().Has("UTF8")) {
        // Names are sent and kept as the server's bytes either way; a refusal changes nothing.
        if (session.Command("OPTS UTF8 ON") == FtpProtocol::kLostConnection) {
            return false;
        }
    }
    // For the Remote page's Permissions column; a refusal leaves the facts as they were.
    if (const std::string facts = session.Features().MlstFactsWithMode(); !facts.empty()) {
        if (session.Command("OPTS MLST " + facts) == FtpProtocol::kLostConnection) {
            return false;
        }
    }
    return true;
}

int FtpLogin::Login(FtpContext& session) {
    LogView& log = session.Log();
    const std::string& user = session.Url().user;

    switch (session.ReadReply()) {
        case 120:
            log.LogMessage("... cannot connect at this time");
            return 0;
        case 220:
            log.LogMessage("... connected, logging in");
            if (FtpTls::ModeOf(session.Url().scheme) == FtpTls::Mode::Explicit &&
                !FtpTls::RequestAuthTls(session)) {
                return 0;
            }
            break;
        case FtpProtocol::kLostConnection:
            log.LogMessage("... service not available");
            return 0;
        default:
            log.LogMessage("... <undefined response>");
            return 0;
    }

    // The USER and PASS answers, in the order the server may give them; the last row takes any other
    // reply. "{user}" stands for the user name; the PASS messages keep their leading blank.
    static const std::vector<LoginAnswer> kUserAnswers = {
        {{230}, {"... user {user} logged in"}, LoginNext::LoggedIn, false},
        {{331}, {"... user OK, need passwd"}, LoginNext::SendPassword, false},
        {{332}, {"... user OK, need acct", std::string(kAccountRefusal)}, LoginNext::Refused, true},
        {{FtpProtocol::kLostConnection}, {"... service not available"}, LoginNext::Refused, false},
        {{500, 501}, {"... command error, try again"}, LoginNext::Refused, true},
        {{530}, {"... user {user} NOT logged in"}, LoginNext::Refused, false},
        {{}, {"... <undefined response>"}, LoginNext::Refused, true},
    };
    static const std::vector<LoginAnswer> kPasswordAnswers = {
        {{202}, {" ... password NOT required"}, LoginNext::LoggedIn, false},
        {{230}, {"... user {user} logged in"}, LoginNext::LoggedIn, false},
        {{332}, {" ... passwd OK, need account", std::string(kAccountRefusal)}, LoginNext::Refused, true},
        {{FtpProtocol::kLostConnection}, {" ... service not available"}, LoginNext::Refused, false},
        {{500, 501, 503}, {" ... command error, try again"}, LoginNext::Refused, true},
        {{530}, {"... user {user} NOT logged in"}, LoginNext::Refused, false},
        {{}, {" ... <undefined response>"}, LoginNext::Refused, true},
    };
    switch (Answer(session, "USER " + user, kUserAnswers)) {
        case LoginNext::LoggedIn:
            return 1;
        case LoginNext::Refused:
            return 0;
        case LoginNext::SendPassword:
            break;
    }
    return Answer(session, "PASS " + session.Url().password, kPasswordAnswers) == LoginNext::LoggedIn ? 1 : 0;
}
