// An array of shared objects that holds one reference on each.
#pragma once

#include "Foundation/ZGenericArray.h"
#include "Foundation/ZSharedObject.h"

/// Array of ZSharedObject pointers. Every non-null pointer stored carries one
/// reference owned by the array: storing attaches, removing or replacing
/// releases (a replacement is attached before the old object is released, so
/// replacing an object by itself is safe). Null entries are allowed. Moves,
/// swaps, sorting and bulk reads copy pointers without touching the counts.
class ZSharedObjArray : public ZGenericPtrArray<ZSharedObject*> {
  public:
    ZSharedObjArray() = default;
    explicit ZSharedObjArray(unsigned slots) : ZGenericPtrArray(slots) {}
    /// Releases every object.
    ~ZSharedObjArray() override;

    /// A new ZSharedObjArray holding its own references to the same objects.
    ZArrayResult Copy(ZArray** out) const override;
    void DeleteItem(unsigned index) override;
    void RemoveAllItems() override;
    /// `item` points at a ZSharedObject*.
    ZArrayResult InsertItemSelf(const void* item, unsigned index) override;
    ZArrayResult AddItemSelf(const void* item, unsigned* index) override;
    void SetIndItemSelf(const void* item, unsigned index) const override;
    void SetMultipleSelf(const void* src, unsigned first, unsigned n) const override;
    ZArrayResult InsertValueSelf(ZPtrArrayItem* value, unsigned index) override;
    ZArrayResult AddValueSelf(ZPtrArrayItem* value, unsigned* index) override;
    void SetNthValueSelf(ZPtrArrayItem* value, unsigned index) const override;

    /// ZArray::CopySelf, then the copy attaches every object it holds.
    ZArrayResult CopySelf(ZSharedObjArray* target) const;
    /// Attaches every non-null object once.
    void ReattachAll() const;
};
