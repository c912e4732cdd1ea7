#pragma once
// The symbolic WinSock name of the calling thread's last socket error, for the end of every socket
// failure message ("... failed to connect, WinSock err = WSAECONNREFUSED").
#include <string>

// Name of `code`, or "<WSAunknown: #code>" for a code outside the table (0 included).
std::string WinsockErrorName(int code);
// Name of the calling thread's last socket error.
std::string WinsockErrorName();
