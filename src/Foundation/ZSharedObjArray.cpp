#include "Foundation/ZSharedObjArray.h"

#include <cstdint>

namespace {

ZSharedObject* ObjectAt(const void* item) { return *static_cast<ZSharedObject* const*>(item); }

}  // namespace

ZSharedObjArray::~ZSharedObjArray() { ZSharedObjArray::RemoveAllItems(); }

ZArrayResult ZSharedObjArray::Copy(ZArray** out) const {
    auto* made = new (std::nothrow) ZSharedObjArray();
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

ZArrayResult ZSharedObjArray::CopySelf(ZSharedObjArray* target) const {
    ZArrayResult result = ZArray::CopySelf(target);
    if (result == 0) target->ReattachAll();
    return result;
}

void ZSharedObjArray::ReattachAll() const {
    Iterator it(this);
    ZArrayItem* item = nullptr;
    while (it.NextPtr(&item)) {
        if (ZSharedObject* object = ObjectAt(item)) object->Attach();
    }
}

void ZSharedObjArray::DeleteItem(unsigned index) {
    const void* item = GetItemPtrSelf(index);
    if (!item) return;
    ZSharedObject* object = ObjectAt(item);
    // Out of the array before the release, so that whatever the object's end
    // does meets a consistent array.
    ZArray::DeleteItem(index);
    if (object) object->Release();
}

void ZSharedObjArray::RemoveAllItems() {
    Iterator it(this);
    ZArrayItem* item = nullptr;
    while (it.NextPtr(&item)) {
        ZSharedObject* object = ObjectAt(item);
        if (!object) continue;
        // Cleared first, so the entry never points at a released object.
        *reinterpret_cast<ZSharedObject**>(item) = nullptr;
        object->Release();
    }
    ZArray::RemoveAllItems();
}

ZArrayResult ZSharedObjArray::InsertItemSelf(const void* item, unsigned index) {
    if (!item) return ZArray::InsertItemSelf(item, index);
    ZSharedObject* object = ObjectAt(item);
    ZArrayResult result = ZArray::InsertItemSelf(&object, index);
    if (result == 0 && object) object->Attach();
    return result;
}

ZArrayResult ZSharedObjArray::AddItemSelf(const void* item, unsigned* index) {
    if (!item) return ZArray::AddItemSelf(item, index);
    ZSharedObject* object = ObjectAt(item);
    ZArrayResult result = ZArray::AddItemSelf(&object, index);
    if (result == 0 && object) object->Attach();
    return result;
}

void ZSharedObjArray::SetIndItemSelf(const void* item, unsigned index) const {
    void* slot = GetItemPtrSelf(index);
    if (!slot || !item) return;
    ZSharedObject* replacement = ObjectAt(item);
    ZSharedObject* old = ObjectAt(slot);
    if (replacement == old) return;
    MoveOne(&replacement, slot);
    if (replacement) replacement->Attach();
    if (old) old->Release();
}

void ZSharedObjArray::SetMultipleSelf(const void* src, unsigned first, unsigned n) const {
    if (!HasStorage() || !src || n == 0 || std::uint64_t{first} + n > Count()) return;
    auto* objects = static_cast<ZSharedObject* const*>(src);
    for (unsigned k = 0; k < n; ++k) ZSharedObjArray::SetIndItemSelf(&objects[k], first + k);
}

ZArrayResult ZSharedObjArray::InsertValueSelf(ZPtrArrayItem* value, unsigned index) {
    ZArrayResult result = ZGenericScalarArray::InsertValueSelf(value, index);
    if (result == 0 && value) FromItem(value)->Attach();
    return result;
}

ZArrayResult ZSharedObjArray::AddValueSelf(ZPtrArrayItem* value, unsigned* index) {
    ZArrayResult result = ZGenericScalarArray::AddValueSelf(value, index);
    if (result == 0 && value) FromItem(value)->Attach();
    return result;
}

void ZSharedObjArray::SetNthValueSelf(ZPtrArrayItem* value, unsigned index) const {
    ZSharedObject* object = FromItem(value);
    ZSharedObjArray::SetIndItemSelf(&object, index);
}
