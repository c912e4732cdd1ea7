#pragma once
// A log view for page-state and store tests: keeps the messages in order and drops the traffic.
#include <string>
#include <string_view>
#include <vector>

#include "views/LogView.h"

class MessageLog : public LogView {
  public:
    void LogTraffic(std::string_view) override {}
    void LogMessage(std::string_view line) override { messages.emplace_back(line); }
    std::vector<std::string> messages;
};
