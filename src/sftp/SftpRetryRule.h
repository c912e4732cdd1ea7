#pragma once
// Which failures of a queued SFTP transfer are worth another try while the connection lives (a file that
// came short, a server's general failure, a time-out) and which are not (no such file, permission denied,
// a local failure), and the wait before that try, which the user's abort ends at once.
#include <atomic>
#include <string_view>

class SftpRetryRule {
  public:
    // `reason`: the failure in words as SftpClient gives it ("Open /a: no such file
    // (SSH_FX_NO_SUCH_FILE)"). `lasting`: the attempt itself found that trying again cannot help.
    static bool IsPassing(std::string_view reason, bool lasting);
    // Waits `ms` milliseconds; false when `abort` was set first.
    static bool Wait(const std::atomic<bool>& abort, int ms);
};
