#include "engine/FtpDataConnection.h"

#include <chrono>

#include "engine/BufferedSocket.h"
#include "engine/FailureText.h"
#include "engine/FtpProtocol.h"
#include "engine/FtpReply.h"
#include "engine/FtpSession.h"
#include "engine/FtpTls.h"
#include "engine/FtpTransfers.h"
#include "platform/Resolver.h"
#include "platform/SocketError.h"
#include "platform/WinsockErrorName.h"

namespace {

constexpr int kEnteringPassive = 227;
constexpr int kEnteringExtendedPassive = 229;
// A 229 reply line longer than this is no honest one (the usual is under 50 bytes); it is refused rather
// than searched.
constexpr std::size_t kEpsvLineLimit = 128;
constexpr int kCannotOpenData = 425;
constexpr int kLostConnection = FtpProtocol::kLostConnection;
constexpr int kListenBacklog = 5;
constexpr std::string_view kDigits = "0123456789";

// Cuts the next token from `rest` the way strtok does: leading delimiters are skipped and a run of
// them counts as one.
std::optional<std::string_view> NextToken(std::string_view& rest, std::string_view delimiters) {
    const std::size_t begin = rest.find_first_not_of(delimiters);
    if (begin == std::string_view::npos) {
        rest = {};
        return std::nullopt;
    }
    const std::size_t end = rest.find_first_of(delimiters, begin);
    const std::string_view token = rest.substr(begin, end == std::string_view::npos ? end : end - begin);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return token;
}

// A token's leading number (after blanks, as atoi reads it); nothing when it has no digit or the
// number does not fit a byte.
std::optional<int> ByteValue(std::string_view token) {
    const std::size_t i = token.find_first_not_of(" \t");
    if (i == std::string_view::npos) {
        return std::nullopt;
    }
    const auto value = FtpProtocol::LeadingNumber(token.substr(i), 255);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

// What an active-mode wait makes of the replies waiting on the control connection: it gives up once the
// server has answered the transfer command instead of connecting (a line starting with 2, 4 or 5 before
// any line that is no preliminary 1xx reply) or has closed the connection; a preliminary reply, or
// anything it does not understand, leaves the connection to come.
Socket::WatchVerdict FinalReplyArrived(std::string_view waiting, bool closed) {
    if (closed) {
        return Socket::WatchVerdict::GiveUp;
    }
    bool lineStart = true;
    for (const char c : waiting) {
        if (lineStart) {
            if (c == '2' || c == '4' || c == '5') {
                return Socket::WatchVerdict::GiveUp;
            }
            if (c != '1') {
                return Socket::WatchVerdict::Keep;
            }
        }
        lineStart = c == '\n';
    }
    return Socket::WatchVerdict::Keep;
}

// A data connection that was not opened, with the last reply read while trying (0 when none).
FtpStep NotOpened(int reply) {
    return {reply == kLostConnection ? FtpStep::Status::Stopped : FtpStep::Status::Failed, reply};
}

// Logs a failed connect or accept unless the wait was ended on purpose (Abort, Stop).
void LogSocketFailure(FtpContext& session, std::string_view what) {
    if (LastSocketError() == wsa::kInterrupted) {
        return;
    }
    std::string message = "... ";
    message.append(what);
    message += " failed, WinSock err = ";
    message += WinsockErrorName();
    session.LogFailure(message, "no data connection: " + FailureText::SocketError(LastSocketError()));
}

// `named`: the address a 227 reply named (an EPSV reply names none).
bool OpenPassive(FtpContext& session, std::string_view command, BufferedSocket& data,
                 const std::optional<std::string>& named, std::uint16_t port) {
    // The server's own address, never the one the reply names: a reply must not be able to send the
    // client to another host.
    const auto server = session.Control().PeerAddress();
    if (!server) {
        LogSocketFailure(session, "Connect");
        return false;
    }
    if (!session.SendCommand(command)) {
        return false;  // refused before sending; no reply will come
    }
    // Abort does not end this connect (the time-out and Stop still do): the transfer command is out, and
    // a connection given up on would leave its answer to come in the middle of a later command's reply.
    // With the connection made, the transfer is read and ended as any other.
    session.PrepareDataSocket(data, false);
    (void)data.Create();  // a failure shows in the connect that follows
    if (named && *named != server->address) {
        session.Log().LogMessage("... PASV reply names " + *named + "; connecting to " + server->address +
                                 " instead");
    }
    if (!data.Connect(server->address, port)) {
        LogSocketFailure(session, "Connect");
        data.Close();
        return false;
    }
    session.PrepareDataSocket(data);
    session.Log().LogMessage("Connected to " + BracketedEndpoint(server->address, port) + " for DATA");
    return true;
}

FtpStep OpenActive(FtpContext& session, std::string_view command, BufferedSocket& data) {
    Socket listener;
    session.PrepareDataSocket(listener);
    session.PrepareDataSocket(data);
    const auto local = session.Control().LocalAddress();
    // Over IPv6 the server connects back to the control connection's own address, so listen there.
    const bool extended = local && IsIPv6Text(local->address);
    std::optional<SocketAddress> listening;
    if (local && (extended ? listener.Create(0, Socket::kStream, local->address) : listener.Create())) {
        listening = listener.LocalAddress();
    }
    if (!listening || !listener.Listen(kListenBacklog)) {
        LogSocketFailure(session, "Listen");
        return NotOpened(0);
    }
    const int portReply =
        session.Command(extended ? FtpDataConnection::FormatEprtCommand(local->address, listening->port)
                                 : FtpDataConnection::FormatPortCommand(local->address, listening->port));
    // Whether the server accepts PORT is left to the accept; a lost connection is not.
    if (portReply == kLostConnection || !session.SendCommand(command)) {
        return NotOpened(portReply);
    }
    const auto server = session.Control().PeerAddress();
    if (!server) {
        LogSocketFailure(session, "Accept");
        return NotOpened(portReply);
    }
    // Only the server may connect: a connection from anywhere else is closed and the wait goes on, within
    // the bound that the first wait began.
    using Clock = std::chrono::steady_clock;
    const int timeoutMs = listener.Timeout();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool refused = false;
        if (!listener.Accept(data, session.Control(), FinalReplyArrived, &refused)) {
            data.Close();
            if (refused) {
                // The server answered the transfer command instead of connecting: take that answer now
                // (through any preliminary reply), so it is neither waited out nor mistaken later for
                // the reply to another command.
                int reply = 0;
                do {
                    reply = session.ReadReply();
                } while (reply >= 100 && reply < 200);
                return NotOpened(reply);
            }
            LogSocketFailure(session, "Accept");
            return NotOpened(portReply);
        }
        const auto peer = data.PeerAddress();
        if (peer && peer->address == server->address) {
            break;
        }
        session.Log().LogMessage("... Refused DATA connection from " +
                                 (peer ? BracketedEndpoint(peer->address, peer->port) : std::string("[?]")) +
                                 ": not the server");
        data.Close();
        if (timeoutMs > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            // At least one more look: a wait of 0 would mean no bound at all.
            listener.SetTimeout(left > 0 ? static_cast<int>(left) : 1);
        }
    }
    session.Log().LogMessage("Accepted connection on " + BracketedEndpoint(local->address, listening->port) +
                             " for DATA");
    return {};
}

}  // namespace

std::string PasvReply::DottedAddress() const {
    return std::to_string(address[0]) + '.' + std::to_string(address[1]) + '.' + std::to_string(address[2]) +
           '.' + std::to_string(address[3]);
}

std::optional<PasvReply> FtpDataConnection::ParsePasvReply(std::string_view line) {
    std::string_view rest = line.size() > 3 ? line.substr(3) : std::string_view();
    const std::size_t first = rest.find_first_of(kDigits);
    rest = first == std::string_view::npos ? std::string_view() : rest.substr(first);
    std::array<int, 6> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const auto token = NextToken(rest, i + 1 < numbers.size() ? std::string_view(",") : ")\"");
        const auto value = token ? ByteValue(*token) : std::nullopt;
        if (!value) {
            return std::nullopt;
        }
        numbers[i] = *value;
    }
    PasvReply reply;
    for (std::size_t i = 0; i < reply.address.size(); ++i) {
        reply.address[i] = numbers[i];
    }
    reply.port = static_cast<std::uint16_t>(numbers[4] * 256 + numbers[5]);
    if (reply.port == 0) {
        return std::nullopt;
    }
    return reply;
}

std::string FtpDataConnection::FormatPortCommand(std::string_view dottedAddress, std::uint16_t port) {
    std::string command = "PORT ";
    std::string_view rest = dottedAddress;
    while (const auto token = NextToken(rest, ".")) {
        command.append(*token);
        command += ',';
    }
    command += std::to_string(port / 256);
    command += ',';
    command += std::to_string(port % 256);
    return command;
}

std::optional<std::uint16_t> FtpDataConnection::ParseEpsvReply(std::string_view line) {
    if (line.size() > kEpsvLineLimit) {
        return std::nullopt;
    }
    const std::size_t open = line.find('(', line.size() > 3 ? 3 : line.size());
    if (open == std::string_view::npos || open + 1 >= line.size()) {
        return std::nullopt;
    }
    // "(<d><d><d>port<d>)": the protocol and address fields stay empty, the server's own address is used.
    const char delimiter = line[open + 1];
    if (delimiter < 33 || delimiter > 126) {
        return std::nullopt;
    }
    std::string_view rest = line.substr(open + 1);
    if (rest.size() < 3 || rest[1] != delimiter || rest[2] != delimiter) {
        return std::nullopt;
    }
    rest.remove_prefix(3);
    const std::size_t end = rest.find(delimiter);
    if (end == std::string_view::npos || end == 0 || end > 5 || end + 1 >= rest.size() ||
        rest[end + 1] != ')') {
        return std::nullopt;
    }
    const std::string_view digits = rest.substr(0, end);
    if (digits.find_first_not_of(kDigits) != std::string_view::npos) {
        return std::nullopt;
    }
    const auto port = FtpProtocol::LeadingNumber(digits, 65535);
    if (!port || *port == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*port);
}

std::string FtpDataConnection::FormatEprtCommand(std::string_view address, std::uint16_t port) {
    // A zone ("%eth0") only means something on this host.
    address = address.substr(0, address.find('%'));
    std::string command = IsIPv6Text(address) ? "EPRT |2|" : "EPRT |1|";
    command.append(address);
    command += '|';
    command += std::to_string(port);
    command += '|';
    return command;
}

FtpStep FtpDataConnection::Open(FtpContext& session, std::string_view command, BufferedSocket& data) {
    if (const FtpStep opened = OpenConnection(session, command, data); opened.status != FtpStep::Status::Ok) {
        return opened;
    }
    if (!session.Tls() || FtpTls::SecureData(session, data)) {
        return {};
    }
    data.CloseAbortive();
    // The server answers the transfer command once it sees the handshake fail: that answer belongs to
    // this request, not to the next command.
    int reply = 0;
    do {
        reply = session.ReadReply();
    } while (reply >= 100 && reply < 200);
    // Whatever the server says of it, a transfer whose data connection was refused here moved nothing.
    session.NoteFailure(session.LastMessageInWords());
    if (reply < 400) {
        reply = FtpTransfers::kDataFailure;
    }
    return NotOpened(reply);
}

FtpStep FtpDataConnection::OpenConnection(FtpContext& session, std::string_view command,
                                          BufferedSocket& data) {
    int reply = 0;
    if (session.Passive()) {
        // IPv6 has no place in a 227 reply: there the extended command is the only one.
        const auto peer = session.Control().PeerAddress();
        const bool extended = peer && IsIPv6Text(peer->address);
        FtpReply pasv;
        reply = session.Command(extended ? "EPSV" : "PASV", &pasv);
        if (reply == kCannotOpenData) {
            session.Log().LogMessage("... Can't open PASSIVEly; trying PORT");
            session.ClearPassive();
        } else {
            // A reply that does not name a usable port is treated like any refusal.
            std::optional<std::uint16_t> port;
            std::optional<std::string> named;
            if (extended && reply == kEnteringExtendedPassive) {
                port = ParseEpsvReply(pasv.lastLine);
            } else if (!extended && reply == kEnteringPassive) {
                if (const auto parsed = ParsePasvReply(pasv.lastLine)) {
                    port = parsed->port;
                    named = parsed->DottedAddress();
                }
            }
            if (!port) {
                session.LogFailure("... [DATA] connection CLOSED",
                                   reply >= 400 ? FailureText::ReplyLine(pasv.lastLine)
                                                : std::string("no data connection: the reply to ") +
                                                      (extended ? "EPSV" : "PASV") + " names no usable port");
                return NotOpened(reply);
            }
            return OpenPassive(session, command, data, named, *port) ? FtpStep{} : NotOpened(reply);
        }
    }
    FtpStep active = OpenActive(session, command, data);
    if (active.status != FtpStep::Status::Ok && active.reply == 0) {
        active.reply = reply;  // the passive refusal, when the fallback failed before any reply of its own
    }
    return active;
}
