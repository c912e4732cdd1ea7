#include "ui/MainWindowViews.h"

#include <string>
#include <utility>

#include "ui/UiBridge.h"
#include "ui/WispSheet.h"

MainWindowViews& MainWindowViews::Instance() {
    // Never destroyed: a worker or ping thread may still report while static objects are torn down.
    static MainWindowViews& instance = *new MainWindowViews();
    return instance;
}

void MainWindowViews::Attach(std::shared_ptr<UiBridge> bridge, WispSheet* sheet) {
    std::lock_guard lock(mutex_);
    target_ = Target{std::move(bridge), sheet};
}

void MainWindowViews::Detach(const WispSheet* sheet) {
    std::lock_guard lock(mutex_);
    if (target_.sheet == sheet) {
        target_ = Target{};
    }
}

MainWindowViews::Target MainWindowViews::Current() {
    std::lock_guard lock(mutex_);
    return target_;
}

// The sheet is reached only inside the bridge's work, which runs only while the bridge is not fenced
// (the sheet fences before it is destroyed); the texts stay valid because the caller waits.
void MainWindowViews::SetStatus(std::optional<std::string_view> text) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->RunAndWait([sheet = target.sheet, text] { sheet->SetStatus(text); });
    }
}

void MainWindowViews::SetProgress(int percent) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->Post([sheet = target.sheet, percent] { sheet->SetProgress(percent); });
    }
}

void MainWindowViews::LogTraffic(std::string_view line) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->RunAndWait([sheet = target.sheet, line] { sheet->LogTraffic(line); });
    }
}

void MainWindowViews::LogMessage(std::string_view line) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->RunAndWait([sheet = target.sheet, line] { sheet->LogMessage(line); });
    }
}

void MainWindowViews::TransferStarted(std::uint64_t row, std::int64_t offset, std::int64_t size) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->Post(
            [sheet = target.sheet, row, offset, size] { sheet->TransferStarted(row, offset, size); });
    }
}

void MainWindowViews::TransferProgress(std::uint64_t row, std::int64_t bytes) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->Post([sheet = target.sheet, row, bytes] { sheet->TransferProgress(row, bytes); });
    }
}

// The reason is copied: the worker's text is gone by the time the posted work runs.
void MainWindowViews::TransferRetrying(std::uint64_t row, int attempt, int delaySeconds,
                                       std::string_view reason) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->Post([sheet = target.sheet, row, attempt, delaySeconds, text = std::string(reason)] {
            sheet->TransferRetrying(row, attempt, delaySeconds, text);
        });
    }
}

void MainWindowViews::TransferEnded(std::uint64_t row, TransferEnd end, std::string_view reason) {
    Target target = Current();
    if (target.bridge) {
        target.bridge->Post([sheet = target.sheet, row, end, text = std::string(reason)] {
            sheet->TransferEnded(row, end, text);
        });
    }
}
