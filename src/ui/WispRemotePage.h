#pragma once
// The Remote tab: the server's current directory, its cache and the commands on its entries. Empty
// for now; it takes its place in the tab row so the main window is complete.
#include "ui/WispPropertyPage.h"

class RemoteView;

class WispRemotePage : public WispPropertyPage {
    Q_OBJECT
  public:
    explicit WispRemotePage(QWidget* parent = nullptr);

    // What a session reports to about this page; valid for the whole run.
    RemoteView& SessionView();
};
