#pragma once
// Puts rows of a listing in the order of their names as unsigned bytes (CompareEntries' name order),
// stably, without comparing scattered strings: the names' bytes are packed into integers beside the
// rows once, so a folder of a million entries sorts in a fraction of a second.
#include <vector>

#include "listing/EntryArray.h"

class NameSorter {
  public:
    // Reorders `slots` (slot indexes into `entries`) by name, ascending or descending; rows of equal
    // names keep their order.
    static void Sort(std::vector<int>& slots, const EntryArray& entries, bool descending);
};
