#pragma once
// The Host tab, where sessions begin: picking or typing a site, ping, connect and logoff. Empty for
// now; it takes its place in the tab row so the main window is complete.
#include "app/WispPropertyPage.h"

class WispHostPage : public WispPropertyPage {
    Q_OBJECT
  public:
    explicit WispHostPage(QWidget* parent = nullptr);
};
