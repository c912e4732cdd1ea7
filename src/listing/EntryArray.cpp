#include "listing/EntryArray.h"

#include <algorithm>
#include <utility>

EntryArray::EntryArray() : slots_(kInitialSlots) {}

RemoteEntry EntryArray::At(int index) const {
    if (!Contains(index)) {
        return RemoteEntry();
    }
    return slots_[static_cast<std::size_t>(index)];
}

bool EntryArray::Set(int index, RemoteEntry entry) {
    if (index < 0) {
        return false;
    }
    auto slot = static_cast<std::size_t>(index);
    if (slot >= slots_.size()) {
        // Grow by at least a whole step, and by half again for a big listing: a fixed step would move
        // every entry again each 16 entries, quadratic for a directory of 100,000.
        if (slot >= slots_.capacity()) {
            const std::size_t step = std::max<std::size_t>(kGrowth, slots_.size() / 2);
            slots_.reserve(std::max(slot + 1, slots_.size() + step));
        }
        slots_.resize(slot + 1);
    }
    slots_[slot] = std::move(entry);
    return true;
}

bool EntryArray::MakeBlank(int index) {
    if (!Contains(index)) {
        return false;
    }
    slots_[static_cast<std::size_t>(index)].MakeBlank();
    return true;
}

void EntryArray::Trim(int usedCount) {
    if (usedCount < 0) {
        usedCount = 0;
    }
    slots_.resize(static_cast<std::size_t>(usedCount));
    slots_.shrink_to_fit();
}
