#pragma once
// Runs work on the user-interface thread for any thread: synchronously (the caller waits until the UI
// thread has run it) or posted (the caller never waits). Once fenced at close, no work runs any more,
// calls return at once and callers already waiting are released, so no thread ever blocks on or
// touches a window that is going away.
//
// Views handed to worker threads (status, log, Host and Remote page operations) hold a shared_ptr to
// the bridge and a plain pointer to their widget; the widget is dereferenced only inside the work,
// which runs only while the bridge is not fenced, and the owner fences the bridge before destroying
// the widget.
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class UiBridge {
  public:
    // Must be created on the user-interface thread, after the QApplication.
    UiBridge();
    ~UiBridge();
    UiBridge(const UiBridge&) = delete;
    UiBridge& operator=(const UiBridge&) = delete;

    // Runs `work` on the UI thread and returns when it has run (directly when the caller is the UI
    // thread). False, without running it, when the bridge is fenced or gets fenced while waiting.
    bool RunAndWait(std::function<void()> work);

    // RunAndWait for work with a result; nullopt when it did not run.
    template <typename T>
    std::optional<T> CallAndWait(std::function<T()> work) {
        std::optional<T> result;
        RunAndWait([&result, &work] { result.emplace(work()); });
        return result;
    }

    // Queues `work` for the UI thread and returns at once; dropped if the bridge is fenced by then.
    void Post(std::function<void()> work);

    // UI thread only: from now on nothing runs; callers waiting for queued work are released.
    void Fence();
    bool IsFenced() const;

    static bool OnUiThread();

  private:
    struct State;
    struct Call;
    std::shared_ptr<State> state_;
};
