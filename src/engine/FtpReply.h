#pragma once
// What ReadReply hands back besides the numeric code: the three code characters and the reply's last line.
#include <string>

struct FtpReply {
    int code = 421;
    std::string codeText = "421";
    std::string lastLine;  // left unchanged when the read fails

    // The code text begins with '2' (the test the handlers use for "accepted").
    bool IsPositive() const { return !codeText.empty() && codeText[0] == '2'; }
};
