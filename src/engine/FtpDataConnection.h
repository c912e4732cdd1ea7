#pragma once
// Opens the data connection of one listing or transfer around its command: PASV (the client connects)
// while the session is passive, otherwise PORT (the server connects to a socket the client listens on).
#include <string_view>

class BufferedSocket;
class FtpSession;

class FtpDataConnection {
  public:
    // True when `data` is connected and `command` ("LIST", "RETR path", "STOR name") has been sent.
    // `data` comes in unopened and leaves without a buffer; session.PrepareDataSocket bounds its waits.
    static bool Open(FtpSession& session, std::string_view command, BufferedSocket& data);
};
