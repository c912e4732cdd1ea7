#pragma once
// A wake-up that ends every blocking socket wait watching it at once: the session's stop (program exit)
// and the user's abort use one each. Trigger may be called from any thread.
#include <atomic>

class SocketInterrupt {
  public:
    SocketInterrupt();
    ~SocketInterrupt();
    SocketInterrupt(const SocketInterrupt&) = delete;
    SocketInterrupt& operator=(const SocketInterrupt&) = delete;

    // Wakes every current and later wait until Reset.
    void Trigger();
    // Re-arms it; waits begun afterwards block again.
    void Reset();
    bool IsTriggered() const { return triggered_.load(std::memory_order_acquire); }
    // Readable while triggered; -1 when no descriptor could be made (then only IsTriggered is checked).
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::atomic<bool> triggered_{false};
};
