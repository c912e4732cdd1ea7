#pragma once
// The user-interface targets a session or a ping thread reports to; all are non-owning references.
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
};
