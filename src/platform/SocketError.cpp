#include "platform/SocketError.h"

#include <netdb.h>

#include <cerrno>

namespace {
thread_local int lastSocketError = 0;
}

int LastSocketError() { return lastSocketError; }

void SetLastSocketError(int winsockCode) { lastSocketError = winsockCode; }

int WinsockCodeFromErrno(int errnoValue) {
    switch (errnoValue) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return 10024;
        case EWOULDBLOCK: return 10035;
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return wsa::kMessageTooLong;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return wsa::kAddressNotAvailable;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET:
        case EPIPE: return 10054;
        case ENOBUFS:
        case ENOMEM: return wsa::kNoBuffers;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case ENOTEMPTY: return 10066;
        case EUSERS: return 10068;
        case EDQUOT: return 10069;
        case ESTALE: return 10070;
        case EREMOTE: return 10071;
        default: return 10022;
    }
}

int WinsockCodeFromResolver(int eaiCode, int errnoValue) {
    switch (eaiCode) {
        case 0: return 0;
        case EAI_NONAME: return 11001;
#ifdef EAI_NODATA
        case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return 11004;
#endif
        case EAI_AGAIN: return 11002;
        case EAI_FAIL: return 11003;
        case EAI_MEMORY: return wsa::kNoBuffers;
        case EAI_SYSTEM: return WinsockCodeFromErrno(errnoValue);
        default: return 11003;
    }
}

void SetLastSocketErrorFromErrno(int errnoValue) { SetLastSocketError(WinsockCodeFromErrno(errnoValue)); }

void SetLastSocketErrorFromResolver(int eaiCode, int errnoValue) {
    SetLastSocketError(WinsockCodeFromResolver(eaiCode, errnoValue));
}
