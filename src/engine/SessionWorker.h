#pragma once
// What a session's handle reaches of the session behind it, whatever its protocol: FtpSession and
// SftpSession implement it, so that the pages hold one kind of handle for every site.
#include <memory>
#include <string_view>

#include "engine/FtpRequest.h"

class SessionWorker {
  public:
    virtual ~SessionWorker() = default;
    // Any thread. Queues a request; the session then owns `object` (moved out). Returns false when all
    // records are in use or the session is ending: nothing is queued and `object` is left untouched.
    virtual bool Enqueue(FtpRequestKind kind, std::string_view text,
                         std::unique_ptr<FtpRequestObject>& object, int value) = 0;
    // User interface thread. Stops the running request, discards the queued ones and says so.
    virtual void Abort() = 0;
    // Any thread, without waiting: the session ends as soon as it can.
    virtual void RequestStop() = 0;
};
