#include "ui/AppTestSupport.h"

#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>
#include <cstdlib>
#include <memory>

namespace {

// Owns the QApplication so that it is destroyed before main returns, not among the static objects.
class QtEnvironment : public ::testing::Environment {
  public:
    void Create() {
        if (!app_) {
            app_ = std::make_unique<QApplication>(argc_, argv_);
        }
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[10] = "app_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

QtEnvironment* Environment() {
    // gtest owns the environment once added; it is added on first use.
    static QtEnvironment* environment =
        static_cast<QtEnvironment*>(::testing::AddGlobalTestEnvironment(new QtEnvironment));
    return environment;
}

// Registered before main so the environment's TearDown destroys the application at the end.
[[maybe_unused]] const QtEnvironment* const registered = Environment();

}  // namespace

void EnsureTestApplication() {
    Environment()->Create();
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TestThread::TestThread(std::function<void()> body) : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, body = std::move(body)] {
        body();
        state->finished = true;
    });
}

TestThread::~TestThread() {
    if (!thread_.joinable()) {
        return;
    }
    if (Finished()) {
        thread_.join();
    } else {
        ADD_FAILURE() << "a test thread did not return";
        thread_.detach();
    }
}

bool TestThread::JoinPumping(std::chrono::milliseconds timeout) {
    const bool done = PumpUntil([this] { return Finished(); }, timeout);
    if (done && thread_.joinable()) {
        thread_.join();
    }
    return done;
}

bool TestThread::JoinWithoutPumping(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!Finished() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (Finished() && thread_.joinable()) {
        thread_.join();
    }
    return Finished();
}
