#pragma once
// The Remote page's requests going to a running session through its handle.
#include <memory>

#include "remote/RemoteRequestQueue.h"

class SessionRequestQueue final : public RemoteRequestQueue {
  public:
    explicit SessionRequestQueue(std::shared_ptr<FtpSessionHandle> handle) : handle_(std::move(handle)) {}
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value) override;
    void Abort() override;
    std::shared_ptr<FtpSessionHandle> Handle() const override { return handle_; }

  private:
    std::shared_ptr<FtpSessionHandle> handle_;
};
