#include "transfers/TransferTexts.h"

#include <algorithm>

namespace {

// Tenths by integer arithmetic: no printf, so no locale's decimal comma.
std::string WithTenths(std::int64_t value, std::int64_t unit) {
    // Split so that no product overflows, whatever a server claims.
    const std::int64_t tenths = value / unit * 10 + ((value % unit) * 10 + unit / 2) / unit;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string TwoDigits(std::int64_t value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
}

}  // namespace

std::string TransferTexts::Size(std::int64_t bytes) {
    constexpr std::int64_t kKilo = 1024;
    if (bytes < 0) {
        return {};
    }
    if (bytes < kKilo) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    if (bytes < kKilo * kKilo - kKilo / 20) {
        return WithTenths(bytes, kKilo) + " KB";
    }
    if (bytes < kKilo * kKilo * kKilo - kKilo * kKilo / 20) {
        return WithTenths(bytes, kKilo * kKilo) + " MB";
    }
    return WithTenths(bytes, kKilo * kKilo * kKilo) + " GB";
}

std::string TransferTexts::Speed(double bytesPerSecond) {
    if (!(bytesPerSecond >= 0.5)) {
        return {};
    }
    return Size(static_cast<std::int64_t>(std::min(bytesPerSecond, 1e15) + 0.5)) + "/s";
}

std::string TransferTexts::TimeLeft(std::int64_t seconds) {
    if (seconds < 0) {
        return {};
    }
    const std::int64_t hours = seconds / 3600;
    const std::int64_t minutes = seconds / 60 % 60;
    if (hours > 0) {
        return std::to_string(hours) + ":" + TwoDigits(minutes) + ":" + TwoDigits(seconds % 60);
    }
    return std::to_string(minutes) + ":" + TwoDigits(seconds % 60);
}

std::string TransferTexts::Status(const TransferRow& row) {
    std::string text(TransferStateName(row.state));
    if (row.state == TransferState::Running && row.attempt > 0) {
        text = "Retrying (attempt " + std::to_string(row.attempt) + ")";
    }
    if (!row.reason.empty() && row.state != TransferState::Done && row.state != TransferState::Queued) {
        text += ": " + row.reason;
    }
    return text;
}

int TransferTexts::Percent(const TransferRow& row) {
    if (row.state == TransferState::Done) {
        return 100;
    }
    if (row.size <= 0) {
        return row.size == 0 ? 0 : -1;
    }
    return static_cast<int>(std::clamp<std::int64_t>(row.bytesDone, 0, row.size) * 100 / row.size);
}

std::string TransferTexts::BatchTitle(const TransferBatchSummary& summary) {
    std::string text =
        std::to_string(summary.filesFinished) + " of " + std::to_string(summary.files) + " files";
    if (summary.bytes > 0) {
        text += ", " + Size(summary.bytesDone) + " of " + Size(summary.bytes);
    }
    const std::string speed = Speed(summary.bytesPerSecond);
    if (!speed.empty()) {
        text += ", " + speed;
    }
    return text;
}

int TransferTexts::BatchPercent(const TransferBatchSummary& summary) {
    if (summary.bytes > 0) {
        return static_cast<int>(std::clamp<std::int64_t>(summary.bytesDone, 0, summary.bytes) * 100 /
                                summary.bytes);
    }
    return summary.files > 0 ? summary.filesFinished * 100 / summary.files : 0;
}
