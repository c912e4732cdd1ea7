#pragma once
// The Log tab: the session's traffic and messages as lines of a list, under the "&Logging",
// "&Commands" and "E&xtended" switches. The switches act through the page's members, which follow the
// check boxes only when the user leaves the page.
#include <string_view>

#include "ui/WispPropertyPage.h"

class QCheckBox;
class QListWidget;

class WispLogPage : public WispPropertyPage {
    Q_OBJECT
  public:
    // The list can be scrolled sideways at least this far, however short its lines.
    static constexpr int kHorizontalExtent = 640;
    // Most log lines kept; beyond it the oldest go, a thousand at a time, and the first row says how many
    // have gone, so an endless reply cannot fill the memory.
    static constexpr int kMaxLines = 100000;
    static constexpr int kDropBatch = 1000;

    explicit WispLogPage(QWidget* parent = nullptr);

    // At start-up: sets the members and shows them in the check boxes.
    void SetSwitches(bool logging, bool commands, bool extended);
    bool Logging() const { return logging_; }
    bool Commands() const { return commands_; }
    bool Extended() const { return extended_; }

    // UI thread only (other threads go through the main window's views).
    void LogTraffic(std::string_view line);
    void LogMessage(std::string_view line);

    void PageActivated() override;
    void PageDeactivated() override;

  private:
    void AddLine(std::string_view line);
    void DropOldest();
    void Wipe();

    QListWidget* list_ = nullptr;
    QCheckBox* loggingBox_ = nullptr;
    QCheckBox* commandsBox_ = nullptr;
    QCheckBox* extendedBox_ = nullptr;
    bool commands_ = false;
    bool extended_ = false;
    bool logging_ = false;
    // The view keeps the newest line in sight (the user has not scrolled up from the end).
    bool following_ = true;
    // Lines removed to keep within kMaxLines since the last Wipe; while non-zero, row 0 is the note.
    long long dropped_ = 0;
};
