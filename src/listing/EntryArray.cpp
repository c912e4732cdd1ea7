#include "listing/EntryArray.h"

#include <algorithm>
#include <utility>

EntryArray::EntryArray() {
    Resize(kInitialSlots);
}

RemoteEntry EntryArray::At(int index) const {
    if (!Contains(index)) {
        return RemoteEntry();
    }
    return (*this)[index];
}

bool EntryArray::Set(int index, RemoteEntry entry) {
    if (index < 0) {
        return false;
    }
    const auto slot = static_cast<std::size_t>(index);
    if (index >= count_) {
        Resize(slot + 1);
    }
    SlotAt(slot) = std::move(entry);
    return true;
}

bool EntryArray::MakeBlank(int index) {
    if (!Contains(index)) {
        return false;
    }
    SlotAt(static_cast<std::size_t>(index)).MakeBlank();
    return true;
}

void EntryArray::Trim(int usedCount) {
    Resize(static_cast<std::size_t>(std::max(usedCount, 0)));
    if (!blocks_.empty()) {
        blocks_.back().shrink_to_fit();
    }
    blocks_.shrink_to_fit();
}

void EntryArray::Resize(std::size_t count) {
    constexpr auto kBlock = static_cast<std::size_t>(kBlockSlots);
    const std::size_t oldCount = static_cast<std::size_t>(count_);
    blocks_.resize((count + kBlock - 1) / kBlock);
    // Only the blocks from the one that held the old end on change size.
    for (std::size_t block = std::min(oldCount, count) / kBlock; block < blocks_.size(); ++block) {
        std::vector<RemoteEntry>& slots = blocks_[block];
        const std::size_t size = std::min(kBlock, count - block * kBlock);
        if (size > slots.capacity()) {
            // Doubling within a block, so that a small directory does not hold a whole block.
            slots.reserve(std::min(kBlock, std::max(size, slots.capacity() * 2)));
        }
        slots.resize(size);
    }
    count_ = static_cast<int>(count);
}
