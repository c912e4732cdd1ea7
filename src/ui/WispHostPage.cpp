#include "ui/WispHostPage.h"

#include <string>
#include <vector>

#include "hosts/HostList.h"
#include "hosts/HostListItems.h"

namespace {

// The saved sites' list until the page has its URL box to show them in.
class SiteTexts : public HostListItems {
  public:
    int Count() const override { return static_cast<int>(texts_.size()); }
    std::string ItemText(int index) const override { return texts_.at(static_cast<size_t>(index)); }
    void InsertItem(int index, const std::string& text) override {
        texts_.insert(texts_.begin() + index, text);
    }
    void DeleteItem(int index) override {
        texts_.erase(texts_.begin() + index);
        selected_ = -1;
    }
    void ClearItems() override {
        texts_.clear();
        selected_ = -1;
    }
    int SelectedIndex() const override { return selected_; }
    void ClearSelection() override { selected_ = -1; }

  private:
    std::vector<std::string> texts_;
    int selected_ = -1;
};

}  // namespace

WispHostPage::WispHostPage(ProfileStore& store, QWidget* parent)
    : WispPropertyPage(parent),
      items_(std::make_unique<SiteTexts>()),
      sites_(std::make_unique<HostList>(store, *items_)) {
    setObjectName("WispHostPage");
}

WispHostPage::~WispHostPage() = default;

void WispHostPage::PageActivated() {
    if (!loaded_) {
        loaded_ = true;
        sites_->Load();
    }
}

void WispHostPage::ReloadDefaultSites() {
    sites_->ReloadDefaults();
}
