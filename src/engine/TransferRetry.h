#pragma once
// Which failures of a queued file are worth another try (a cut connection, a busy server) and which are
// not (a refused name, a full disk), and the wait before that try, which the user's abort ends at once.
#include <string>

class FtpContext;

class TransferRetry {
  public:
    // `reply`: the file's result (a server's reply, or the engine's own code for a failure of the data
    // connection: 426). `lasting`: the attempt itself found that trying again cannot help (a local
    // failure, a check that failed for good).
    static bool IsPassing(int reply, bool lasting);
    // Waits `ms` milliseconds; false when the user's abort or Stop ended the wait first.
    static bool Wait(FtpContext& session, int ms);
    // "trying again in 5 seconds" (in milliseconds below a second: tests wait that little).
    static std::string WaitInWords(int ms);
};
