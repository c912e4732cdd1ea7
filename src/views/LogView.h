#pragma once
// The two log channels: commands and replies (traffic), and everything else the engine says (messages).
#include <string_view>

class LogView {
  public:
    virtual ~LogView() = default;
    virtual void LogTraffic(std::string_view line) = 0;
    virtual void LogMessage(std::string_view line) = 0;
};
