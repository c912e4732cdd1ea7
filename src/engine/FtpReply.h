#pragma once
// What ReadReply hands back besides the numeric code: the three code characters, the reply's last line
// and, when the caller asks for them, all its lines.
#include <cstddef>
#include <string>
#include <vector>

#include "engine/FtpProtocol.h"

struct FtpReply {
    int code = 421;
    std::string codeText = "421";
    std::string lastLine;  // left unchanged when the read fails
    // Set by the caller to receive every line in `lines` (up to kMaxKeptLines; `linesCut` when more came).
    bool keepLines = false;
    static constexpr std::size_t kMaxKeptLines = 1000;
    std::vector<std::string> lines;
    bool linesCut = false;

    bool IsPositive() const { return FtpProtocol::IsPositiveCompletion(code); }
};
