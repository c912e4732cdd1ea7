#pragma once
// What the engine and the ping thread report to the main window: the title status and the progress bar.
#include <optional>
#include <string_view>

class StatusView {
  public:
    virtual ~StatusView() = default;
    // nullopt restores the bare title; any text (even empty) shows "Wisp - " and the text.
    virtual void SetStatus(std::optional<std::string_view> text) = 0;
    // Posted, never waited for: the caller must not block on the UI thread.
    virtual void SetProgress(int percent) = 0;
};
