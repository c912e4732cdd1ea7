#pragma once
// Opens the data connection of one listing or transfer around its command: PASV (the client connects)
// while the session is passive, otherwise PORT (the server connects to a socket the client listens on);
// over IPv6 EPSV and EPRT take their places. On a TLS session the connection then becomes TLS too.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/FtpStep.h"

class BufferedSocket;
class FtpContext;

// The six numbers of a 227 reply.
struct PasvReply {
    std::array<int, 4> address{};
    std::uint16_t port = 0;

    std::string DottedAddress() const;
};

class FtpDataConnection {
  public:
    // Ok when `data` is connected and `command` ("LIST", "RETR path", "STOR name") has been sent.
    // `data` comes in unopened and leaves without a buffer; its waits are bounded by the session's data
    // time-out and ended by Abort. Otherwise the step carries the code of the last reply read (PASV or
    // PORT, or in active mode the refusal of the transfer command that came instead of the server's
    // connection; 0 when none was read), and is Stopped when that reply (421) lost the control connection.
    static FtpStep Open(FtpContext& session, std::string_view command, BufferedSocket& data);

    // The address and port of a 227 reply line: the scan starts at the first digit after the code; five
    // numbers end at ',' and the sixth at ')' or '"'. Nothing when a number is missing or above 255, or
    // the port is 0.
    static std::optional<PasvReply> ParsePasvReply(std::string_view line);
    // "PORT a,b,c,d,hi,lo" for a dotted local address and a port.
    static std::string FormatPortCommand(std::string_view dottedAddress, std::uint16_t port);
    // The port of a 229 reply line: "(" then a delimiter (printable ASCII 33-126) three times, the port
    // (1-65535) in decimal, the delimiter again and ")". Nothing for any other form, an address in the
    // reply, or a line too long to be honest.
    static std::optional<std::uint16_t> ParseEpsvReply(std::string_view line);
    // "EPRT |2|address|port|" for an IPv6 local address ("|1|" for dotted IPv4); a zone is left out.
    static std::string FormatEprtCommand(std::string_view address, std::uint16_t port);

  private:
    // Open without TLS: the connection made and the command sent.
    static FtpStep OpenConnection(FtpContext& session, std::string_view command, BufferedSocket& data);
};
