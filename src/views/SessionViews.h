#pragma once
// The user-interface targets a session or a ping thread reports to; all are non-owning references.
#include <string>

#include "views/HostView.h"
#include "views/LogView.h"
#include "views/RemoteView.h"
#include "views/StatusView.h"
#include "views/TransferView.h"

struct SessionViews {
    StatusView& status;
    LogView& log;
    HostView& host;
    RemoteView& remote;
    TransferView& transfers;

    // At the end of a session's worker thread, whatever its protocol: the pages say why a session that
    // was lost ended, then let go of it.
    void ShowSessionEnded(const std::string& endReason) const {
        if (!endReason.empty()) {
            host.ShowFailure(SessionFailure::Lost, endReason);
            remote.ShowFailure(endReason);
        }
        host.ResetAfterSession();
        remote.ResetAfterSession();
    }
};
