#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Foundation/PelException.h"
#include "Foundation/ZArray.h"

namespace {

using Values = std::vector<std::uint64_t>;

bool FourKPages() { return sysconf(_SC_PAGESIZE) == 4096; }

Values Contents(const ZArray& array) {
    Values out(array.Count());
    array.GetMultipleSelf(out.data(), 0, array.Count());
    return out;
}

std::uint64_t At(const ZArray& array, unsigned index) {
    return *static_cast<const std::uint64_t*>(array.GetItemPtrSelf(index));
}

// Items first .. last lie in one block of memory (one page, or the buffer).
bool Adjacent(const ZArray& array, unsigned first, unsigned last) {
    auto* a = static_cast<const char*>(array.GetItemPtrSelf(first));
    auto* b = static_cast<const char*>(array.GetItemPtrSelf(last));
    return b - a == static_cast<std::ptrdiff_t>((last - first) * array.ItemSize());
}

// The first index of every page.
std::vector<unsigned> PageStarts(const ZArray& array) {
    std::vector<unsigned> starts;
    for (unsigned k = 0; k < array.PageCount(); ++k) starts.push_back(array.PageFirstIndex(k));
    return starts;
}

void Append(ZArray& array, Values& model, std::uint64_t value) {
    ASSERT_EQ(array.AddItemSelf(&value, nullptr), 0u);
    model.push_back(value);
}

void FillTo(ZArray& array, Values& model, unsigned count) {
    while (array.Count() < count) Append(array, model, 1000 + model.size());
}

void Delete(ZArray& array, Values& model, unsigned index) {
    array.DeleteItem(index);
    model.erase(model.begin() + index);
}

TEST(ZArray, PageSizeThresholdAndStartingLayout) {
    if (!FourKPages()) GTEST_SKIP() << "the figures assume 4096-byte system pages";
    struct Case {
        std::size_t itemSize;
        unsigned slots;
        std::size_t pageSize;
        unsigned itemsPerPage;
        unsigned threshold;
        bool pagedAtStart;
    };
    const Case cases[] = {
        {8, 4, 4096, 512, 384, false},   {8, 383, 4096, 512, 384, false},
        {8, 384, 4096, 512, 384, true},  {8, 600, 8192, 1024, 768, false},
        {1, 1, 4096, 4096, 3072, false}, {24, 4, 4096, 170, 128, false},
        {64, 4, 4096, 64, 48, false},    {200, 4, 16384, 81, 62, false},
        {64, 100, 8192, 128, 96, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.itemSize << " bytes, " << c.slots << " slots");
        ZArray array(c.itemSize, c.slots);
        EXPECT_EQ(array.PageSize(), c.pageSize);
        EXPECT_EQ(array.ItemsPerPage(), c.itemsPerPage);
        EXPECT_EQ(array.Threshold(), c.threshold);
        EXPECT_EQ(array.IsPaged(), c.pagedAtStart);
        EXPECT_EQ(array.Capacity(), c.pagedAtStart ? 0u : c.slots);
        EXPECT_EQ(array.Count(), 0u);
    }
}

TEST(ZArray, GrowsByItsStepThenSwitchesToPagesAndSplitsFullPages) {
    if (!FourKPages()) GTEST_SKIP() << "the figures assume 4096-byte system pages";
    ZArray array(8, 4);
    Values model;
    for (unsigned n = 1; n <= 380; ++n) {
        Append(array, model, n);
        ASSERT_FALSE(array.IsPaged());
        ASSERT_EQ(array.Capacity(), (n + 3) / 4 * 4);
    }
    Append(array, model, 381);  // the 381st would grow the buffer to the threshold
    EXPECT_TRUE(array.IsPaged());
    EXPECT_EQ(array.PageCount(), 1u);
    FillTo(array, model, 512);
    EXPECT_EQ(array.PageCount(), 1u);

    // Inserting into the full page splits it 256 + 256, then adds to the
    // half that holds the index.
    std::uint64_t middle = 9999;
    ASSERT_EQ(array.InsertItemSelf(&middle, 300), 0u);
    model.insert(model.begin() + 300, middle);
    EXPECT_EQ(array.PageCount(), 2u);
    EXPECT_EQ(PageStarts(array), (std::vector<unsigned>{0, 256}));
    EXPECT_TRUE(Adjacent(array, 0, 255));
    EXPECT_TRUE(Adjacent(array, 256, 512));
    EXPECT_EQ(Contents(array), model);

    // An insertion at the head of the second page goes to the end of the
    // first, which has room.
    std::uint64_t head = 7777;
    ASSERT_EQ(array.InsertItemSelf(&head, 256), 0u);
    model.insert(model.begin() + 256, head);
    EXPECT_TRUE(Adjacent(array, 0, 256));
    EXPECT_EQ(PageStarts(array), (std::vector<unsigned>{0, 257}));
    EXPECT_EQ(Contents(array), model);

    // Inserting at the count appends to the last page.
    std::uint64_t tail = 8888;
    ASSERT_EQ(array.InsertItemSelf(&tail, array.Count()), 0u);
    model.push_back(tail);
    EXPECT_TRUE(Adjacent(array, 257, array.Count() - 1));
    EXPECT_EQ(Contents(array), model);

    // Appending to a full last page starts a new page and leaves the full
    // one as it is, so an array filled by appends has full pages.
    FillTo(array, model, 257 + 512);
    ASSERT_EQ(array.PageCount(), 2u);
    Append(array, model, 6666);
    EXPECT_EQ(array.PageCount(), 3u);
    EXPECT_EQ(PageStarts(array), (std::vector<unsigned>{0, 257, 257 + 512}));
    EXPECT_TRUE(Adjacent(array, 257, 257 + 511));
    EXPECT_EQ(Contents(array), model);
    ZArray filled(8, 4);
    Values filledModel;
    FillTo(filled, filledModel, 512 * 9 + 1);
    EXPECT_EQ(filled.PageCount(), 10u);
    EXPECT_EQ(Contents(filled), filledModel);
    // Its pages lie one after another, so reads need no page lookup; a
    // split in the middle moves one page elsewhere and reads go by the index.
    EXPECT_TRUE(Adjacent(filled, 0, filled.Count() - 1));
    for (unsigned i = 0; i < filled.Count(); i += 7) ASSERT_EQ(At(filled, i), filledModel[i]);
    std::uint64_t wedge = 5555;
    ASSERT_EQ(filled.InsertItemSelf(&wedge, 1000), 0u);
    filledModel.insert(filledModel.begin() + 1000, wedge);
    EXPECT_FALSE(Adjacent(filled, 0, filled.Count() - 1));
    EXPECT_EQ(Contents(filled), filledModel);
    for (unsigned i = 0; i < filled.Count(); i += 7) ASSERT_EQ(At(filled, i), filledModel[i]);
}

TEST(ZArray, DeletingALonePageItemRemovesThePageUnlessItIsTheOnlyOne) {
    if (!FourKPages()) GTEST_SKIP() << "the figures assume 4096-byte system pages";
    ZArray array(8, 4);
    Values model;
    FillTo(array, model, 1025);  // pages of 512, 512 and 1 items
    ASSERT_EQ(array.PageCount(), 3u);
    for (int i = 0; i < 511; ++i) Delete(array, model, 512);
    ASSERT_EQ(array.PageCount(), 3u);  // the middle page holds one item
    Delete(array, model, 512);
    EXPECT_EQ(array.PageCount(), 2u);
    EXPECT_EQ(Contents(array), model);

    ZArray paged(8, 400);
    std::uint64_t value = 1;
    ASSERT_EQ(paged.AddItemSelf(&value, nullptr), 0u);
    paged.DeleteItem(0);
    EXPECT_TRUE(paged.IsPaged());
    EXPECT_EQ(paged.PageCount(), 1u);
    EXPECT_EQ(paged.Count(), 0u);
    ASSERT_EQ(paged.AddItemSelf(&value, nullptr), 0u);
    EXPECT_EQ(At(paged, 0), 1u);
}

TEST(ZArray, ReturnsToOneBufferWellBelowTheThreshold) {
    if (!FourKPages()) GTEST_SKIP() << "the figures assume 4096-byte system pages";
    ZArray array(8, 4);
    Values model;
    FillTo(array, model, 700);
    ASSERT_TRUE(array.IsPaged());
    while (array.Count() > 380) Delete(array, model, array.Count() / 3);
    EXPECT_TRUE(array.IsPaged());
    Delete(array, model, 100);  // 379 < threshold - step
    EXPECT_FALSE(array.IsPaged());
    EXPECT_EQ(array.Capacity(), 380u);
    EXPECT_EQ(Contents(array), model);
}

// A growth step at or above the threshold: such an array is paged from the
// start and must never fall back to a buffer too large for one page.
TEST(ZArray, LargeGrowthStepsStayPaged) {
    for (unsigned slots : {384u, 400u, 512u}) {
        SCOPED_TRACE(slots);
        ZArray array(8, slots);
        Values model;
        FillTo(array, model, 2000);
        std::mt19937 random(slots);
        while (array.Count() > 0) {
            Delete(array, model, random() % array.Count());
            ASSERT_TRUE(array.IsPaged()) << "at count " << array.Count();
        }
        FillTo(array, model, 1100);
        EXPECT_EQ(Contents(array), model);
        array.RemoveAllItems();
        model.clear();
        EXPECT_TRUE(array.IsPaged());
        EXPECT_EQ(array.PageCount(), 1u);
        FillTo(array, model, 1100);
        EXPECT_EQ(Contents(array), model);
    }
}

TEST(ZArray, ResultCodes) {
    ZArray empty;  // no storage
    std::uint64_t value = 1;
    void* slot = nullptr;
    unsigned index = 42;
    ZArray* copy = &empty;
    EXPECT_EQ(empty.Copy(&copy), kZArrayNoStorage);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(empty.InsertItemSelf(&value, 0), kZArrayNoStorage);
    EXPECT_EQ(empty.AddItemSelf(&value, &index), kZArrayNoStorage);
    EXPECT_EQ(index, 42u);
    EXPECT_EQ(empty.InsertSlot(0, &slot), kZArrayNoStorage);
    EXPECT_EQ(empty.MoveItemToIndex(0, 1), kZArrayNoStorage);
    EXPECT_EQ(empty.GetItemPtrSelf(0), nullptr);
    EXPECT_EQ(empty.SetLocked(1), 0);
    EXPECT_EQ(empty.IsLocked(), 0);
    EXPECT_EQ(empty.FindFirstSelf(
                  0, [](const ZArrayItem*, void*) -> unsigned char { return 1; }, nullptr),
              kZArrayNotFound);
    empty.DeleteItem(0);
    empty.SwapItems(0, 1);
    empty.SetIndItemSelf(&value, 0);
    empty.SortSelf([](const ZArrayItem*, const ZArrayItem*, void*) -> long { return 0; }, nullptr);
    empty.RemoveAllItems();
    ZArray::Iterator detached(empty);
    ZArrayItem* item = nullptr;
    EXPECT_FALSE(detached.NextPtr(&item));
    EXPECT_FALSE(empty.HasStorage());

    ZArray array(8, 4);
    EXPECT_EQ(array.InsertItemSelf(&value, 1), kZArrayIndexBeyondCount);
    ASSERT_EQ(array.AddItemSelf(&value, &index), 0u);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(array.InsertItemSelf(&value, 2), kZArrayIndexBeyondCount);
    EXPECT_EQ(array.MoveItemToIndex(0, 1), kZArrayIndexBeyondCount);
    EXPECT_EQ(array.MoveItemToIndex(0, 0), 0u);
    EXPECT_EQ(array.GetItemPtrSelf(1), nullptr);
    ZArray other(8, 4);
    EXPECT_EQ(array.CopySelf(&other), kZArrayTargetHasStorage);
    EXPECT_EQ(array.CopySelf(&empty), 0u);
    EXPECT_EQ(Contents(empty), Values{1});
    EXPECT_EQ(array.Count(), 1u);

    EXPECT_THROW(ZArray zero(0, 4), PelException::LogicError);
}

// The item to insert may lie in the array itself: opening the slot moves it,
// or frees it with the old buffer, so it must be read first.
TEST(ZArray, InsertsCopiesOfItsOwnItems) {
    struct Case {
        const char* what;
        unsigned fill;  // items before the insertion
        unsigned from;  // the item copied
        unsigned at;    // where the copy goes
        bool add;       // AddItemSelf instead of InsertItemSelf
    };
    const Case cases[] = {
        {"full buffer grows", 4, 1, 0, false},      {"full buffer grows, append", 8, 3, 8, true},
        {"buffer shifts the item", 6, 2, 0, false}, {"switch to pages", 380, 100, 5, false},
        {"full page splits", 512, 500, 3, false},   {"full last page, append", 512, 511, 512, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZArray array(8, 4);
        Values model;
        FillTo(array, model, c.fill);
        const void* own = array.GetItemPtrSelf(c.from);
        if (c.add) {
            ASSERT_EQ(array.AddItemSelf(own, nullptr), 0u);
        } else {
            ASSERT_EQ(array.InsertItemSelf(own, c.at), 0u);
        }
        model.insert(model.begin() + c.at, model[c.from]);
        EXPECT_EQ(Contents(array), model);
    }

    // Items larger than the stack copy, across a page split.
    struct Big {
        std::uint64_t words[40];
    };
    ZArray big(sizeof(Big), 4);
    std::vector<Big> bigModel;
    while (!big.IsPaged() || big.Count() < big.ItemsPerPage()) {
        Big item{};
        for (auto& w : item.words) w = bigModel.size() * 1000 + (&w - item.words);
        ASSERT_EQ(big.AddItemSelf(&item, nullptr), 0u);
        bigModel.push_back(item);
    }
    ASSERT_EQ(big.InsertItemSelf(big.GetItemPtrSelf(bigModel.size() - 1), 0), 0u);
    bigModel.insert(bigModel.begin(), bigModel.back());
    ASSERT_EQ(big.Count(), bigModel.size());
    for (unsigned i = 0; i < big.Count(); ++i)
        ASSERT_EQ(std::memcmp(big.ItemPtr(i), &bigModel[i], sizeof(Big)), 0) << "item " << i;
}

// Reads by index find the page from the pages' fill; pages of uneven fill
// (after insertions and deletions in the middle) must not fool it.
TEST(ZArray, ReadsByIndexOnUnevenPages) {
    ZArray array(8, 4);
    Values model;
    FillTo(array, model, 20000);
    // Filled by appends: every page but the last is full.
    for (unsigned i = 0; i < array.Count(); ++i)
        ASSERT_EQ(*static_cast<const std::uint64_t*>(array.ItemPtr(i)), model[i]) << "item " << i;
    std::mt19937 random(7);
    for (int k = 0; k < 6000; ++k) {
        const unsigned at = random() % (array.Count() / 2);  // the front half fills up
        std::uint64_t value = 50000 + k;
        ASSERT_EQ(array.InsertItemSelf(&value, at), 0u);
        model.insert(model.begin() + at, value);
        if (k % 3 == 0) Delete(array, model, array.Count() - 1 - random() % 5000);
    }
    ASSERT_GT(array.PageCount(), 20u);
    for (unsigned i = 0; i < array.Count(); ++i) {
        ASSERT_EQ(*static_cast<const std::uint64_t*>(array.ItemPtr(i)), model[i]) << "item " << i;
        const unsigned j = random() % array.Count();
        ASSERT_EQ(At(array, j), model[j]) << "item " << j;
    }
    EXPECT_EQ(array.ItemPtr(array.Count()), nullptr);
}

TEST(ZArray, LockedBufferNeverMoves) {
    ZArray array(8, 4);
    Values model;
    FillTo(array, model, 4);
    void* before = array.GetItemPtrSelf(0);
    EXPECT_EQ(array.SetLocked(1), 0);
    std::uint64_t value = 5;
    EXPECT_EQ(array.AddItemSelf(&value, nullptr), kZArrayMemoryError);
    EXPECT_EQ(Contents(array), model);
    EXPECT_EQ(array.GetItemPtrSelf(0), before);
    EXPECT_EQ(array.SetLocked(0), 1);
    Append(array, model, 5);
    EXPECT_EQ(Contents(array), model);
}

TEST(ZArray, CopiesBothLayouts) {
    for (unsigned count : {10u, 2000u}) {
        SCOPED_TRACE(count);
        ZArray array(8, 4);
        Values model;
        FillTo(array, model, count);
        ZArray* copy = nullptr;
        ASSERT_EQ(array.Copy(&copy), 0u);
        std::unique_ptr<ZArray> owned(copy);
        EXPECT_EQ(Contents(*copy), model);
        EXPECT_EQ(copy->IsPaged(), array.IsPaged());
        EXPECT_EQ(copy->PageCount(), array.PageCount());
        // The copy is independent of the original.
        std::uint64_t value = 1;
        ASSERT_EQ(copy->InsertItemSelf(&value, 1), 0u);
        EXPECT_EQ(Contents(array), model);
    }
}

// Iterators keep walking the same items across changes of the array, in
// either layout.
TEST(ZArray, IteratorsFollowInsertionsAndDeletions) {
    struct Case {
        const char* name;
        std::function<void(ZArray&, Values&, unsigned at)> change;
        int shift;  // expected move of the iterator; -1000: back to 0
    };
    auto insert = [](ZArray& a, Values& m, unsigned i) {
        std::uint64_t v = 424242;
        ASSERT_EQ(a.InsertItemSelf(&v, i), 0u);
        m.insert(m.begin() + i, v);
    };
    const Case cases[] = {
        {"insert before", [&](ZArray& a, Values& m, unsigned p) { insert(a, m, p - 3); }, +1},
        {"insert at", [&](ZArray& a, Values& m, unsigned p) { insert(a, m, p); }, 0},
        {"insert after", [&](ZArray& a, Values& m, unsigned p) { insert(a, m, p + 2); }, 0},
        {"delete first", [](ZArray& a, Values& m, unsigned) { Delete(a, m, 0); }, -1},
        {"delete at", [](ZArray& a, Values& m, unsigned p) { Delete(a, m, p); }, 0},
        {"delete after", [](ZArray& a, Values& m, unsigned p) { Delete(a, m, p + 1); }, 0},
        {"move across",
         [](ZArray& a, Values& m, unsigned p) {
             ASSERT_EQ(a.MoveItemToIndex(p - 3, p + 300), 0u);
             std::uint64_t v = m[p - 3];
             m.erase(m.begin() + (p - 3));
             m.insert(m.begin() + (p + 300), v);
         },
         0},
        {"remove all",
         [](ZArray& a, Values& m, unsigned) {
             a.RemoveAllItems();
             m.clear();
         },
         -1000},
    };
    struct Layout {
        unsigned count;
        unsigned position;
    };
    for (Layout layout : {Layout{360, 5}, Layout{2000, 700}}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " in " << layout.count << " items");
            ZArray array(8, 4);
            Values model;
            FillTo(array, model, layout.count);
            ZArray::Iterator it(array, layout.position);
            c.change(array, model, layout.position);
            const unsigned expected = c.shift == -1000 ? 0 : layout.position + c.shift;
            EXPECT_EQ(it.NextIndex(), expected);
            ZArrayItem* item = nullptr;
            if (expected < model.size()) {
                ASSERT_TRUE(it.NextPtr(&item));
                EXPECT_EQ(*reinterpret_cast<std::uint64_t*>(item), model[expected]);
            } else {
                EXPECT_FALSE(it.NextPtr(&item));
            }
        }
    }
}

TEST(ZArray, IteratorWalksEveryPageAndOutlivesItsArray) {
    auto array = std::make_unique<ZArray>(8, 4);
    Values model;
    FillTo(*array, model, 3000);
    ZArray::Iterator it(array.get(), 10000);  // starts at the count
    EXPECT_EQ(it.NextIndex(), 3000u);
    ZArray::Iterator walker(*array);
    Values seen;
    std::uint64_t value;
    while (walker.Next(reinterpret_cast<ZArrayItem*>(&value))) seen.push_back(value);
    EXPECT_EQ(seen, model);
    array.reset();
    ZArrayItem* item = nullptr;
    EXPECT_FALSE(it.NextPtr(&item));
}

// Readers sharing an unchanging array (as under a read lock) may each make
// and end iterators on it at once.
TEST(ZArray, ReadersIterateTheSameArrayAtOnce) {
    ZArray array(8, 4);
    Values model;
    FillTo(array, model, 3000);
    std::uint64_t expected = 0;
    for (std::uint64_t v : model) expected += v;
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                ZArray::Iterator it(array, 0);
                ZArrayItem* item = nullptr;
                std::uint64_t sum = 0;
                while (it.NextPtr(&item)) sum += *reinterpret_cast<std::uint64_t*>(item);
                ASSERT_EQ(sum, expected);
            }
        });
    }
    for (auto& t : readers) t.join();
}

unsigned char IsSeven(const ZArrayItem* item, void*) {
    std::uint64_t v = *reinterpret_cast<const std::uint64_t*>(item);
    if (v == 3) throw std::runtime_error("a predicate that fails");
    return v == 7;
}

TEST(ZArray, SearchesSkipFailingPredicatesAndStayInRange) {
    ZArray array(8, 4);
    Values model;
    for (std::uint64_t v : {1, 7, 3, 5, 7, 3, 2}) Append(array, model, v);
    EXPECT_EQ(array.FindFirstSelf(0, IsSeven, nullptr), 1u);
    EXPECT_EQ(array.FindFirstSelf(2, IsSeven, nullptr), 4u);
    EXPECT_EQ(array.FindFirstSelf(5, IsSeven, nullptr), kZArrayNotFound);
    EXPECT_EQ(array.FindFirstSelf(7, IsSeven, nullptr), kZArrayNotFound);
    EXPECT_EQ(array.FindLastSelf(100, IsSeven, nullptr), 4u);
    EXPECT_EQ(array.FindLastSelf(3, IsSeven, nullptr), 1u);
    EXPECT_EQ(array.FindLastSelf(0, IsSeven, nullptr), kZArrayNotFound);
    ZArray none(8, 4);
    EXPECT_EQ(none.FindLastSelf(0, IsSeven, nullptr), kZArrayNotFound);
    EXPECT_EQ(none.FindFirstSelf(0, IsSeven, nullptr), kZArrayNotFound);
}

long CompareValues(const ZArrayItem* a, const ZArrayItem* b, void*) {
    auto x = *reinterpret_cast<const std::uint64_t*>(a);
    auto y = *reinterpret_cast<const std::uint64_t*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Compares the high 32 bits only, so items with equal keys stay told apart.
long CompareKeys(const ZArrayItem* a, const ZArrayItem* b, void*) {
    auto x = *reinterpret_cast<const std::uint64_t*>(a) >> 32;
    auto y = *reinterpret_cast<const std::uint64_t*>(b) >> 32;
    return x < y ? -1 : x > y ? 1 : 0;
}

TEST(ZArray, SortsSmallAndLargeRangesInBothLayouts) {
    std::mt19937 random(7);
    for (unsigned count : {0u, 1u, 2u, 3u, 12u, 13u, 14u, 100u, 381u, 5000u}) {
        for (unsigned distinct : {3u, 1000000u}) {
            SCOPED_TRACE(testing::Message() << count << " items, " << distinct << " values");
            ZArray array(8, 4);
            Values model;
            for (unsigned i = 0; i < count; ++i) Append(array, model, random() % distinct);
            array.SortSelf(CompareValues, nullptr);
            std::sort(model.begin(), model.end());
            EXPECT_EQ(Contents(array), model);
        }
    }
    // Already sorted and reversed input.
    ZArray array(8, 4);
    Values model;
    for (unsigned i = 0; i < 3000; ++i) Append(array, model, 3000 - i);
    array.SortSelf(CompareValues, nullptr);
    std::sort(model.begin(), model.end());
    EXPECT_EQ(Contents(array), model);
    array.SortSelf(CompareValues, nullptr);
    EXPECT_EQ(Contents(array), model);
}

TEST(ZArray, SmallSortsTakeTheEarliestOfEqualItems) {
    ZArray array(8, 4);
    Values model;
    auto item = [](std::uint64_t key, std::uint64_t tag) { return key << 32 | tag; };
    for (std::uint64_t v : {item(2, 0), item(1, 1), item(1, 2)}) Append(array, model, v);
    array.SortSelf(CompareKeys, nullptr);
    EXPECT_EQ(Contents(array), (Values{item(1, 1), item(1, 2), item(2, 0)}));
}

TEST(ZArray, PartialSortTouchesOnlyItsRange) {
    ZArray array(8, 4);
    Values model;
    for (unsigned i = 0; i < 600; ++i) Append(array, model, 600 - i);
    array.PartialSortSelf(100, 300, CompareValues, nullptr);
    std::sort(model.begin() + 100, model.begin() + 400);
    EXPECT_EQ(Contents(array), model);
    array.PartialSortSelf(500, 1000, CompareValues, nullptr);  // clipped to the count
    std::sort(model.begin() + 500, model.end());
    EXPECT_EQ(Contents(array), model);
    array.PartialSortSelf(599, 5, CompareValues, nullptr);  // first + 1 >= count: nothing
    array.PartialSortSelf(0, 0, CompareValues, nullptr);
    EXPECT_EQ(Contents(array), model);
}

TEST(ZArray, AFailingComparatorEndsTheSortWithoutLosingItems) {
    for (unsigned count : {10u, 3000u}) {
        SCOPED_TRACE(count);
        ZArray array(8, 4);
        Values model;
        for (unsigned i = 0; i < count; ++i) Append(array, model, (i * 7919) % count);
        int calls = 0;
        array.SortSelf(
            [](const ZArrayItem* a, const ZArrayItem* b, void* context) -> long {
                if (++*static_cast<int*>(context) > 20) throw std::runtime_error("enough");
                return CompareValues(a, b, nullptr);
            },
            &calls);
        Values after = Contents(array);
        std::sort(after.begin(), after.end());
        std::sort(model.begin(), model.end());
        EXPECT_EQ(after, model);
    }
}

}  // namespace
