#pragma once
// The numbers a data transfer reports: the millisecond tick it is timed with, the statistics message
// after each data loop and the progress percentage, all formatted the same whatever the user's locale.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class RemoteEntry;

class TransferStatistics {
  public:
    // The session's tick source, or the steady clock in milliseconds (wrapping at 32 bits).
    // `source` when given (tests make the statistics exact with it), else the steady clock.
    static std::uint32_t Ticks(const std::function<std::uint32_t()>& source);
    // "... received 2000 bytes in 1 seconds (2 KB/s)"; without the rate when no tick has passed.
    static std::string Message(std::string_view direction, std::int64_t bytes, std::uint32_t elapsedMs);
    // A byte count with its thousands grouped by commas ("12,345,678"), in every locale.
    static std::string Grouped(std::int64_t value);
    // printf's "%g" (six significant digits) with a decimal point in every locale.
    static std::string General(double value);
    // bytes * 100 / expected, truncated, never above 100; with nothing expected, 100 once data came.
    static int Percent(std::uint64_t bytes, std::uint64_t expected);
    // The size a download expects: the listed size text when it is the full value of the 32-bit size
    // (which wraps beyond 2 GiB), otherwise the size itself, 0 when negative.
    static std::uint64_t ExpectedSize(const RemoteEntry& entry);
};
