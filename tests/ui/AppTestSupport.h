#pragma once
// What the UI tests share: one QApplication for the whole test program, a private configuration
// folder per test (XDG_CONFIG_HOME), and waiting on the event loop or on another thread with a bound.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/ConfigFolder.h"

// Makes sure the QApplication exists (created once, before the first test that needs it).
void EnsureTestApplication();

// Processes events until `done` holds or `timeout` passes; true when it held.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A thread running `body`; Finished() tells whether it has returned. A thread that never returns is
// detached at destruction so a failing test reports instead of hanging.
class TestThread {
  public:
    explicit TestThread(std::function<void()> body);
    ~TestThread();
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    bool Finished() const { return state_->finished.load(); }
    // Pumps the event loop until the thread has returned; true when it did within the bound.
    bool JoinPumping(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits without pumping events; true when the thread returned within the bound.
    bool JoinWithoutPumping(std::chrono::milliseconds timeout);

  private:
    struct State {
        std::atomic<bool> finished{false};
    };
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Every UI test: the application exists and the configuration is private.
class AppTest : public ::testing::Test {
  protected:
    AppTest() { EnsureTestApplication(); }
    ConfigFolder config_;
};
