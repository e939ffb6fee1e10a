// Bulk copies, searches and sorting of ZArray.
#include <cxxabi.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "Foundation/ZArray.h"

namespace {

// Fewer items than this are sorted by selection.
constexpr std::uint32_t kSelectionSortLimit = 13;

bool RangeWithin(unsigned first, unsigned n, unsigned count) {
    return n != 0 && std::uint64_t{first} + n <= count;
}

}  // namespace

void ZArray::GetMultipleSelf(void* dest, unsigned first, unsigned n) const {
    if (!HasStorage() || !RangeWithin(first, n, count_) || !dest) return;
    auto* out = static_cast<char*>(dest);
    if (buffer_) {
        std::memcpy(out, buffer_ + itemSize_ * first, itemSize_ * n);
        return;
    }
    const PageIndexRec* rec = FindPage(first);
    for (std::uint32_t i = first, end = first + n; i < end; ++rec) {
        const std::uint32_t take = std::min(end, rec[1].first) - i;
        std::memcpy(out, rec->page + itemSize_ * (i - rec->first), itemSize_ * take);
        out += itemSize_ * take;
        i += take;
    }
}

void ZArray::SetMultipleSelf(const void* src, unsigned first, unsigned n) const {
    if (!HasStorage() || !RangeWithin(first, n, count_) || !src) return;
    auto* in = static_cast<const char*>(src);
    if (buffer_) {
        std::memmove(buffer_ + itemSize_ * first, in, itemSize_ * n);
        return;
    }
    const PageIndexRec* rec = FindPage(first);
    for (std::uint32_t i = first, end = first + n; i < end; ++rec) {
        const std::uint32_t take = std::min(end, rec[1].first) - i;
        std::memmove(rec->page + itemSize_ * (i - rec->first), in, itemSize_ * take);
        in += itemSize_ * take;
        i += take;
    }
}

namespace {

// Calls the predicate; an exception from it counts as no match. Thread
// cancellation unwinds with a special exception that must go on.
unsigned char Matches(ZArrayFindProc match, const char* item, void* context) {
    try {
        return match(reinterpret_cast<const ZArrayItem*>(item), context);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return 0;
    }
}

}  // namespace

unsigned ZArray::FindFirstSelf(unsigned start, ZArrayFindProc match, void* context) const {
    if (!HasStorage() || !match || start >= count_) return kZArrayNotFound;
    if (buffer_) {
        for (std::uint32_t i = start; i < count_; ++i) {
            if (Matches(match, buffer_ + itemSize_ * i, context)) return i;
        }
        return kZArrayNotFound;
    }
    const PageIndexRec* rec = FindPage(start);
    for (std::uint32_t i = start; i < count_; ++i) {
        while (i >= rec[1].first) ++rec;
        if (Matches(match, rec->page + itemSize_ * (i - rec->first), context)) return i;
    }
    return kZArrayNotFound;
}

unsigned ZArray::FindLastSelf(unsigned start, ZArrayFindProc match, void* context) const {
    if (!HasStorage() || !match || count_ == 0) return kZArrayNotFound;
    std::uint32_t i = std::min<std::uint32_t>(start, count_ - 1);
    const PageIndexRec* rec = buffer_ ? nullptr : FindPage(i);
    for (;;) {
        const char* item;
        if (buffer_) {
            item = buffer_ + itemSize_ * i;
        } else {
            while (i < rec->first) --rec;
            item = rec->page + itemSize_ * (i - rec->first);
        }
        if (Matches(match, item, context)) return i;
        if (i == 0) return kZArrayNotFound;
        --i;
    }
}

void ZArray::SortSelf(ZArrayCompareProc compare, void* context) const {
    if (!HasStorage() || !compare || count_ < 2) return;
    try {
        SortRange(0, count_, compare, context);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // The comparator gave up; the items stay in whatever order they reached.
    }
}

void ZArray::PartialSortSelf(unsigned first, unsigned n, ZArrayCompareProc compare,
                             void* context) const {
    if (!HasStorage() || !compare || n == 0 || std::uint64_t{first} + 1 >= count_) return;
    const std::uint32_t end =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{first} + n, count_));
    try {
        SortRange(first, end, compare, context);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

void ZArray::SortRange(std::uint32_t first, std::uint32_t end, ZArrayCompareProc compare,
                       void* context) const {
    auto item = [this](std::uint32_t i) {
        return reinterpret_cast<const ZArrayItem*>(ItemAddress(i));
    };
    auto cmp = [&](std::uint32_t a, std::uint32_t b) { return compare(item(a), item(b), context); };

    while (end - first > 1) {
        if (end - first < kSelectionSortLimit) {
            for (std::uint32_t k = first; k + 1 < end; ++k) {
                std::uint32_t smallest = k;
                for (std::uint32_t j = k + 1; j < end; ++j) {
                    // Only a strictly smaller item replaces the candidate, so
                    // the earliest of equal items is taken.
                    if (cmp(smallest, j) > 0) smallest = j;
                }
                if (smallest != k) SwapBytes(k, smallest);
            }
            return;
        }

        // Median of three, moved to position first. The three samples are
        // put in order first, so the largest lands at the end rather than in
        // the middle: a pivot that is the largest or smallest item, or an
        // extreme item left at the front of a part, would make sorted or
        // reversed input split one item at a time.
        const std::uint32_t mid = first + (end - first) / 2;
        const std::uint32_t last = end - 1;
        if (cmp(mid, first) < 0) SwapBytes(mid, first);
        if (cmp(last, mid) < 0) {
            SwapBytes(last, mid);
            if (cmp(mid, first) < 0) SwapBytes(mid, first);
        }
        SwapBytes(first, mid);

        std::uint32_t i = first + 1;
        std::uint32_t j = end;
        for (;;) {
            while (i < end && cmp(i, first) < 0) ++i;
            do {
                --j;
            } while (j > first && cmp(j, first) > 0);
            if (i >= j) break;
            SwapBytes(i, j);
            // The swapped-in item is not above the pivot; stepping past it
            // keeps runs of equal items from splitting one item at a time.
            ++i;
        }

        if (j == first) {
            // Nothing sorts below the pivot.
            first += 1;
            continue;
        }
        SwapBytes(first, j);
        if (j - first < end - (j + 1)) {
            SortRange(first, j, compare, context);
            first = j + 1;
        } else {
            SortRange(j + 1, end, compare, context);
            end = j;
        }
    }
}
