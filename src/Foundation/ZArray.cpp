// Construction, copying, page lookup and iterators of ZArray.
#include "Foundation/ZArray.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "Foundation/PelException.h"
#include "Foundation/ZStMallocBlock.h"

namespace {

constexpr std::uint32_t kMinItemsPerPage = 64;

// Guards every array's iterator list; made usable on the first iterator.
std::mutex gIteratorLock;
std::atomic<bool> gIteratorsMade{false};

std::size_t SystemPageSize() {
    static const std::size_t pageSize = [] {
        long size = sysconf(_SC_PAGESIZE);
        return size > 0 ? static_cast<std::size_t>(size) : std::size_t{4096};
    }();
    return pageSize;
}

}  // namespace

ZArray::ZArray() = default;

ZArray::ZArray(std::size_t itemSize, unsigned slots) {
    if (itemSize == 0) throw PelException::LogicError("itemSize");
    if (slots == 0) slots = 1;

    const std::size_t systemPage = SystemPageSize();
    const std::size_t pageItems = std::max<std::size_t>(slots, kMinItemsPerPage);
    if (pageItems > SIZE_MAX / itemSize) throw std::bad_alloc();
    std::size_t pageSize = itemSize * pageItems;
    if (pageSize <= systemPage) {
        pageSize = systemPage;
    } else if (pageSize % systemPage) {
        std::size_t rounded = pageSize + (systemPage - pageSize % systemPage);
        if (rounded < pageSize) throw std::bad_alloc();
        pageSize = rounded;
    }
    const std::size_t itemsPerPage = pageSize / itemSize;
    if (itemsPerPage >= kZArrayNotFound) throw std::bad_alloc();
    // The number of items that fill three quarters of a page, counted upward.
    const std::size_t threeQuarters = pageSize / 4 * 3 + pageSize % 4 * 3 / 4;
    const std::size_t threshold = (itemSize + threeQuarters - 1) / itemSize;

    pageSize_ = pageSize;
    itemsPerPage_ = static_cast<std::uint32_t>(itemsPerPage);
    if (slots < threshold) {
        ZStMalloc<char> buffer(itemSize * slots, false);
        buffer_ = buffer.Release();
        capacity_ = slots;
    } else {
        ZStMalloc<PageIndexRec> index(sizeof(PageIndexRec) * kIndexGrowth, true);
        char* page = NewPage(true);
        if (!page) throw std::bad_alloc();
        index_ = index.Release();
        index_[0] = {0, page};
        index_[1] = {0, nullptr};
        indexCapacity_ = kIndexGrowth;
        pageCount_ = 1;
    }
    threshold_ = static_cast<std::uint32_t>(threshold);
    itemSize_ = itemSize;
    growthStep_ = slots;
    UpdateGuess();
}

ZArray::~ZArray() {
    if (iterators_) {
        std::lock_guard<std::mutex> guard(gIteratorLock);
        for (Iterator* it = iterators_; it;) {
            Iterator* next = it->link_;
            it->array_ = nullptr;
            it->next_ = 0;
            it->cache_ = nullptr;
            it->link_ = nullptr;
            it = next;
        }
        iterators_ = nullptr;
    }
    FreeStorage();
}

void ZArray::FreeStorage() {
    std::free(buffer_);
    buffer_ = nullptr;
    capacity_ = 0;
    if (index_) {
        for (std::uint32_t k = 0; k < pageCount_; ++k)
            if (!InRegion(index_[k].page)) std::free(index_[k].page);
        std::free(index_);
        index_ = nullptr;
    }
    if (region_) munmap(region_, pageSize_ * regionPages_);
    region_ = nullptr;
    regionPages_ = 0;
    pagesInOrder_ = false;
    flatBase_ = nullptr;
    flatCount_ = 0;
    indexCapacity_ = 0;
    pageCount_ = 0;
}

char* ZArray::NewPage(bool atEnd) {
    if (atEnd && (pagesInOrder_ || pageCount_ == 0)) {
        const std::uint32_t slot = pageCount_;
        const std::uint64_t pages = std::max<std::uint64_t>(std::uint64_t{regionPages_} * 2, 4);
        if (slot >= regionPages_ && pages <= UINT32_MAX && pages <= SIZE_MAX / pageSize_) {
            // Doubling the region keeps appends amortised; moving it moves
            // the pages, whose addresses are valid only until the array
            // changes anyway.
            const std::size_t bytes = pageSize_ * static_cast<std::size_t>(pages);
            void* grown = region_ ? mremap(region_, pageSize_ * regionPages_, bytes, MREMAP_MAYMOVE)
                                  : mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (grown != MAP_FAILED) {
                region_ = static_cast<char*>(grown);
                regionPages_ = static_cast<std::uint32_t>(pages);
                for (std::uint32_t k = 0; k < pageCount_; ++k)
                    index_[k].page = region_ + pageSize_ * k;
                UpdateGuess();
            }
        }
        if (slot < regionPages_) {
            pagesInOrder_ = true;
            return region_ + pageSize_ * slot;
        }
    }
    // Out of order, or the region could not grow: an ordinary block.
    pagesInOrder_ = false;
    return static_cast<char*>(std::malloc(pageSize_));
}

void ZArray::FreePage(char* page) {
    if (InRegion(page)) {
        // The place stays reserved; its memory goes back to the system.
        madvise(page, pageSize_, MADV_DONTNEED);
    } else {
        std::free(page);
    }
}

ZArrayResult ZArray::Copy(ZArray** out) const {
    return FinishCopy(new (std::nothrow) ZArray(), out);
}

ZArrayResult ZArray::FinishCopy(ZArray* made, ZArray** out) const {
    ZArrayResult result = made ? CopySelf(made) : kZArrayMemoryError;
    if (result != 0) {
        delete made;
        made = nullptr;
    }
    if (out) {
        *out = made;
    } else {
        delete made;
    }
    return result;
}

ZArrayResult ZArray::CopySelf(ZArray* target) const {
    if (!HasStorage()) return kZArrayNoStorage;
    if (!target || target->HasStorage()) return kZArrayTargetHasStorage;

    if (buffer_) {
        auto* buffer = static_cast<char*>(std::malloc(itemSize_ * capacity_));
        if (!buffer) return kZArrayMemoryError;
        std::memcpy(buffer, buffer_, itemSize_ * count_);
        target->buffer_ = buffer;
        target->capacity_ = capacity_;
    } else {
        auto* index = static_cast<PageIndexRec*>(std::calloc(indexCapacity_, sizeof(PageIndexRec)));
        if (!index) return kZArrayMemoryError;
        for (std::uint32_t k = 0; k < pageCount_; ++k) {
            auto* page = static_cast<char*>(std::malloc(pageSize_));
            if (!page) {
                for (std::uint32_t j = 0; j < k; ++j) std::free(index[j].page);
                std::free(index);
                return kZArrayMemoryError;
            }
            std::memcpy(page, index_[k].page, itemSize_ * (index_[k + 1].first - index_[k].first));
            index[k] = {index_[k].first, page};
        }
        index[pageCount_] = index_[pageCount_];
        target->index_ = index;
        target->indexCapacity_ = indexCapacity_;
        target->pageCount_ = pageCount_;
    }
    target->pageSize_ = pageSize_;
    target->itemsPerPage_ = itemsPerPage_;
    target->threshold_ = threshold_;
    target->itemSize_ = itemSize_;
    target->count_ = count_;
    target->growthStep_ = growthStep_;
    target->locked_ = locked_;
    target->UpdateGuess();
    return 0;
}

const ZArray::PageIndexRec* ZArray::FindPage(std::uint32_t index) const {
    // The last page whose first index is at or below `index`: an index on a
    // page boundary belongs to the later page, the count to the last page.
    // Only a lone page can be empty, so first indexes strictly increase. The
    // halving has no branch on the data (a conditional move), so random
    // indexes cost no mispredictions.
    const PageIndexRec* base = index_;
    std::uint32_t n = pageCount_;  // answer in [base, base + n)
    while (n > 1) {
        const std::uint32_t half = n / 2;
        base = base[half].first <= index ? base + half : base;
        n -= half;
    }
    return base;
}

const ZArray::PageIndexRec* ZArray::FindPageCached(std::uint32_t index) const {
    const std::uint32_t last = lastPage_.load(std::memory_order_relaxed);
    if (last < pageCount_) {
        const PageIndexRec* rec = index_ + last;
        if (index - rec->first < rec[1].first - rec->first) return rec;
    }
    // The first guess missed: step from it by the number of pages the miss
    // spans at the average fill. Where the fill varies only a little (a few
    // pages split by insertions) one or two steps land on the page.
    if (guessScale_ != 0) {
        std::int64_t guess = static_cast<std::int64_t>((std::uint64_t{index} * guessScale_) >> 32);
        for (int step = 0; step < 3; ++step) {
            guess = std::clamp<std::int64_t>(guess, 0, std::int64_t{pageCount_} - 1);
            const PageIndexRec* rec = index_ + guess;
            if (index < rec->first) {
                const std::uint64_t miss = rec->first - index;
                guess -= static_cast<std::int64_t>(((miss * guessScale_) >> 32) + 1);
            } else if (index >= rec[1].first) {
                const std::uint64_t miss = index - rec[1].first;
                guess += static_cast<std::int64_t>(((miss * guessScale_) >> 32) + 1);
            } else {
                return rec;
            }
        }
    }
    const PageIndexRec* rec = FindPage(index);
    lastPage_.store(static_cast<std::uint32_t>(rec - index_), std::memory_order_relaxed);
    return rec;
}

void ZArray::UpdateGuess() {
    // Every page but the last holds index_[pageCount_ - 1].first items; the
    // scale is rounded up, so that an index at the head of a page is not
    // guessed into the page before it.
    const std::uint32_t before = index_ && pageCount_ > 1 ? index_[pageCount_ - 1].first : 0;
    guessScale_ = before ? ((std::uint64_t{pageCount_ - 1} << 32) + before - 1) / before : 0;
    // No page holds more than items-per-page items, so the pages before the
    // last are all full exactly when they hold that many times their number.
    const bool powerOfTwo = (itemsPerPage_ & (itemsPerPage_ - 1)) == 0;
    fullPagesShift_ = index_ && powerOfTwo &&
                              std::uint64_t{before} == std::uint64_t{pageCount_ - 1} * itemsPerPage_
                          ? static_cast<std::uint32_t>(__builtin_ctz(itemsPerPage_))
                          : kNoShift;
    const bool flatPages = index_ && pagesInOrder_ &&
                           std::uint64_t{before} == std::uint64_t{pageCount_ - 1} * itemsPerPage_ &&
                           pageSize_ == std::size_t{itemsPerPage_} * itemSize_;
    flatBase_ = buffer_ ? buffer_ : flatPages ? region_ : nullptr;
    flatCount_ = flatBase_ ? count_ : 0;
}

char* ZArray::ItemAddress(std::uint32_t index) const { return static_cast<char*>(ItemPtr(index)); }

void* ZArray::GetItemPtrSelf(unsigned index) const { return ItemPtr(index); }

void ZArray::MoveOne(const void* src, void* dest) const {
    if (src && dest) std::memmove(dest, src, itemSize_);
}

unsigned char ZArray::SetLocked(unsigned char locked) {
    unsigned char previous = locked_;
    if (HasStorage()) locked_ = locked;
    return previous;
}

void ZArray::LeaksIgnore() {}

void ZArray::AdjustIterators(std::uint32_t index, int delta) const {
    if (!gIteratorsMade.load(std::memory_order_acquire) || !iterators_) return;
    std::lock_guard<std::mutex> guard(gIteratorLock);
    for (Iterator* it = iterators_; it; it = it->link_) {
        if (delta != 0 && it->next_ > index) it->next_ += delta;
        it->cache_ = nullptr;
    }
}

void ZArray::ResetIterators() const {
    if (!gIteratorsMade.load(std::memory_order_acquire) || !iterators_) return;
    std::lock_guard<std::mutex> guard(gIteratorLock);
    for (Iterator* it = iterators_; it; it = it->link_) {
        it->next_ = 0;
        it->cache_ = nullptr;
    }
}

ZArray::Iterator::Iterator(const ZArray* array, unsigned start) {
    if (!array || !array->HasStorage()) return;
    gIteratorsMade.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> guard(gIteratorLock);
    array_ = array;
    next_ = std::min<std::uint32_t>(start, array->count_);
    link_ = array->iterators_;
    array->iterators_ = this;
}

ZArray::Iterator::~Iterator() {
    if (!gIteratorsMade.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(gIteratorLock);
    if (!array_) return;
    for (Iterator** link = &array_->iterators_; *link; link = &(*link)->link_) {
        if (*link == this) {
            *link = link_;
            break;
        }
    }
}

bool ZArray::Iterator::NextPtr(ZArrayItem** item) {
    const ZArray* array = array_;
    if (!array || next_ >= array->count_) return false;
    char* address;
    if (array->buffer_) {
        address = array->buffer_ + array->itemSize_ * next_;
    } else {
        if (!cache_) {
            cache_ = array->FindPage(next_);
        } else {
            while (next_ >= cache_[1].first) ++cache_;
        }
        address = cache_->page + array->itemSize_ * (next_ - cache_->first);
    }
    if (item) *item = reinterpret_cast<ZArrayItem*>(address);
    ++next_;
    return true;
}

bool ZArray::Iterator::Next(ZArrayItem* item) {
    ZArrayItem* address = nullptr;
    if (!NextPtr(&address)) return false;
    array_->MoveOne(address, item);
    return true;
}
