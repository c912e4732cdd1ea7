#pragma once
// The process-wide status and log functions: any thread reports the title status, the progress and
// the two log channels here, and they reach the current main window over its UI-thread bridge, or
// nowhere once the window has started closing.
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "views/LogView.h"
#include "views/StatusView.h"
#include "views/TransferView.h"

class UiBridge;
class WispSheet;

class MainWindowViews final : public StatusView, public LogView, public TransferView {
  public:
    // Lives until the process ends, so a thread still running at exit can always call it.
    static MainWindowViews& Instance();

    // UI thread: from now on the calls go to `sheet` through `bridge`.
    void Attach(std::shared_ptr<UiBridge> bridge, WispSheet* sheet);
    // UI thread: stops routing to `sheet` (the sheet fences its bridge first).
    void Detach(const WispSheet* sheet);

    void SetStatus(std::optional<std::string_view> text) override;
    void SetProgress(int percent) override;
    void LogTraffic(std::string_view line) override;
    void LogMessage(std::string_view line) override;
    // Posted to the window's transfer queue; the worker never waits.
    void TransferStarted(std::uint64_t row, std::int64_t offset, std::int64_t size) override;
    void TransferProgress(std::uint64_t row, std::int64_t bytes) override;
    void TransferRetrying(std::uint64_t row, int attempt, int delaySeconds, std::string_view reason) override;
    void TransferEnded(std::uint64_t row, TransferEnd end, std::string_view reason) override;

  private:
    MainWindowViews() = default;

    struct Target {
        std::shared_ptr<UiBridge> bridge;
        WispSheet* sheet = nullptr;
    };
    Target Current();

    std::mutex mutex_;
    Target target_;
};
