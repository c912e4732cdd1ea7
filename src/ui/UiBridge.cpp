#include "ui/UiBridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

// One synchronous request. Pending until the UI thread takes it (Running), then Done; Fence moves
// Pending calls to Done without running them. A Running call is never abandoned: its work may hold
// references into the waiting caller's stack.
struct UiBridge::Call {
    enum class Phase { Pending, Running, Done };
    explicit Call(std::function<void()> w) : work(std::move(w)) {}
    std::function<void()> work;
    std::mutex mutex;
    std::condition_variable changed;
    Phase phase = Phase::Pending;
    bool ran = false;

    void Finish(bool didRun) {
        std::lock_guard lock(mutex);
        phase = Phase::Done;
        ran = didRun;
        changed.notify_all();
    }
};

struct UiBridge::State {
    std::mutex mutex;
    bool fenced = false;
    std::vector<std::shared_ptr<Call>> waiting;

    bool Fenced() {
        std::lock_guard lock(mutex);
        return fenced;
    }
    void Forget(const std::shared_ptr<Call>& call) {
        std::lock_guard lock(mutex);
        waiting.erase(std::remove(waiting.begin(), waiting.end(), call), waiting.end());
    }
};

UiBridge::UiBridge() : state_(std::make_shared<State>()) {}

UiBridge::~UiBridge() {
    // Never destroyed while a caller is inside (callers hold a shared_ptr), but queued work must
    // not outlive the owner's widgets.
    std::lock_guard lock(state_->mutex);
    state_->fenced = true;
}

bool UiBridge::OnUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

bool UiBridge::RunAndWait(std::function<void()> work) {
    if (OnUiThread()) {
        // Qt's blocking queued call would deadlock here; the UI thread runs its own work directly.
        if (state_->Fenced()) {
            return false;
        }
        work();
        return true;
    }
    auto call = std::make_shared<Call>(std::move(work));
    {
        std::lock_guard lock(state_->mutex);
        QCoreApplication* app = QCoreApplication::instance();
        if (state_->fenced || app == nullptr) {
            return false;
        }
        state_->waiting.push_back(call);
        // Posted under the lock: Fence cannot slip in between, and the application object is alive
        // until its owner has fenced every bridge.
        QMetaObject::invokeMethod(
            app,
            [call] {
                {
                    std::lock_guard callLock(call->mutex);
                    if (call->phase != Call::Phase::Pending) {
                        return;
                    }
                    call->phase = Call::Phase::Running;
                }
                call->work();
                call->Finish(true);
            },
            Qt::QueuedConnection);
    }
    bool ran = false;
    {
        std::unique_lock callLock(call->mutex);
        call->changed.wait(callLock, [&call] { return call->phase == Call::Phase::Done; });
        ran = call->ran;
    }
    state_->Forget(call);
    return ran;
}

void UiBridge::Post(std::function<void()> work) {
    std::lock_guard lock(state_->mutex);
    QCoreApplication* app = QCoreApplication::instance();
    if (state_->fenced || app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [state = state_, work = std::move(work)] {
            if (!state->Fenced()) {
                work();
            }
        },
        Qt::QueuedConnection);
}

void UiBridge::Fence() {
    std::vector<std::shared_ptr<Call>> waiting;
    {
        std::lock_guard lock(state_->mutex);
        state_->fenced = true;
        waiting.swap(state_->waiting);
    }
    for (const std::shared_ptr<Call>& call : waiting) {
        std::lock_guard callLock(call->mutex);
        if (call->phase == Call::Phase::Pending) {
            call->phase = Call::Phase::Done;
            call->ran = false;
            call->changed.notify_all();
        }
    }
}

bool UiBridge::IsFenced() const {
    return state_->Fenced();
}
