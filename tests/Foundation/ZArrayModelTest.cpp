// Long seeded sequences of every ZArray operation, checked against a plain
// byte vector as the model, over item sizes and slot counts whose arrays
// cross between the contiguous and the paged layout in both directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "Foundation/ZArray.h"

namespace {

struct Config {
    std::size_t itemSize;
    unsigned slots;
    unsigned maxCount;
    std::uint32_t seed;
};

void PrintTo(const Config& c, std::ostream* out) {
    *out << c.itemSize << "-byte items, " << c.slots << " slots, up to " << c.maxCount
         << " items, seed " << c.seed;
}

// Model iterator: the position the real one must be at.
struct LiveIterator {
    std::unique_ptr<ZArray::Iterator> real;
    std::uint32_t next;
};

class Runner {
  public:
    explicit Runner(const Config& config)
        : config_(config),
          s_(config.itemSize),
          array_(std::make_unique<ZArray>(s_, config.slots)),
          random_(config.seed) {
        wasPaged_ = array_->IsPaged();
    }

    void Run(int operations) {
        for (step_ = 0; step_ < operations; ++step_) {
            Operate();
            if (testing::Test::HasFatalFailure()) return;
            CheckShape();
            if (testing::Test::HasFatalFailure()) return;
            if (step_ % 64 == 0) CheckContents();
            if (testing::Test::HasFatalFailure()) return;
        }
        CheckContents();
        if (testing::Test::HasFatalFailure()) return;
        // The run must have crossed the threshold both ways (an array whose
        // step reaches the threshold is paged from the start and stays so).
        if (config_.slots < array_->Threshold()) {
            EXPECT_GE(toPaged_, 2) << "too few switches to pages";
            EXPECT_GE(toContiguous_, 2) << "too few switches back to one buffer";
        } else {
            EXPECT_EQ(toContiguous_, 0);
        }
        EXPECT_GE(maxPages_, 3u) << "largest count " << maxCount_;
        // An array that goes first leaves its iterators detached.
        array_.reset();
        for (auto& live : iterators_) {
            ZArrayItem* item = nullptr;
            EXPECT_FALSE(live.real->NextPtr(&item));
        }
    }

    int step() const { return step_; }

  private:
    unsigned Count() const { return static_cast<unsigned>(model_.size() / s_); }
    unsigned Pick(unsigned bound) { return bound ? random_() % bound : 0; }  // [0, bound)
    const std::uint8_t* ModelItem(unsigned i) const { return model_.data() + s_ * i; }

    std::vector<std::uint8_t> MakeItem() {
        std::vector<std::uint8_t> item(s_);
        const std::uint64_t id = ++serial_;
        for (std::size_t k = 0; k < s_; ++k)
            item[k] = static_cast<std::uint8_t>((id >> (8 * (k % 8))) ^ (k * 37));
        // Small items repeat values often, which exercises equal keys.
        return item;
    }

    void ModelInsert(unsigned at, const std::vector<std::uint8_t>& item) {
        model_.insert(model_.begin() + s_ * at, item.begin(), item.end());
        for (auto& live : iterators_) {
            if (live.next > at) live.next += 1;
        }
    }
    void ModelErase(unsigned at) {
        model_.erase(model_.begin() + s_ * at, model_.begin() + s_ * (at + 1));
        for (auto& live : iterators_) {
            if (live.next > at) live.next -= 1;
        }
    }

    void Insert(unsigned at) {
        auto item = MakeItem();
        // Every fifth insertion copies an item of the array itself, read in
        // place (chosen without drawing from the generator, so the sequence
        // of operations stays the same).
        const void* source = item.data();
        if (serial_ % 5 == 0 && Count() > 0) {
            const unsigned from = static_cast<unsigned>(serial_ / 5 % Count());
            item.assign(ModelItem(from), ModelItem(from) + s_);
            source = array_->GetItemPtrSelf(from);
        }
        switch (Pick(3)) {
            case 0:
                ASSERT_EQ(array_->InsertItemSelf(source, at), 0u);
                break;
            case 1: {
                void* slot = nullptr;
                ASSERT_EQ(array_->InsertSlot(at, &slot), 0u);
                std::memcpy(slot, item.data(), s_);
                break;
            }
            default: {
                at = Count();
                unsigned index = 0;
                ASSERT_EQ(array_->AddItemSelf(source, &index), 0u);
                ASSERT_EQ(index, at);
            }
        }
        ModelInsert(at, item);
    }

    void Operate() {
        const unsigned count = Count();
        if (growing_ && count >= config_.maxCount) {
            growing_ = false;
            low_ = Pick(array_->Threshold() / 2 + 1);
        } else if (!growing_ && count <= low_) {
            growing_ = true;
        }
        const unsigned roll = Pick(1000);
        if (roll < 300) {  // insertions, sometimes a run at one place
            const unsigned run = roll < 40 ? 1 + Pick(80) : 1;
            const unsigned at = Pick(count + 1);
            for (unsigned k = 0; k < (growing_ ? run : 1); ++k) {
                Insert(std::min(at + k, Count()));
                if (testing::Test::HasFatalFailure()) return;
            }
        } else if (roll < 560) {  // deletions, sometimes a run
            if (growing_ && roll >= 400) return Operate();
            const unsigned run = roll < 330 ? 1 + Pick(80) : 1;
            for (unsigned k = 0; k < run && Count() > 0; ++k) {
                const unsigned at = Pick(Count());
                array_->DeleteItem(at);
                ModelErase(at);
            }
        } else if (roll < 580) {  // out-of-range insertion and deletion change nothing
            auto item = MakeItem();
            ASSERT_EQ(array_->InsertItemSelf(item.data(), count + 1 + Pick(3)),
                      kZArrayIndexBeyondCount);
            array_->DeleteItem(count + Pick(3));
        } else if (roll < 680) {  // move
            if (count == 0) return;
            const unsigned from = Pick(count), to = Pick(count);
            ASSERT_EQ(array_->MoveItemToIndex(from, to), 0u);
            std::vector<std::uint8_t> item(ModelItem(from), ModelItem(from) + s_);
            model_.erase(model_.begin() + s_ * from, model_.begin() + s_ * (from + 1));
            model_.insert(model_.begin() + s_ * to, item.begin(), item.end());
        } else if (roll < 720) {  // swap
            if (count == 0) return;
            const unsigned a = Pick(count), b = Pick(count);
            array_->SwapItems(a, b);
            for (std::size_t k = 0; k < s_; ++k) std::swap(model_[s_ * a + k], model_[s_ * b + k]);
        } else if (roll < 770) {  // set one
            if (count == 0) return;
            const unsigned at = Pick(count);
            auto item = MakeItem();
            array_->SetIndItemSelf(item.data(), at);
            std::memcpy(model_.data() + s_ * at, item.data(), s_);
        } else if (roll < 810) {  // bulk read and write of a range
            if (count == 0) return;
            const unsigned first = Pick(count);
            const unsigned n = 1 + Pick(std::min(count - first, 1500u));
            std::vector<std::uint8_t> out(s_ * n);
            array_->GetMultipleSelf(out.data(), first, n);
            ASSERT_EQ(0, std::memcmp(out.data(), ModelItem(first), s_ * n)) << "GetMultipleSelf";
            for (auto& byte : out) byte = static_cast<std::uint8_t>(random_());
            array_->SetMultipleSelf(out.data(), first, n);
            std::memcpy(model_.data() + s_ * first, out.data(), s_ * n);
            // A range past the end changes nothing.
            array_->SetMultipleSelf(out.data(), count - 1, 2);
            array_->GetMultipleSelf(out.data(), count, 1);
        } else if (roll < 880) {  // searches
            Search();
        } else if (roll < 882) {  // sort everything
            array_->SortSelf(CompareBytes, &s_);
            SortModel(0, count);
            CheckContents();
        } else if (roll < 900) {  // sort a range
            if (count < 2) return;
            const unsigned first = Pick(count - 1);
            const unsigned n = Pick(std::min(count - first, 120u) + 1);
            array_->PartialSortSelf(first, n, CompareBytes, &s_);
            if (n > 0) SortModel(first, first + n);
        } else if (roll < 903) {  // clear, only on the way down
            if (growing_) return;
            array_->RemoveAllItems();
            model_.clear();
            for (auto& live : iterators_) live.next = 0;
        } else if (roll < 908) {  // copy
            ZArray* copy = nullptr;
            ASSERT_EQ(array_->Copy(&copy), 0u);
            std::unique_ptr<ZArray> owned(copy);
            ASSERT_EQ(copy->Count(), count);
            CheckContentsOf(*copy);
        } else {  // iterators
            IteratorStep();
        }
    }

    static unsigned char Equals(const ZArrayItem* item, void* target) {
        const auto* t = static_cast<const std::vector<std::uint8_t>*>(target);
        return std::memcmp(item, t->data(), t->size()) == 0;
    }
    static long CompareBytes(const ZArrayItem* a, const ZArrayItem* b, void* size) {
        return std::memcmp(a, b, *static_cast<std::size_t*>(size));
    }
    void SortModel(unsigned first, unsigned end) {
        if (end <= first) return;
        std::vector<unsigned> order(end - first);
        for (unsigned i = first; i < end; ++i) order[i - first] = i;
        std::sort(order.begin(), order.end(), [this](unsigned a, unsigned b) {
            return std::memcmp(ModelItem(a), ModelItem(b), s_) < 0;
        });
        std::vector<std::uint8_t> sorted(s_ * order.size());
        for (std::size_t k = 0; k < order.size(); ++k)
            std::memcpy(&sorted[s_ * k], ModelItem(order[k]), s_);
        std::memcpy(model_.data() + s_ * first, sorted.data(), sorted.size());
    }

    void Search() {
        const unsigned count = Count();
        std::vector<std::uint8_t> target;
        if (count && Pick(4)) {
            const unsigned at = Pick(count);
            target.assign(ModelItem(at), ModelItem(at) + s_);
        } else {
            target = MakeItem();  // usually absent
        }
        const unsigned start = Pick(count + 3);
        unsigned first = kZArrayNotFound, last = kZArrayNotFound;
        for (unsigned i = start; i < count; ++i) {
            if (std::memcmp(ModelItem(i), target.data(), s_) == 0) {
                first = i;
                break;
            }
        }
        if (count > 0) {
            for (unsigned i = std::min(start, count - 1) + 1; i-- > 0;) {
                if (std::memcmp(ModelItem(i), target.data(), s_) == 0) {
                    last = i;
                    break;
                }
            }
        }
        ASSERT_EQ(array_->FindFirstSelf(start, Equals, &target), first)
            << "FindFirstSelf from " << start;
        ASSERT_EQ(array_->FindLastSelf(start, Equals, &target), last)
            << "FindLastSelf from " << start;
    }

    void IteratorStep() {
        const unsigned roll = Pick(10);
        if (roll < 3 && iterators_.size() < 4) {
            const unsigned start = Pick(Count() + 5);
            iterators_.push_back({std::make_unique<ZArray::Iterator>(array_.get(), start),
                                  std::min(start, Count())});
        } else if (roll < 4 && !iterators_.empty()) {
            iterators_.erase(iterators_.begin() + Pick(static_cast<unsigned>(iterators_.size())));
        } else if (!iterators_.empty()) {
            auto& live = iterators_[Pick(static_cast<unsigned>(iterators_.size()))];
            for (unsigned k = Pick(600); k > 0; --k) {
                ZArrayItem* item = nullptr;
                const bool got = live.real->NextPtr(&item);
                if (got != (live.next < Count())) FAIL() << "iterator end at " << live.next;
                if (!got) break;
                if (std::memcmp(item, ModelItem(live.next), s_) != 0)
                    FAIL() << "iterator item " << live.next;
                live.next += 1;
            }
        }
    }

    void CheckShape() {
        if (wasPaged_ != array_->IsPaged()) (wasPaged_ ? toContiguous_ : toPaged_) += 1;
        wasPaged_ = array_->IsPaged();
        maxPages_ = std::max(maxPages_, array_->PageCount());
        maxCount_ = std::max(maxCount_, array_->Count());
        ASSERT_EQ(array_->Count(), Count());
        ASSERT_TRUE(array_->HasStorage());
        if (!array_->IsPaged()) {
            // The buffer stays below the threshold, so switching to pages fits one page.
            ASSERT_LT(array_->Capacity(), array_->Threshold());
            ASSERT_LE(array_->Count(), array_->Capacity());
        } else {
            ASSERT_GE(array_->PageCount(), 1u);
        }
        for (const auto& live : iterators_) ASSERT_EQ(live.real->NextIndex(), live.next);
    }

    void CheckContentsOf(const ZArray& array) {
        const unsigned count = Count();
        ASSERT_EQ(array.Count(), count);
        switch (Pick(3)) {
            case 0:
                for (unsigned i = 0; i < count; ++i) {
                    if (std::memcmp(array.GetItemPtrSelf(i), ModelItem(i), s_) != 0)
                        FAIL() << "item " << i;
                }
                break;
            case 1: {
                ZArray::Iterator it(array);
                ZArrayItem* item = nullptr;
                for (unsigned i = 0; i < count; ++i) {
                    if (!it.NextPtr(&item) || std::memcmp(item, ModelItem(i), s_) != 0)
                        FAIL() << "item " << i;
                }
                ASSERT_FALSE(it.NextPtr(&item));
                break;
            }
            default:
                if (count == 0) break;
                std::vector<std::uint8_t> all(s_ * count);
                array.GetMultipleSelf(all.data(), 0, count);
                ASSERT_EQ(all, model_);
        }
    }
    void CheckContents() { CheckContentsOf(*array_); }

    Config config_;
    std::size_t s_;
    std::unique_ptr<ZArray> array_;
    std::vector<std::uint8_t> model_;
    std::vector<LiveIterator> iterators_;
    std::mt19937 random_;
    std::uint64_t serial_ = 0;
    bool growing_ = true;
    unsigned low_ = 0;
    int step_ = 0;
    bool wasPaged_ = false;
    unsigned maxPages_ = 0;
    unsigned maxCount_ = 0;
    int toPaged_ = 0;
    int toContiguous_ = 0;
};

class ZArrayModel : public testing::TestWithParam<Config> {};

TEST_P(ZArrayModel, EveryOperationMatchesTheModel) {
    const Config& config = GetParam();
    Runner runner(config);
    runner.Run(8000);
    if (HasFatalFailure()) ADD_FAILURE() << "stopped at operation " << runner.step();
}

INSTANTIATE_TEST_SUITE_P(
    ItemSizesAndSlots, ZArrayModel,
    testing::Values(Config{8, 4, 2500, 1},      // the common case: 512 items a page, threshold 384
                    Config{8, 383, 2500, 2},    // step just below the threshold
                    Config{8, 384, 2500, 3},    // step at the threshold: paged from the start
                    Config{8, 400, 2500, 4},    // step above the threshold
                    Config{8, 512, 2500, 5},    // step of a whole page
                    Config{1, 1, 7000, 6},      // 4096 items a page
                    Config{3, 7, 3000, 7},      // odd item size
                    Config{24, 4, 900, 8},      // 170 items a page
                    Config{64, 4, 700, 9},      // 64 items a page: many pages, a growing index
                    Config{200, 4, 450, 10},    // items larger than the move temporary
                    Config{64, 100, 700, 11}),  // two system pages a page, paged from the start
    [](const testing::TestParamInfo<Config>& info) {
        return "Items" + std::to_string(info.param.itemSize) + "Slots" +
               std::to_string(info.param.slots);
    });

}  // namespace
