#pragma once
// The list of site texts the user picks from (the Host page's URL box), as the saved-site store sees
// it. The ordering and matching rules live here so the widget and a test double behave alike.
#include <string>
#include <string_view>

class HostListItems {
  public:
    virtual ~HostListItems() = default;

    virtual int Count() const = 0;
    virtual std::string ItemText(int index) const = 0;
    // Puts text at exactly index (0..Count()); callers keep the order through AddItem.
    virtual void InsertItem(int index, const std::string& text) = 0;
    virtual void DeleteItem(int index) = 0;
    virtual void ClearItems() = 0;
    // The selected item, or -1.
    virtual int SelectedIndex() const = 0;
    // Selects nothing, which also empties the edit field.
    virtual void ClearSelection() = 0;

    // Adds text where the order puts it (after items that compare equal) and returns its index.
    int AddItem(const std::string& text);
    // The first item equal to text with letter case ignored, or -1.
    int FindExact(std::string_view text) const;

    // The items' order: letters compared without case (ASCII, independent of the locale), ties
    // broken by the bytes, so the order never depends on the order items were added in.
    static int Compare(std::string_view a, std::string_view b);
    static bool EqualNoCase(std::string_view a, std::string_view b);
};
