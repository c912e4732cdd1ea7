#include "listing/NameSorter.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The bytes a key holds: two 64-bit words.
constexpr std::size_t kKeyBytes = 16;

// One row while sorting: 16 bytes of its name from some offset on, big-endian so that integer order is
// byte order, and how many of them the name has (kKeyBytes + 1: more follow).
struct KeyedRow {
    std::uint64_t high;
    std::uint64_t low;
    std::uint32_t length;
    std::uint32_t position;  // in the order before the sort: equal names keep it
    int slot;
};

std::uint64_t Word(const std::string& name, std::size_t from) {
    if constexpr (std::endian::native == std::endian::little) {
        if (from + 8 <= name.size()) {
            std::uint64_t word;
            std::memcpy(&word, name.data() + from, 8);
            return __builtin_bswap64(word);
        }
    }
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t at = from + i;
        const auto byte = at < name.size() ? static_cast<unsigned char>(name[at]) : 0u;
        word = (word << 8) | byte;
    }
    return word;
}

void Fill(KeyedRow& row, const std::string& name, std::size_t offset) {
    row.high = Word(name, offset);
    row.low = Word(name, offset + 8);
    row.length = static_cast<std::uint32_t>(std::min(name.size() - offset, kKeyBytes + 1));
}

bool SameKey(const KeyedRow& a, const KeyedRow& b) {
    return a.high == b.high && a.low == b.low && a.length == b.length;
}

// A name that ends inside the key goes before a longer one with the same bytes (the padding is zero, and
// where the longer name has zero bytes too, the length decides).
template <bool kDescending>
bool Before(const KeyedRow& a, const KeyedRow& b) {
    if (a.high != b.high) {
        return kDescending ? b.high < a.high : a.high < b.high;
    }
    if (a.low != b.low) {
        return kDescending ? b.low < a.low : a.low < b.low;
    }
    if (a.length != b.length) {
        return kDescending ? b.length < a.length : a.length < b.length;
    }
    return a.position < b.position;
}

// Sorts rows whose names agree in their first `offset` bytes, by the bytes from `offset` on.
void SortFrom(std::vector<KeyedRow>::iterator begin, std::vector<KeyedRow>::iterator end,
              const EntryArray& entries, std::size_t offset, bool descending) {
    if (offset > 0) {
        for (auto row = begin; row != end; ++row) {
            Fill(*row, entries[row->slot].Name(), offset);
        }
    }
    if (descending) {
        std::sort(begin, end, Before<true>);
    } else {
        std::sort(begin, end, Before<false>);
    }
    // Rows whose names go on past an equal key are told apart by the next bytes.
    for (auto first = begin; first != end;) {
        auto last = first + 1;
        while (last != end && SameKey(*first, *last)) {
            ++last;
        }
        if (last - first > 1 && first->length > kKeyBytes) {
            SortFrom(first, last, entries, offset + kKeyBytes, descending);
        }
        first = last;
    }
}

}  // namespace

void NameSorter::Sort(std::vector<int>& slots, const EntryArray& entries, bool descending) {
    // The names are read in slot order, the order they were stored in, rather than in row order: after
    // another sort the rows lie scattered over the array, and a cache miss per name would cost more than
    // the sort. Each row keeps its position for the stability.
    std::vector<int> positionOfSlot(static_cast<std::size_t>(entries.Count()), -1);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        positionOfSlot[static_cast<std::size_t>(slots[i])] = static_cast<int>(i);
    }
    std::vector<KeyedRow> rows;
    rows.reserve(slots.size());
    for (int slot = 0; slot < entries.Count(); ++slot) {
        const int position = positionOfSlot[static_cast<std::size_t>(slot)];
        if (position >= 0) {
            KeyedRow& row = rows.emplace_back();
            row.slot = slot;
            row.position = static_cast<std::uint32_t>(position);
            Fill(row, entries[slot].Name(), 0);
        }
    }
    SortFrom(rows.begin(), rows.end(), entries, 0, descending);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        slots[i] = rows[i].slot;
    }
}
