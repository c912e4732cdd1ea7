#include "engine/FtpDataConnection.h"

#include "engine/BufferedSocket.h"
#include "engine/FtpSession.h"

bool FtpDataConnection::Open(FtpSession& /*session*/, std::string_view /*command*/,
                             BufferedSocket& /*data*/) {
    return false;  // not built yet
}
