#include "engine/TransferRetry.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/FtpContext.h"

namespace {

// How often a retry's wait looks at the user's abort.
constexpr int kAbortLookMs = 10;

}  // namespace

bool TransferRetry::IsPassing(int reply, bool lasting) {
    if (lasting) {
        return false;
    }
    // A 4xx is the server's "not now"; a full disk there (452) stays full. 5xx never mends itself.
    return reply >= 400 && reply < 500 && reply != 452;
}

bool TransferRetry::Wait(FtpContext& session, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    while (!session.AbortRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return true;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(kAbortLookMs)));
    }
    return false;
}

std::string TransferRetry::WaitInWords(int ms) {
    if (ms % 1000 != 0) {
        return std::to_string(ms) + " ms";
    }
    return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
}
