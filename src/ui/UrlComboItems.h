#pragma once
// The Host page's URL box as the saved-site store sees it: the combo box's items in the store's order,
// and the box's selection, which the user's typing clears as a typed text no longer names an item.
#include <string>

#include "hosts/HostListItems.h"

class QComboBox;

class UrlComboItems final : public HostListItems {
  public:
    // `box` must be editable and outlive this object; the store decides where items go, so the box
    // itself never inserts, sorts or completes.
    explicit UrlComboItems(QComboBox& box);

    int Count() const override;
    std::string ItemText(int index) const override;
    void InsertItem(int index, const std::string& text) override;
    void DeleteItem(int index) override;
    void ClearItems() override;
    int SelectedIndex() const override;
    void ClearSelection() override;

    // Makes `index` the selection; the edit field shows its text.
    void Select(int index);
    // The edit field's text.
    std::string Text() const;
    // Puts `text` into the edit field with no item selected.
    void SetText(const std::string& text);

  private:
    // The user typed: the text stays as typed, but no item is selected any more.
    void Edited();

    QComboBox& box_;
};
