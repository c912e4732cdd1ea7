// Which failed SFTP transfers a queue row tries again, by the reason the client gave, and the retry's wait
// that the user's abort ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sftp/SftpRetryRule.h"

namespace {

struct RetryRow {
    const char* reason;
    bool lasting;
    bool passing;
};

const RetryRow kRetryRows[] = {
    {"Open /pub/a.bin: no such file (SSH_FX_NO_SUCH_FILE)", false, false},
    {"Open /pub/a.bin: permission denied (SSH_FX_PERMISSION_DENIED)", false, false},
    {"Open /pub/a.bin: unknown status 77", false, false},
    {"Write /pub/a.bin: failure (SSH_FX_FAILURE)", false, true},
    {"Read /pub/a.bin: Timeout waiting for the server", false, true},
    {"size differs: expected 2,097,152 bytes, have 100,000 bytes", false, true},
    {"size differs: expected 2,097,152 bytes, have 100,000 bytes", true, false},
    {"Cannot write the local file: No space left on device", true, false},
};

TEST(SftpRetryRule, OnlyPassingFailuresAreTriedAgain) {
    for (const RetryRow& row : kRetryRows) {
        EXPECT_EQ(SftpRetryRule::IsPassing(row.reason, row.lasting), row.passing) << row.reason;
    }
}

TEST(SftpRetryRule, TheUsersAbortEndsTheWait) {
    std::atomic<bool> abort{false};
    EXPECT_TRUE(SftpRetryRule::Wait(abort, 1));
    std::thread user([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        abort = true;
    });
    // A wait far longer than any test: only the abort can end it.
    EXPECT_FALSE(SftpRetryRule::Wait(abort, 600000));
    user.join();
}

}  // namespace
