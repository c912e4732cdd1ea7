#pragma once
// The entries of one remote directory, by slot index. Rows, selections and queued requests refer to
// entries by index, so an index keeps its entry for the array's lifetime; a blank slot (empty name) is
// a deleted entry.
#include <cstddef>
#include <vector>

#include "listing/RemoteEntry.h"

class EntryArray {
  public:
    static constexpr int kInitialSlots = 16;
    // Slots live in blocks of this many, so that growing never moves the entries already stored: a
    // directory of a million entries would otherwise be copied again and again while it arrives.
    static constexpr int kBlockSlots = 4096;

    // kInitialSlots default (blank) slots.
    EntryArray();

    int Count() const { return count_; }
    bool Contains(int index) const { return index >= 0 && index < Count(); }

    // A copy of slot `index`; a blank default entry for an index outside the array.
    RemoteEntry At(int index) const;
    // Slot `index`, which must exist (Contains).
    const RemoteEntry& operator[](int index) const {
        const auto slot = static_cast<std::size_t>(index);
        return blocks_[slot / kBlockSlots][slot % kBlockSlots];
    }

    // Stores a copy in slot `index`, enlarging the array to index + 1 slots when the index is at or past
    // the end. A negative index changes nothing and gives false.
    bool Set(int index, RemoteEntry entry);
    // Empties the name of slot `index`, keeping the slot; false for an index outside the array.
    bool MakeBlank(int index);
    // Leaves exactly `usedCount` slots: a finished listing keeps what it filled and no spare room.
    void Trim(int usedCount);

  private:
    RemoteEntry& SlotAt(std::size_t slot) { return blocks_[slot / kBlockSlots][slot % kBlockSlots]; }
    // Exactly `count` slots, new ones blank.
    void Resize(std::size_t count);

    std::vector<std::vector<RemoteEntry>> blocks_;
    int count_ = 0;
};
