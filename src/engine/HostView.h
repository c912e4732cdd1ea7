#pragma once
// What the session worker and the ping thread tell the Host page.
#include <string_view>

class HostView {
  public:
    virtual ~HostView() = default;
    // After a successful login, with the "%s [%s:%u]" connection text.
    virtual void ShowConnected(std::string_view connectionText) = 0;
    // After the session has ended, whatever ended it; the page drops its session pointer here.
    virtual void ResetAfterSession() = 0;
    // When a ping thread has finished.
    virtual void PingFinished() = 0;
};
