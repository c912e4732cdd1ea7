#include "sftp/SftpRetryRule.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

namespace {

// How often a retry's wait looks at the user's abort.
constexpr int kAbortLookMs = 10;

// Statuses that say the same thing on every try: the file, the folder or the right is not there.
constexpr std::array<std::string_view, 10> kLastingStatuses = {
    "(SSH_FX_NO_SUCH_FILE)",   "(SSH_FX_PERMISSION_DENIED)",   "(SSH_FX_BAD_MESSAGE)",
    "(SSH_FX_OP_UNSUPPORTED)", "(SSH_FX_INVALID_HANDLE)",      "(SSH_FX_NO_SUCH_PATH)",
    "(SSH_FX_WRITE_PROTECT)",  "(SSH_FX_FILE_ALREADY_EXISTS)", "(SSH_FX_NO_MEDIA)",
    "unknown status",
};

}  // namespace

bool SftpRetryRule::IsPassing(std::string_view reason, bool lasting) {
    if (lasting) {
        return false;
    }
    return std::none_of(kLastingStatuses.begin(), kLastingStatuses.end(), [&](std::string_view status) {
        return reason.find(status) != std::string_view::npos;
    });
}

bool SftpRetryRule::Wait(const std::atomic<bool>& abort, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    while (!abort.load(std::memory_order_acquire)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) {
            return true;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(kAbortLookMs)));
    }
    return false;
}
