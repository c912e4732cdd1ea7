#pragma once
// The Remote page's requests going to a running session through its handle.
#include <memory>
#include <string>

#include "remote/RemoteRequestQueue.h"

class SessionRequestQueue final : public RemoteRequestQueue {
  public:
    SessionRequestQueue(std::shared_ptr<FtpSessionHandle> handle, std::string site)
        : handle_(std::move(handle)), site_(std::move(site)) {}
    bool Enqueue(FtpRequestKind kind, std::string_view text, std::unique_ptr<FtpRequestObject>& object,
                 int value) override;
    void Abort() override;
    std::shared_ptr<FtpSessionHandle> Handle() const override { return handle_; }
    std::string Site() const override { return site_; }

  private:
    std::shared_ptr<FtpSessionHandle> handle_;
    std::string site_;
};
