#pragma once
// The calling thread's last socket error, kept as a WinSock error number so that every message names
// it the same way ("WSAECONNREFUSED"); translations from errno and from resolver (EAI_*) codes.

namespace wsa {
constexpr int kInterrupted = 10004;          // WSAEINTR
constexpr int kFault = 10014;                // WSAEFAULT
constexpr int kInvalidArgument = 10022;      // WSAEINVAL
constexpr int kTooManyFiles = 10024;         // WSAEMFILE
constexpr int kWouldBlock = 10035;           // WSAEWOULDBLOCK
constexpr int kNotSocket = 10038;            // WSAENOTSOCK
constexpr int kMessageTooLong = 10040;       // WSAEMSGSIZE
constexpr int kAddressNotAvailable = 10049;  // WSAEADDRNOTAVAIL
constexpr int kNoBuffers = 10055;            // WSAENOBUFS
constexpr int kConnectionAborted = 10053;    // WSAECONNABORTED
constexpr int kConnectionReset = 10054;      // WSAECONNRESET
constexpr int kNotConnected = 10057;         // WSAENOTCONN
constexpr int kTimedOut = 10060;             // WSAETIMEDOUT
constexpr int kConnectionRefused = 10061;    // WSAECONNREFUSED
constexpr int kHostNotFound = 11001;         // WSAHOST_NOT_FOUND
constexpr int kTryAgain = 11002;             // WSATRY_AGAIN
constexpr int kNoRecovery = 11003;           // WSANO_RECOVERY
constexpr int kNoData = 11004;               // WSANO_DATA
}  // namespace wsa

int LastSocketError();
void SetLastSocketError(int winsockCode);

// errno value -> WinSock number (0 stays 0; values with no WinSock counterpart become WSAEINVAL).
int WinsockCodeFromErrno(int errnoValue);
// getaddrinfo/getnameinfo result (with errno for EAI_SYSTEM) -> WinSock number.
int WinsockCodeFromResolver(int eaiCode, int errnoValue);

// Shorthands that store the translation as the thread's last error.
void SetLastSocketErrorFromErrno(int errnoValue);
void SetLastSocketErrorFromResolver(int eaiCode, int errnoValue);
