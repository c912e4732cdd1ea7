#include "hosts/HostListItems.h"

namespace {

unsigned char Fold(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

int CompareFolded(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = Fold(a[i]);
        const unsigned char y = Fold(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

int HostListItems::Compare(std::string_view a, std::string_view b) {
    const int folded = CompareFolded(a, b);
    if (folded != 0) {
        return folded;
    }
    const int raw = a.compare(b);
    return raw == 0 ? 0 : (raw < 0 ? -1 : 1);
}

bool HostListItems::EqualNoCase(std::string_view a, std::string_view b) {
    return CompareFolded(a, b) == 0;
}

int HostListItems::AddItem(const std::string& text) {
    // Binary search for the first item that sorts after text.
    int low = 0;
    int high = Count();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (Compare(ItemText(mid), text) <= 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    InsertItem(low, text);
    return low;
}

int HostListItems::FindExact(std::string_view text) const {
    const int count = Count();
    for (int i = 0; i < count; ++i) {
        if (EqualNoCase(ItemText(i), text)) {
            return i;
        }
    }
    return -1;
}
