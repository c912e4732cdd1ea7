#include "ui/WispRemotePage.h"

#include "engine/NullViews.h"

WispRemotePage::WispRemotePage(QWidget* parent) : WispPropertyPage(parent) {
    setObjectName("WispRemotePage");
}

RemoteView& WispRemotePage::SessionView() {
    // Nothing to show yet: the page's own view comes with its listing.
    static NullViews view;
    return view;
}
