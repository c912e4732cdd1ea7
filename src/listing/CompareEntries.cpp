#include "listing/CompareEntries.h"

#include <algorithm>
#include <cstring>

namespace {

template <typename T>
int Order(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Byte by byte as unsigned values, so every upper-case ASCII letter goes before every lower-case one
// and a prefix goes first.
int CompareNames(const std::string& a, const std::string& b) {
    std::size_t common = std::min(a.size(), b.size());
    int bytes = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    if (bytes != 0) {
        return bytes < 0 ? -1 : 1;
    }
    return Order(a.size(), b.size());
}

}  // namespace

int CompareEntries(const RemoteEntry& a, const RemoteEntry& b, int sortMode) {
    switch (sortMode) {
        case 1:
            return CompareNames(a.Name(), b.Name());
        case -1:
            return CompareNames(b.Name(), a.Name());
        // Compared, not subtracted: wrapped sizes near the 32-bit limits would overflow a difference.
        case 2:
            return Order(a.Size(), b.Size());
        case -2:
            return Order(b.Size(), a.Size());
        case 3:
            return Order(a.Time(), b.Time());
        case -3:
            return Order(b.Time(), a.Time());
        case 4:
            return Order(a.Permissions(), b.Permissions());
        case -4:
            return Order(b.Permissions(), a.Permissions());
        default:
            return 0;
    }
}
