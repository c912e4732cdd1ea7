#pragma once
// Where the Remote page queues its requests: the session's handle in the program, a recorder in tests.
#include <memory>
#include <string>
#include <string_view>

#include "engine/FtpRequest.h"

class FtpSessionHandle;

class RemoteRequestQueue {
  public:
    virtual ~RemoteRequestQueue() = default;
    // False when the session no longer takes requests (the object then stays the caller's).
    virtual bool Enqueue(FtpRequestKind kind, std::string_view text,
                         std::unique_ptr<FtpRequestObject>& object, int value) = 0;
    // Stops the running transfer and empties the queue (the user pressed Escape).
    virtual void Abort() {}
    // The session behind the queue, when there is one.
    virtual std::shared_ptr<FtpSessionHandle> Handle() const { return nullptr; }
    // The site the session is connected to, without password (scheme://user@host:port); empty if unknown.
    virtual std::string Site() const { return {}; }
};
