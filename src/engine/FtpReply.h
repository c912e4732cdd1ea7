#pragma once
// What ReadReply hands back besides the numeric code: the three code characters and the reply's last line.
#include <string>

#include "engine/FtpProtocol.h"

struct FtpReply {
    int code = 421;
    std::string codeText = "421";
    std::string lastLine;  // left unchanged when the read fails

    bool IsPositive() const { return FtpProtocol::IsPositiveCompletion(code); }
};
