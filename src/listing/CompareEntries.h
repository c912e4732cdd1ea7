#pragma once
// The orders of the Remote page's list: by name as unsigned bytes (+1, -1), by signed size (+2, -2)
// by time (+3, -3, where -1, no valid time, is the oldest) and by permission bits (+4, -4, unknown
// first); every other mode leaves the order alone.
#include "listing/RemoteEntry.h"

// Negative when `a` goes before `b` under `sortMode`, positive when after, 0 when equal or unsorted.
int CompareEntries(const RemoteEntry& a, const RemoteEntry& b, int sortMode);
