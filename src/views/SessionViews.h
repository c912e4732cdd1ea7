#pragma once
// The user-interface targets a session or a ping thread reports to; all are non-owning references.
#include "engine/HostView.h"
#include "engine/LogView.h"
#include "engine/RemoteView.h"
#include "engine/StatusView.h"

struct SessionViews {
    StatusView& status;
    LogView& log;
    HostView& host;
    RemoteView& remote;
};
