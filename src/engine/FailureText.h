#pragma once
// The reasons a page shows where the user acted, in words: what failed and what the server or the
// network said, without the log's markers ("Login refused: 530 Login incorrect.").
#include <string>
#include <string_view>

namespace FailureText {

// A socket failure in words with its WinSock name: "connection refused (WSAECONNREFUSED)".
std::string SocketError(int winsockCode);
// A reply line as a page may show it: control characters escaped, trailing blanks dropped.
std::string ReplyLine(std::string_view line);
// The system's text for an errno value ("No such file or directory").
std::string SystemError(int error);
// A log message without its leading "... " marker.
std::string Message(std::string_view message);

}  // namespace FailureText
