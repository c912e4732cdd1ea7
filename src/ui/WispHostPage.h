#pragma once
// The Host tab, where sessions begin: picking or typing a site, ping, connect and logoff. For now it
// holds only the saved sites (loaded at start, the built-in ones on a first start); its controls are
// still to come, and the tab takes its place in the row so the main window is complete.
#include <memory>

#include "ui/WispPropertyPage.h"

class HostList;
class HostListItems;
class ProfileStore;

class WispHostPage : public WispPropertyPage {
    Q_OBJECT
  public:
    // `store` must outlive the page.
    explicit WispHostPage(ProfileStore& store, QWidget* parent = nullptr);
    ~WispHostPage() override;

    // The first time: lists the saved sites (after the URL defaults are fixed for the run).
    void PageActivated() override;

    // Lists and stores the built-in sites again (the Options page's "&Reload Default FTP Sites").
    void ReloadDefaultSites();

  private:
    std::unique_ptr<HostListItems> items_;
    std::unique_ptr<HostList> sites_;
    bool loaded_ = false;
};
