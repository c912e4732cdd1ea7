#include "listing/NameSorter.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

namespace {

// The bytes a key holds: two 64-bit words.
constexpr std::size_t kKeyBytes = 16;

// Rows are numbered in 27 bits beside a key length of at most kKeyBytes + 1 in the other 5.
constexpr int kPositionBits = 27;
constexpr std::uint32_t kPositionMask = (1u << kPositionBits) - 1;

// One row while sorting, in 24 bytes: 16 bytes of its name from some offset on, big-endian so that
// integer order is byte order; how many of them the name has (kKeyBytes + 1: more follow) above its
// position in the order before the sort (equal names keep it).
struct KeyedRow {
    std::uint64_t high;
    std::uint64_t low;
    std::uint32_t lengthAndPosition;
    int slot;

    std::uint32_t Length() const { return lengthAndPosition >> kPositionBits; }
    std::uint32_t Position() const { return lengthAndPosition & kPositionMask; }
};

// Scratch memory mapped with its pages already present: on a virtual machine, faulting in the 28 MB a
// million rows take, page by page, costs about as much as the sort itself.
template <typename T>
class PopulatedArray {
  public:
    explicit PopulatedArray(std::size_t count) : count_(count) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (count == 0) {
            return;
        }
        void* mapped = ::mmap(nullptr, Bytes(), PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (mapped != MAP_FAILED) {
            data_ = static_cast<T*>(mapped);
        } else {
            fallback_ = std::make_unique<T[]>(count);
            data_ = fallback_.get();
        }
    }
    ~PopulatedArray() {
        if (data_ != nullptr && fallback_ == nullptr) {
            ::munmap(data_, Bytes());
        }
    }
    PopulatedArray(const PopulatedArray&) = delete;
    PopulatedArray& operator=(const PopulatedArray&) = delete;

    T* begin() const { return data_; }
    T& operator[](std::size_t index) const { return data_[index]; }

  private:
    std::size_t Bytes() const { return count_ * sizeof(T); }

    std::size_t count_;
    T* data_ = nullptr;
    std::unique_ptr<T[]> fallback_;
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
    const auto length = static_cast<std::uint32_t>(std::min(name.size() - offset, kKeyBytes + 1));
    row.lengthAndPosition = (length << kPositionBits) | row.Position();
}

bool SameKey(const KeyedRow& a, const KeyedRow& b) {
    return a.high == b.high && a.low == b.low && a.Length() == b.Length();
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
    if constexpr (kDescending) {
        if (a.Length() != b.Length()) {
            return b.Length() < a.Length();
        }
        return a.Position() < b.Position();
    } else {
        // Length, then position: one comparison of the packed word.
        return a.lengthAndPosition < b.lengthAndPosition;
    }
}

// Sorts rows whose names agree in their first `offset` bytes, by the bytes from `offset` on.
void SortFrom(KeyedRow* begin, KeyedRow* end, const EntryArray& entries, std::size_t offset,
              bool descending) {
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
        if (last - first > 1 && first->Length() > kKeyBytes) {
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
    if (slots.size() > kPositionMask) {
        // More rows than a position can number (far past any memory a listing could fill): the plain
        // comparison sort.
        std::stable_sort(slots.begin(), slots.end(), [&](int a, int b) {
            const std::string& left = entries[a].Name();
            const std::string& right = entries[b].Name();
            return descending ? right < left : left < right;
        });
        return;
    }
    const PopulatedArray<int> positionOfSlot(static_cast<std::size_t>(entries.Count()));
    std::fill_n(positionOfSlot.begin(), entries.Count(), -1);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        positionOfSlot[static_cast<std::size_t>(slots[i])] = static_cast<int>(i);
    }
    const PopulatedArray<KeyedRow> rows(slots.size());
    KeyedRow* row = rows.begin();
    for (int slot = 0; slot < entries.Count(); ++slot) {
        const int position = positionOfSlot[static_cast<std::size_t>(slot)];
        if (position >= 0) {
            row->slot = slot;
            row->lengthAndPosition = static_cast<std::uint32_t>(position);
            Fill(*row, entries[slot].Name(), 0);
            ++row;
        }
    }
    SortFrom(rows.begin(), row, entries, 0, descending);
    std::size_t i = 0;
    for (const KeyedRow* sorted = rows.begin(); sorted != row; ++sorted) {
        slots[i++] = sorted->slot;
    }
}
