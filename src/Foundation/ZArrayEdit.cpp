// Insertion, deletion, moves and clearing of ZArray, and the switches between
// the contiguous and the paged layout.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "Foundation/ZArray.h"

namespace {

// The largest count: one more would be indistinguishable from "not found".
constexpr std::uint32_t kMaxCount = kZArrayNotFound - 1;

}  // namespace

ZArrayResult ZArray::InsertSlot(unsigned index, void** slot) { return OpenSlot(index, slot, true); }

bool ZArray::HoldsAddress(const void* address) const {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    auto within = [at](const char* block, std::size_t size) {
        const auto start = reinterpret_cast<std::uintptr_t>(block);
        return block && at - start < size;
    };
    if (buffer_) return within(buffer_, itemSize_ * capacity_);
    for (std::uint32_t k = 0; k < pageCount_; ++k)
        if (within(index_[k].page, pageSize_)) return true;
    return false;
}

ZArrayResult ZArray::InsertItemSelf(const void* item, unsigned index) {
    if (!HasStorage()) return kZArrayNoStorage;
    if (index > count_) return kZArrayIndexBeyondCount;
    // An item of this very array would move, or be freed with the old
    // buffer, when the slot opens: copy its bytes aside first. Small items
    // are always copied (cheaper than asking where they lie).
    alignas(std::max_align_t) char local[64];
    std::unique_ptr<char[]> heap;
    if (item && itemSize_ <= sizeof local) {
        std::memcpy(local, item, itemSize_);
        item = local;
    } else if (item && HoldsAddress(item)) {
        heap.reset(new (std::nothrow) char[itemSize_]);
        if (!heap) return kZArrayMemoryError;
        std::memcpy(heap.get(), item, itemSize_);
        item = heap.get();
    }
    void* slot = nullptr;
    ZArrayResult result = InsertSlot(index, &slot);
    if (result == 0) MoveOne(item, slot);
    return result;
}

ZArrayResult ZArray::AddItemSelf(const void* item, unsigned* index) {
    if (!HasStorage()) return kZArrayNoStorage;
    unsigned at = count_;
    // Not the virtual one: a subclass's insertion and its addition would both
    // act on the same item.
    ZArrayResult result = ZArray::InsertItemSelf(item, at);
    if (result == 0 && index) *index = at;
    return result;
}

void ZArray::SetIndItemSelf(const void* item, unsigned index) const {
    if (!HasStorage() || index >= count_) return;
    MoveOne(item, ItemAddress(index));
}

bool ZArray::ReserveIndexRecord() {
    // Room for one more page record and the terminator after it.
    if (pageCount_ + 1 < indexCapacity_) return true;
    auto* grown = static_cast<PageIndexRec*>(
        std::calloc(std::size_t{indexCapacity_} + kIndexGrowth, sizeof(PageIndexRec)));
    if (!grown) return false;
    std::memcpy(grown, index_, sizeof(PageIndexRec) * (pageCount_ + 1));
    std::free(index_);
    index_ = grown;
    indexCapacity_ += kIndexGrowth;
    return true;
}

ZArrayResult ZArray::OpenSlot(unsigned index, void** slot, bool adjustIterators) {
    if (!HasStorage()) return kZArrayNoStorage;
    if (index > count_) return kZArrayIndexBeyondCount;
    if (count_ >= kMaxCount) return kZArrayMemoryError;
    const std::size_t s = itemSize_;

    if (buffer_) {
        if (count_ == capacity_) {
            const std::uint64_t grown = std::uint64_t{capacity_} + growthStep_;
            if (locked_) return kZArrayMemoryError;
            if (grown >= threshold_) {
                ZArrayResult result = SwitchToPages(index, slot);
                if (result != 0) return result;
                goto inserted;
            }
            auto* buffer = static_cast<char*>(std::realloc(buffer_, s * grown));
            if (!buffer) return kZArrayMemoryError;
            buffer_ = buffer;
            capacity_ = static_cast<std::uint32_t>(grown);
        }
        std::memmove(buffer_ + s * (index + 1), buffer_ + s * index, s * (count_ - index));
        *slot = buffer_ + s * index;
    } else {
        std::uint32_t r = static_cast<std::uint32_t>(FindPage(index) - index_);
        // At the head of a page other than the first: the end of the previous
        // page serves when it has room.
        if (index != 0 && index == index_[r].first && r > 0 &&
            index_[r].first - index_[r - 1].first < itemsPerPage_) {
            *slot = index_[r - 1].page + s * (index_[r].first - index_[r - 1].first);
            for (std::uint32_t k = r; k <= pageCount_; ++k) index_[k].first += 1;
            goto inserted;
        }
        if (index == count_ && index_[r + 1].first - index_[r].first == itemsPerPage_) {
            // Appending to a full last page starts a new page: splitting it
            // would leave every page of an array filled by appends half empty.
            char* page = NewPage(true);
            if (!page) return kZArrayMemoryError;
            if (!ReserveIndexRecord()) {
                FreePage(page);
                return kZArrayMemoryError;
            }
            index_[pageCount_] = {count_, page};
            pageCount_ += 1;
            index_[pageCount_] = {count_ + 1, nullptr};
            *slot = page;
            goto inserted;
        }
        if (index_[r + 1].first - index_[r].first == itemsPerPage_) {
            // Split the full page: its last half moves to a new page after it.
            char* page = NewPage(r + 1 == pageCount_);
            if (!page) return kZArrayMemoryError;
            if (pageCount_ + 1 < indexCapacity_) {
                std::memmove(&index_[r + 2], &index_[r + 1],
                             sizeof(PageIndexRec) * (pageCount_ - r));
            } else {
                auto* grownIndex = static_cast<PageIndexRec*>(
                    std::calloc(std::size_t{indexCapacity_} + kIndexGrowth, sizeof(PageIndexRec)));
                if (!grownIndex) {
                    FreePage(page);
                    return kZArrayMemoryError;
                }
                std::memcpy(grownIndex, index_, sizeof(PageIndexRec) * (r + 1));
                std::memcpy(&grownIndex[r + 2], &index_[r + 1],
                            sizeof(PageIndexRec) * (pageCount_ - r));
                std::free(index_);
                index_ = grownIndex;
                indexCapacity_ += kIndexGrowth;
            }
            const std::uint32_t half = itemsPerPage_ / 2;
            std::memcpy(page, index_[r].page + s * (itemsPerPage_ - half), s * half);
            index_[r + 1] = {index_[r].first + itemsPerPage_ - half, page};
            pageCount_ += 1;
            if (index_[r + 1].first < index) r += 1;
        }
        PageIndexRec& rec = index_[r];
        const std::uint32_t offset = index - rec.first;
        const std::uint32_t inPage = index_[r + 1].first - rec.first;
        std::memmove(rec.page + s * (offset + 1), rec.page + s * offset, s * (inPage - offset));
        *slot = rec.page + s * offset;
        for (std::uint32_t k = r + 1; k <= pageCount_; ++k) index_[k].first += 1;
    }

inserted:
    count_ += 1;
    UpdateGuess();
    AdjustIterators(index, adjustIterators ? 1 : 0);
    return 0;
}

ZArrayResult ZArray::SwitchToPages(unsigned index, void** slot) {
    const std::size_t s = itemSize_;
    // The contiguous buffer always stays below the threshold, which is within
    // one page; this check keeps that promise from ever becoming an overflow.
    if (std::uint64_t{count_} + 1 > itemsPerPage_) return kZArrayMemoryError;
    auto* newIndex = static_cast<PageIndexRec*>(std::calloc(kIndexGrowth, sizeof(PageIndexRec)));
    char* page = newIndex ? NewPage(true) : nullptr;
    if (!newIndex || !page) {
        std::free(newIndex);
        if (page) FreePage(page);
        return kZArrayMemoryError;
    }
    std::memcpy(page, buffer_, s * index);
    std::memcpy(page + s * (index + 1), buffer_ + s * index, s * (count_ - index));
    std::free(buffer_);
    buffer_ = nullptr;
    capacity_ = 0;
    newIndex[0] = {0, page};
    newIndex[1] = {count_ + 1, nullptr};
    index_ = newIndex;
    indexCapacity_ = kIndexGrowth;
    pageCount_ = 1;
    *slot = page + s * index;
    return 0;
}

void ZArray::DeleteItem(unsigned index) { RemoveItem(index, true); }

void ZArray::RemoveItem(unsigned index, bool adjustIterators) {
    if (!HasStorage() || index >= count_) return;
    const std::size_t s = itemSize_;
    count_ -= 1;

    if (buffer_) {
        std::memmove(buffer_ + s * index, buffer_ + s * (index + 1), s * (count_ - index));
        if (!locked_ && std::uint64_t{count_} + growthStep_ < capacity_) {
            // A failed shrink keeps the larger buffer.
            const std::uint32_t smaller = capacity_ - growthStep_;
            if (auto* buffer = static_cast<char*>(std::realloc(buffer_, s * smaller))) {
                buffer_ = buffer;
                capacity_ = smaller;
            }
        }
    } else if (!(threshold_ > growthStep_ && count_ < threshold_ - growthStep_ &&
                 SwitchToContiguous(index))) {
        const std::uint32_t r = static_cast<std::uint32_t>(FindPage(index) - index_);
        PageIndexRec& rec = index_[r];
        const std::uint32_t inPage = index_[r + 1].first - rec.first;
        if (inPage == 1 && pageCount_ > 1) {
            // Removing the last page keeps the others in their places.
            if (r + 1 != pageCount_) pagesInOrder_ = false;
            FreePage(rec.page);
            std::memmove(&index_[r], &index_[r + 1], sizeof(PageIndexRec) * (pageCount_ - r));
            pageCount_ -= 1;
            for (std::uint32_t k = r; k <= pageCount_; ++k) index_[k].first -= 1;
            index_[pageCount_ + 1] = {0, nullptr};
        } else {
            const std::uint32_t offset = index - rec.first;
            std::memmove(rec.page + s * offset, rec.page + s * (offset + 1),
                         s * (inPage - offset - 1));
            for (std::uint32_t k = r + 1; k <= pageCount_; ++k) index_[k].first -= 1;
        }
    }
    UpdateGuess();
    AdjustIterators(index, adjustIterators ? -1 : 0);
}

bool ZArray::SwitchToContiguous(unsigned deletedIndex) {
    // The caller has already taken the deleted item off the count. The new
    // capacity stays below the threshold (count < threshold - step), so a later
    // switch back to pages fits in one page.
    const std::size_t s = itemSize_;
    std::uint32_t capacity = (count_ + growthStep_ - 1) / growthStep_ * growthStep_;
    if (capacity == 0) capacity = growthStep_;
    auto* buffer = static_cast<char*>(std::malloc(s * capacity));
    if (!buffer) return false;
    char* out = buffer;
    for (std::uint32_t k = 0; k < pageCount_; ++k) {
        const std::uint32_t first = index_[k].first;
        const std::uint32_t end = index_[k + 1].first;
        if (deletedIndex >= first && deletedIndex < end) {
            const std::uint32_t before = deletedIndex - first;
            std::memcpy(out, index_[k].page, s * before);
            out += s * before;
            std::memcpy(out, index_[k].page + s * (before + 1), s * (end - deletedIndex - 1));
            out += s * (end - deletedIndex - 1);
        } else {
            std::memcpy(out, index_[k].page, s * (end - first));
            out += s * (end - first);
        }
    }
    FreeStorage();
    buffer_ = buffer;
    capacity_ = capacity;
    return true;
}

void ZArray::RemoveAllItems() {
    if (HasStorage()) {
        count_ = 0;
        if (buffer_) {
            if (!locked_ && growthStep_ < capacity_) {
                if (auto* buffer =
                        static_cast<char*>(std::realloc(buffer_, itemSize_ * growthStep_))) {
                    buffer_ = buffer;
                    capacity_ = growthStep_;
                }
            }
        } else if (growthStep_ < threshold_) {
            FreeStorage();
            // Without this buffer the array is left with no storage.
            buffer_ = static_cast<char*>(std::malloc(itemSize_ * growthStep_));
            if (buffer_) capacity_ = growthStep_;
        } else {
            // A growth step at or above the threshold makes a paged array from
            // the start (a buffer of that size would not fit in one page when
            // it switches to pages): keep the first page, empty.
            for (std::uint32_t k = 1; k < pageCount_; ++k) FreePage(index_[k].page);
            char* page = index_[0].page;
            if (indexCapacity_ > kIndexGrowth) {
                if (auto* index = static_cast<PageIndexRec*>(
                        std::calloc(kIndexGrowth, sizeof(PageIndexRec)))) {
                    std::free(index_);
                    index_ = index;
                    indexCapacity_ = kIndexGrowth;
                }
            }
            std::memset(index_, 0, sizeof(PageIndexRec) * indexCapacity_);
            index_[0] = {0, page};
            pageCount_ = 1;
            pagesInOrder_ = page == region_;
        }
        UpdateGuess();
    }
    ResetIterators();
}

ZArrayResult ZArray::MoveItemToIndex(unsigned from, unsigned to) {
    if (!HasStorage()) return kZArrayNoStorage;
    if (from == to) return 0;
    if (from >= count_ || to >= count_) return kZArrayIndexBeyondCount;
    const std::size_t s = itemSize_;

    // The moving item waits in a temporary.
    alignas(std::max_align_t) char local[16];
    void* held = local;
    if (s > sizeof local) {
        held = std::malloc(s);
        if (!held) return kZArrayMemoryError;
    }
    struct Freer {
        void* block;
        ~Freer() {
            if (block) std::free(block);
        }
    } freer{held == local ? nullptr : held};
    MoveOne(ItemAddress(from), held);

    char* base = nullptr;
    std::uint32_t first = 0;
    if (buffer_) {
        base = buffer_;
    } else {
        const PageIndexRec* rec = FindPage(from);
        if (to >= rec->first && to < rec[1].first) {
            base = rec->page;
            first = rec->first;
        }
    }

    if (base) {
        const std::uint32_t f = from - first;
        const std::uint32_t t = to - first;
        if (f < t) {
            std::memmove(base + s * f, base + s * (f + 1), s * (t - f));
        } else {
            std::memmove(base + s * (t + 1), base + s * t, s * (f - t));
        }
        MoveOne(held, base + s * t);
        return 0;
    }

    // Different pages. Only the base insertion and deletion will do: a
    // subclass's deletion may give up what the item owns (a reference), and
    // the item is moved, not removed. Iterators keep their positions.
    void* slot = nullptr;
    const unsigned insertAt = to < from ? to : to + 1;
    const unsigned removeAt = to < from ? from + 1 : from;
    ZArrayResult result = OpenSlot(insertAt, &slot, false);
    if (result != 0) return result;
    MoveOne(held, slot);
    RemoveItem(removeAt, false);
    return 0;
}

void ZArray::SwapItems(unsigned a, unsigned b) {
    if (!HasStorage() || a >= count_ || b >= count_ || a == b) return;
    SwapBytes(a, b);
}

void ZArray::SwapBytes(unsigned a, unsigned b) const {
    char* x = ItemAddress(a);
    char* y = ItemAddress(b);
    char chunk[64];
    for (std::size_t done = 0; done < itemSize_;) {
        const std::size_t n = std::min(sizeof chunk, itemSize_ - done);
        std::memcpy(chunk, x + done, n);
        std::memcpy(x + done, y + done, n);
        std::memcpy(y + done, chunk, n);
        done += n;
    }
}
