#pragma once
// What every part of the engine agrees on about the protocol: the code of a lost connection, what counts
// as a positive completion, which command lines may be sent, and how a decimal number is read.
#include <cstdint>
#include <optional>
#include <string_view>

class FtpProtocol {
  public:
    // A reply's code, and what the reply reader returns on any receive failure; ends the session.
    static constexpr int kLostConnection = 421;

    enum class LineFault { None, Unsafe, TooLong };

    static bool IsPositiveCompletion(int code) { return code >= 200 && code <= 299; }
    // Unsafe when the command holds CR, LF or NUL (a name must never end the line early and smuggle in a
    // command of its own); TooLong past 510 characters.
    static LineFault CheckCommandLine(std::string_view command);
    // The value of the text's leading decimal digits; nothing when there are none or it is above `max`.
    static std::optional<std::uint64_t> LeadingNumber(std::string_view text, std::uint64_t max);
};
