// ZArray: an array of fixed-size items that keeps small arrays in one
// contiguous buffer and large ones in pages, so that inserting or deleting in
// a large array moves at most one page of items.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

/// Opaque item type: items are reached through pointers to their bytes.
struct ZArrayItem;

/// Result of the array's operations: 0 on success, else one of the codes below.
using ZArrayResult = std::uint32_t;
inline constexpr ZArrayResult kZArrayNoStorage = 26001;         // the array has no storage
inline constexpr ZArrayResult kZArrayTargetHasStorage = 26002;  // copy target is not empty
inline constexpr ZArrayResult kZArrayIndexBeyondCount = 26003;  // index past the item count
/// Memory ran out: the out-of-memory error number (-108) as a result code.
inline constexpr ZArrayResult kZArrayMemoryError = static_cast<ZArrayResult>(-108);
/// What searches return when nothing matches.
inline constexpr unsigned kZArrayNotFound = 0xFFFFFFFF;

/// Search predicate: non-zero when `item` matches.
using ZArrayFindProc = unsigned char (*)(const ZArrayItem* item, void* context);
/// Sort comparator: negative when `a` goes before `b`, positive when after.
using ZArrayCompareProc = long (*)(const ZArrayItem* a, const ZArrayItem* b, void* context);

/// The array. Not thread-safe: its owner serialises access, except that
/// iterators may be made and ended on several threads at once while no thread
/// changes the array.
///
/// Layout: while it holds fewer items than three quarters of a page (the
/// threshold) the array keeps one buffer that grows and shrinks by the slot
/// count given at construction; beyond that it keeps pages found through a
/// sorted index. Pages are at least one system page and at least 64 items.
///
/// Every copy of an item made by the array's operations goes through
/// `MoveOne`, so a subclass controls how items are copied.
class ZArray {
  public:
    /// One page of the paged layout: the index of its first item and its bytes.
    struct PageIndexRec {
        std::uint32_t first;
        char* page;
    };

    /// Walks the items of an array from a start index. An iterator registers
    /// itself on its array: insertions and deletions before its position move
    /// it so that it keeps walking the same items, and `RemoveAllItems` sets it
    /// back to 0. Reordering (moves, swaps, sorting) leaves its position. When
    /// the array is destroyed first the iterator is detached and ends.
    class Iterator {
      public:
        /// Attaches to `array` at min(start, count) when the array has storage;
        /// otherwise (or with a null array) the iterator is detached.
        explicit Iterator(const ZArray* array, unsigned start = 0);
        explicit Iterator(const ZArray& array, unsigned start = 0) : Iterator(&array, start) {}
        ~Iterator();
        Iterator(const Iterator&) = delete;
        Iterator& operator=(const Iterator&) = delete;

        /// The address of the next item, in place; false at the end or when
        /// detached. The address is valid until the array next changes.
        bool NextPtr(ZArrayItem** item);
        /// The same, copying the item into `item` through the array's MoveOne.
        bool Next(ZArrayItem* item);
        /// The index of the item the next call returns.
        unsigned NextIndex() const { return next_; }

      private:
        friend class ZArray;
        const ZArray* array_ = nullptr;
        std::uint32_t next_ = 0;
        const PageIndexRec* cache_ = nullptr;  // page record of next_, null: look it up
        Iterator* link_ = nullptr;
    };

    /// An empty array without storage, usable only as a copy target.
    ZArray();
    /// An empty array of items of `itemSize` bytes that grows by `slots` items
    /// (0 counts as 1). Throws std::bad_alloc when memory runs out and
    /// PelException::LogicError for an item size of 0.
    ZArray(std::size_t itemSize, unsigned slots);
    /// Detaches every iterator and frees the storage.
    virtual ~ZArray();
    ZArray(const ZArray&) = delete;
    ZArray& operator=(const ZArray&) = delete;

    /// A new array of the same class holding copies of the items; null and a
    /// non-zero code (kZArrayNoStorage, kZArrayMemoryError) on failure.
    virtual ZArrayResult Copy(ZArray** out) const;
    /// Removes the item at `index`; ignored without storage or out of range.
    virtual void DeleteItem(unsigned index);
    /// Takes the item at `from` out and puts it at `to`, shifting the items
    /// between by one. kZArrayIndexBeyondCount when either index is not below
    /// the count; kZArrayMemoryError when memory runs out (nothing changed).
    virtual ZArrayResult MoveItemToIndex(unsigned from, unsigned to);
    /// Exchanges the bytes of two items; ignored when either is out of range.
    virtual void SwapItems(unsigned a, unsigned b);
    /// Removes every item and gives back the memory. If the fresh buffer
    /// cannot be had the array is left without storage.
    virtual void RemoveAllItems();
    /// Sets the locked flag (only with storage) and returns the previous one.
    /// While locked the contiguous buffer is never reallocated: an insertion
    /// into a full buffer then fails with kZArrayMemoryError.
    virtual unsigned char SetLocked(unsigned char locked);
    virtual void LeaksIgnore();
    /// Inserts a copy of the item at `item` before `index` (index = count
    /// appends). kZArrayNoStorage, kZArrayIndexBeyondCount, kZArrayMemoryError.
    virtual ZArrayResult InsertItemSelf(const void* item, unsigned index);
    /// Appends a copy of the item; stores its index in `index` when not null.
    virtual ZArrayResult AddItemSelf(const void* item, unsigned* index);
    /// Overwrites the item at `index`; ignored without storage or out of range.
    virtual void SetIndItemSelf(const void* item, unsigned index) const;
    /// Copies items first .. first + n - 1 out as raw bytes; nothing when n is
    /// 0, without storage, or when the range does not lie within the count.
    virtual void GetMultipleSelf(void* dest, unsigned first, unsigned n) const;
    /// Copies n items in as raw bytes; the same range rule.
    virtual void SetMultipleSelf(const void* src, unsigned first, unsigned n) const;
    /// Opens a gap of one item before `index` and gives its address; the
    /// caller fills it. Codes as InsertItemSelf.
    virtual ZArrayResult InsertSlot(unsigned index, void** slot);
    /// The item's address in place, valid until the array next changes; null
    /// without storage or when index is not below the count.
    virtual void* GetItemPtrSelf(unsigned index) const;
    /// The same as GetItemPtrSelf of this class, inline and not virtual: the
    /// read path for callers that know they hold a plain array. Safe for
    /// readers on several threads at once while no thread changes the array.
    void* ItemPtr(unsigned index) const {
        // Items lying one after another: the contiguous buffer, or full pages
        // in order in the page region.
        if (index < flatCount_) [[likely]]
            return flatBase_ + itemSize_ * index;
        if (index >= count_) return nullptr;  // an array without storage counts 0
        if (fullPagesShift_ != kNoShift) {
            // Every page but the last is full and holds a power of two of
            // items: the page and the place in it follow from the index.
            return index_[index >> fullPagesShift_].page +
                   itemSize_ * (index & (itemsPerPage_ - 1));
        }
        // The page the average fill points at, checked against the index.
        std::uint32_t guess =
            static_cast<std::uint32_t>((std::uint64_t{index} * guessScale_) >> 32);
        if (guess >= pageCount_) guess = pageCount_ - 1;
        const PageIndexRec* rec = index_ + guess;
        // A guess one page off either way is set right without a branch
        // (index < count, so neither step leaves the pages).
        rec += index >= rec[1].first;
        rec -= index < rec->first;
        if (index - rec->first >= rec[1].first - rec->first) rec = FindPageCached(index);
        return rec->page + itemSize_ * (index - rec->first);
    }
    /// Copies one item (overlap allowed) when both pointers are set.
    virtual void MoveOne(const void* src, void* dest) const;
    /// The first index from `start` upward whose item matches, else
    /// kZArrayNotFound. A predicate that throws counts as no match.
    virtual unsigned FindFirstSelf(unsigned start, ZArrayFindProc match, void* context) const;
    /// The first index from min(start, count - 1) downward whose item matches.
    virtual unsigned FindLastSelf(unsigned start, ZArrayFindProc match, void* context) const;
    /// Sorts every item. A comparator that throws ends the sort, leaving the
    /// items in some order.
    virtual void SortSelf(ZArrayCompareProc compare, void* context) const;
    /// Sorts items first .. first + n - 1 (clipped to the count); nothing when
    /// n is 0 or first + 1 >= count.
    virtual void PartialSortSelf(unsigned first, unsigned n, ZArrayCompareProc compare,
                                 void* context) const;

    /// Fills `target`, an array without storage, with a copy of this one's
    /// layout and items. kZArrayNoStorage, kZArrayTargetHasStorage,
    /// kZArrayMemoryError (the target is left without storage).
    ZArrayResult CopySelf(ZArray* target) const;

    unsigned Count() const { return count_; }
    std::size_t ItemSize() const { return itemSize_; }
    bool HasStorage() const { return buffer_ || index_; }
    unsigned char IsLocked() const { return locked_; }

    // Layout, for diagnostics and tests.
    bool IsPaged() const { return index_ != nullptr; }
    unsigned PageCount() const { return pageCount_; }
    /// The index of the first item of page `page`; the count for the page
    /// after the last.
    unsigned PageFirstIndex(unsigned page) const {
        return index_ && page <= pageCount_ ? index_[page].first : 0;
    }
    unsigned Capacity() const { return capacity_; }
    unsigned ItemsPerPage() const { return itemsPerPage_; }
    unsigned Threshold() const { return threshold_; }
    std::size_t PageSize() const { return pageSize_; }

  protected:
    /// Finishes a subclass's Copy: `made` is a new empty array of that class
    /// (null when its allocation failed).
    ZArrayResult FinishCopy(ZArray* made, ZArray** out) const;

  private:
    // Records added to the page index whenever it is full.
    static constexpr std::uint32_t kIndexGrowth = 8;

    const PageIndexRec* FindPage(std::uint32_t index) const;
    // FindPage for an index below the count, trying the page of the last
    // lookup before searching. Declared pure: it changes nothing but its own
    // cache, which no caller reads, so callers may keep the array's fields in
    // registers across it.
    [[gnu::pure]] const PageIndexRec* FindPageCached(std::uint32_t index) const;
    // Recomputes the read shortcuts (flat items, page guess) after the
    // layout or the count changed.
    void UpdateGuess();
    // A page of pageSize_ bytes, or null when memory runs out. `atEnd`: the
    // page will be appended after every other page, and comes from the page
    // region while the pages lie there in order.
    char* NewPage(bool atEnd);
    // Gives back a page made by NewPage that is no longer in the index.
    void FreePage(char* page);
    bool InRegion(const char* page) const {
        return region_ &&
               reinterpret_cast<std::uintptr_t>(page) - reinterpret_cast<std::uintptr_t>(region_) <
                   pageSize_ * regionPages_;
    }
    // Makes room in the page index for one more page; false when memory runs out.
    bool ReserveIndexRecord();
    // Whether `address` lies in the array's own storage.
    bool HoldsAddress(const void* address) const;
    char* ItemAddress(std::uint32_t index) const;
    ZArrayResult OpenSlot(unsigned index, void** slot, bool adjustIterators);
    ZArrayResult SwitchToPages(unsigned index, void** slot);
    void RemoveItem(unsigned index, bool adjustIterators);
    bool SwitchToContiguous(unsigned deletedIndex);
    void FreeStorage();
    void AdjustIterators(std::uint32_t index, int delta) const;
    void ResetIterators() const;
    void SwapBytes(unsigned a, unsigned b) const;
    void SortRange(std::uint32_t first, std::uint32_t end, ZArrayCompareProc compare,
                   void* context) const;

    PageIndexRec* index_ = nullptr;
    std::uint32_t indexCapacity_ = 0;
    std::uint32_t pageCount_ = 0;
    std::size_t pageSize_ = 0;
    std::uint32_t itemsPerPage_ = 0;
    char* buffer_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t threshold_ = 0;
    std::size_t itemSize_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t growthStep_ = 0;
    unsigned char locked_ = 0;
    mutable Iterator* iterators_ = nullptr;
    // Paged reads: the page of item i is guessed as (i * guessScale_) >> 32,
    // from the average fill of every page but the last, and checked. While
    // every page but the last is full and items per page are a power of two,
    // the page is i >> fullPagesShift_ exactly (else kNoShift).
    static constexpr std::uint32_t kNoShift = 0xFF;
    std::uint64_t guessScale_ = 0;
    std::uint32_t fullPagesShift_ = kNoShift;
    // Pages appended in order come from one mapped region, page k at
    // region_ + k * pageSize_, so that reads of an array filled by appends
    // need no index load. pagesInOrder_ holds while every page in the index
    // lies at its place in the region.
    char* region_ = nullptr;
    std::uint32_t regionPages_ = 0;
    bool pagesInOrder_ = false;
    // Item i lies at flatBase_ + i * itemSize_ for every i below flatCount_:
    // the contiguous buffer and its count, or the region when the pages are
    // in order, every page but the last is full and pages have no slack
    // after their items; else 0.
    char* flatBase_ = nullptr;
    std::uint32_t flatCount_ = 0;
    // The page record number the last searched read found (checked on use).
    mutable std::atomic<std::uint32_t> lastPage_{0};
};
