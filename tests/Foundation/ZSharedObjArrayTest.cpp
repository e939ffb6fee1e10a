#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "Foundation/ZSharedObjArray.h"
#include "SharedObjectProbe.h"

namespace {

using testsupport::Probe;

// Two objects the test owns one reference on each.
struct Pair {
    Probe::Tracker tracker;
    Probe* a = new Probe(tracker);
    Probe* b = new Probe(tracker);
    ~Pair() {
        a->Release();
        b->Release();
    }
};

int Count(ZSharedObject* object) { return Probe::countOf(object); }

ZSharedObject* At(const ZSharedObjArray& array, unsigned index) { return array.NthValue(index); }

TEST(ZSharedObjArray, EveryOperationKeepsOneReferencePerEntry) {
    struct Case {
        const char* name;
        std::function<void(ZSharedObjArray&, ZSharedObject* a, ZSharedObject* b)> operation;
        int countA;  // while the array lives
        int countB;
    };
    using A = ZSharedObjArray;
    using O = ZSharedObject*;
    const Case cases[] = {
        {"add value", [](A& x, O a, O) { ASSERT_EQ(x.AddValue(a), 0u); }, 2, 1},
        {"add the same twice",
         [](A& x, O a, O) {
             ASSERT_EQ(x.AddValue(a), 0u);
             ASSERT_EQ(x.AddValue(a), 0u);
         },
         3, 1},
        {"insert value", [](A& x, O a, O) { ASSERT_EQ(x.InsertValue(a, 0), 0u); }, 2, 1},
        {"add item", [](A& x, O a, O) { ASSERT_EQ(x.AddItemSelf(&a, nullptr), 0u); }, 2, 1},
        {"insert item", [](A& x, O a, O) { ASSERT_EQ(x.InsertItemSelf(&a, 0), 0u); }, 2, 1},
        {"insert null", [](A& x, O, O) { ASSERT_EQ(x.AddValue(nullptr), 0u); }, 1, 1},
        {"insert past the count",
         [](A& x, O a, O) { ASSERT_EQ(x.InsertValue(a, 1), kZArrayIndexBeyondCount); }, 1, 1},
        {"replace by the same",
         [](A& x, O a, O) {
             x.AddValue(a);
             x.SetNthValue(a, 0);
             x.SetIndItemSelf(&a, 0);
         },
         2, 1},
        {"replace by another",
         [](A& x, O a, O b) {
             x.AddValue(a);
             x.SetNthValue(b, 0);
         },
         1, 2},
        {"replace by null",
         [](A& x, O a, O) {
             x.AddValue(a);
             x.SetNthValue(nullptr, 0);
         },
         1, 1},
        {"replace out of range",
         [](A& x, O a, O b) {
             x.AddValue(a);
             x.SetNthValue(b, 1);
         },
         2, 1},
        {"set several",
         [](A& x, O a, O b) {
             x.AddValue(a);
             x.AddValue(a);
             ZSharedObject* both[] = {b, a};
             x.SetMultipleSelf(both, 0, 2);
         },
         2, 2},
        {"set several past the count",
         [](A& x, O a, O b) {
             x.AddValue(a);
             ZSharedObject* both[] = {b, b};
             x.SetMultipleSelf(both, 0, 2);
         },
         2, 1},
        {"delete",
         [](A& x, O a, O b) {
             x.AddValue(a);
             x.AddValue(b);
             x.DeleteItem(0);
         },
         1, 2},
        {"remove all",
         [](A& x, O a, O b) {
             x.AddValue(a);
             x.AddValue(b);
             x.AddValue(nullptr);
             x.RemoveAllItems();
             EXPECT_EQ(x.Count(), 0u);
         },
         1, 1},
        {"move, swap, sort and read",
         [](A& x, O a, O b) {
             x.AddValue(a);
             x.AddValue(b);
             ASSERT_EQ(x.MoveItemToIndex(0, 1), 0u);
             x.SwapItems(0, 1);
             x.SortSelf(
                 [](const ZArrayItem* p, const ZArrayItem* q, void*) -> long {
                     return *reinterpret_cast<ZSharedObject* const*>(p) <
                                    *reinterpret_cast<ZSharedObject* const*>(q)
                                ? -1
                                : 1;
                 },
                 nullptr);
             ZSharedObject* out[2];
             x.GetMultipleSelf(out, 0, 2);
         },
         2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair;
        {
            ZSharedObjArray array(4);
            c.operation(array, pair.a, pair.b);
            EXPECT_EQ(Count(pair.a), c.countA);
            EXPECT_EQ(Count(pair.b), c.countB);
        }
        // Destroying the array gives back every reference it held.
        EXPECT_EQ(Count(pair.a), 1);
        EXPECT_EQ(Count(pair.b), 1);
        EXPECT_EQ(pair.tracker.destroyed, 0);
    }
}

TEST(ZSharedObjArray, ACopyOwnsItsOwnReferencesInBothLayouts) {
    for (unsigned entries : {3u, 1500u}) {
        SCOPED_TRACE(entries);
        Pair pair;
        auto array = std::make_unique<ZSharedObjArray>(4);
        int held = 0;  // entries holding a; every third is null
        for (unsigned i = 0; i < entries; ++i) {
            array->AddValue(i % 3 ? pair.a : nullptr);
            held += i % 3 ? 1 : 0;
        }
        ASSERT_EQ(Count(pair.a), 1 + held);

        ZArray* copy = nullptr;
        ASSERT_EQ(array->Copy(&copy), 0u);
        ASSERT_NE(dynamic_cast<ZSharedObjArray*>(copy), nullptr);
        EXPECT_EQ(Count(pair.a), 1 + 2 * held);
        array.reset();
        EXPECT_EQ(Count(pair.a), 1 + held);
        EXPECT_EQ(static_cast<ZSharedObjArray*>(copy)->NthValue(1), pair.a);
        delete copy;
        EXPECT_EQ(Count(pair.a), 1);
    }
}

TEST(ZSharedObjArray, ObjectsOwnedOnlyByTheArrayDieWithTheirEntry) {
    Probe::Tracker tracker;
    ZSharedObjArray array(4);
    for (int i = 0; i < 3; ++i) {
        ZSharedObject* object = new Probe(tracker);
        array.AddValue(object);
        object->Release();  // the array's reference is the only one left
    }
    array.DeleteItem(1);
    EXPECT_EQ(tracker.destroyed, 1);
    ZSharedObject* replacement = new Probe(tracker);
    array.SetNthValue(replacement, 0);
    replacement->Release();
    EXPECT_EQ(tracker.destroyed, 2);
    array.RemoveAllItems();
    EXPECT_EQ(tracker.destroyed, 4);
}

// Moving between pages goes through an insertion and a deletion inside the
// array; the moved object must keep its reference.
TEST(ZSharedObjArray, MovesAcrossPagesKeepTheirReferences) {
    Probe::Tracker tracker;
    ZSharedObjArray array(4);
    std::vector<ZSharedObject*> objects;
    for (int i = 0; i < 1200; ++i) {
        ZSharedObject* object = new Probe(tracker);
        array.AddValue(object);
        object->Release();
        objects.push_back(object);
    }
    ASSERT_GE(array.PageCount(), 2u);
    const unsigned last = array.Count() - 1;
    ASSERT_EQ(array.MoveItemToIndex(0, last), 0u);
    ASSERT_EQ(array.MoveItemToIndex(last, 0), 0u);
    ASSERT_EQ(array.MoveItemToIndex(last - 1, 2), 0u);
    EXPECT_EQ(tracker.destroyed, 0);
    EXPECT_EQ(At(array, 0), objects[0]);
    EXPECT_EQ(At(array, 2), objects[last - 1]);
    for (ZSharedObject* object : objects) ASSERT_EQ(Count(object), 1);
    array.RemoveAllItems();
    EXPECT_EQ(tracker.destroyed, 1200);
}

TEST(ZPtrArray, StoresAndFindsPlainPointers) {
    int x = 0, y = 0, z = 0;
    ZGenericPtrArray<int*> array(4);
    ASSERT_EQ(array.AddValue(&x), 0u);
    ASSERT_EQ(array.AddValue(&y), 0u);
    ASSERT_EQ(array.InsertValue(&z, 0), 0u);
    EXPECT_EQ(array.NthValue(0), &z);
    EXPECT_EQ(array.FindValue(&y), 2u);
    int absent = 0;
    EXPECT_EQ(array.FindValue(&absent), kZArrayNotFound);
    array.SetNthValue(&absent, 2);
    EXPECT_EQ(array.FindValue(&absent), 2u);
    EXPECT_EQ(array.NthValue(3), nullptr);

    ZArray* copy = nullptr;
    ASSERT_EQ(array.Copy(&copy), 0u);
    auto* scalars = dynamic_cast<ZGenericScalarArray<ZPtrArrayItem*>*>(copy);
    ASSERT_NE(scalars, nullptr);
    EXPECT_EQ(scalars->NthValueSelf(0), ZGenericPtrArray<int*>::ToItem(&z));
    delete copy;

    ZSharedObjArray empty;  // no storage
    EXPECT_EQ(empty.AddValue(nullptr), kZArrayNoStorage);
    EXPECT_EQ(empty.InsertValue(nullptr, 0), kZArrayNoStorage);
    EXPECT_EQ(empty.NthValue(0), nullptr);
}

}  // namespace
