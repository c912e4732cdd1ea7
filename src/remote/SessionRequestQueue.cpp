#include "remote/SessionRequestQueue.h"

#include "engine/FtpSessionHandle.h"

bool SessionRequestQueue::Enqueue(FtpRequestKind kind, std::string_view text,
                                  std::unique_ptr<FtpRequestObject>& object, int value) {
    return handle_ != nullptr && handle_->Enqueue(kind, text, object, value);
}

void SessionRequestQueue::Abort() {
    if (handle_ != nullptr) {
        handle_->Abort();
    }
}
