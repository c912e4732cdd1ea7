#include "engine/FtpSessionHandle.h"

FtpSessionHandle::FtpSessionHandle(std::shared_ptr<SocketInterrupt> stopSignal)
    : stopSignal_(std::move(stopSignal)) {}

FtpSessionHandle::~FtpSessionHandle() {
    if (!worker_.joinable()) {
        return;
    }
    // The worker holds a reference until its last step, so a destructor on another thread only meets a
    // thread that is already finishing; on the worker itself the thread cannot join itself.
    if (worker_.get_id() == std::this_thread::get_id()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

bool FtpSessionHandle::Enqueue(FtpRequestKind kind, std::string_view text,
                               std::unique_ptr<FtpRequestObject>& object, int value) {
    std::lock_guard lock(mutex_);
    return session_ != nullptr && session_->Enqueue(kind, text, object, value);
}

bool FtpSessionHandle::Enqueue(FtpRequestKind kind, std::string_view text, int value) {
    std::unique_ptr<FtpRequestObject> none;
    return Enqueue(kind, text, none, value);
}

void FtpSessionHandle::Abort() {
    std::lock_guard lock(mutex_);
    if (session_ != nullptr) {
        session_->Abort();
    }
}

void FtpSessionHandle::Stop() {
    stopSignal_->Trigger();
    std::lock_guard lock(mutex_);
    if (session_ != nullptr) {
        session_->RequestStop();
    }
}

bool FtpSessionHandle::WaitEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!endedChanged_.wait_for(lock, timeout, [this] { return ended_; })) {
        return false;
    }
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) {
        worker_.join();
    }
    return true;
}

bool FtpSessionHandle::HasEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void FtpSessionHandle::Detach() {
    std::lock_guard lock(mutex_);
    session_ = nullptr;
}

void FtpSessionHandle::MarkEnded() {
    {
        std::lock_guard lock(mutex_);
        session_ = nullptr;
        ended_ = true;
    }
    endedChanged_.notify_all();
}
