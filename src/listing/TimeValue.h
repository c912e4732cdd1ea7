#pragma once
// The time-val of modern FTP (RFC 3659): "YYYYMMDDHHMMSS" with optional ".fraction", always UTC, as MDTM
// answers it, MLSD's modify fact holds it and MFMT sends it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class TimeValue {
  public:
    // Seconds since 1970 (UTC) of a time-val; nothing for any other text (a field out of its range such
    // as month 13 or hour 24, a fraction without digits, anything after it, a year before 1970).
    static std::optional<std::int64_t> Parse(std::string_view text);
    // The time-val of seconds since 1970, without a fraction; empty before 1970 or after 9999.
    static std::string Format(std::int64_t seconds);
};
