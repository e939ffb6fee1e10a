// Typed arrays over ZArray: arrays of one plain value type (pointers here).
#pragma once

#include <cstring>
#include <new>
#include <type_traits>

#include "Foundation/ZArray.h"

/// A ZArray whose items are values of type T.
template <class T>
class ZGenericArray : public ZArray {
  public:
    ZGenericArray() = default;
    explicit ZGenericArray(unsigned slots) : ZArray(sizeof(T), slots) {}
    ~ZGenericArray() override = default;
};

/// A ZGenericArray of a trivially copyable T, with operations by value.
template <class T>
class ZGenericScalarArray : public ZGenericArray<T> {
    static_assert(std::is_trivially_copyable_v<T>, "scalar arrays hold plain values");

  public:
    ZGenericScalarArray() = default;
    explicit ZGenericScalarArray(unsigned slots) : ZGenericArray<T>(slots) {}
    ~ZGenericScalarArray() override = default;

    /// A new ZGenericScalarArray with the same values; see ZArray::Copy.
    ZArrayResult Copy(ZArray** out) const override {
        return this->FinishCopy(new (std::nothrow) ZGenericScalarArray(), out);
    }
    void MoveOne(const void* src, void* dest) const override {
        if (src && dest) std::memmove(dest, src, sizeof(T));
    }

    /// Inserts `value` before `index`. kZArrayNoStorage, kZArrayIndexBeyondCount,
    /// kZArrayMemoryError.
    virtual ZArrayResult InsertValueSelf(T value, unsigned index) {
        if (!this->HasStorage()) return kZArrayNoStorage;
        if (index > this->Count()) return kZArrayIndexBeyondCount;
        void* slot = nullptr;
        ZArrayResult result = this->InsertSlot(index, &slot);
        if (result == 0) std::memcpy(slot, &value, sizeof(T));
        return result;
    }
    /// Appends `value`; stores its index in `index` when not null.
    virtual ZArrayResult AddValueSelf(T value, unsigned* index) {
        if (!this->HasStorage()) return kZArrayNoStorage;
        const unsigned at = this->Count();
        // Not the virtual one: a subclass acts once, in its own addition.
        ZArrayResult result = ZGenericScalarArray::InsertValueSelf(value, at);
        if (result == 0 && index) *index = at;
        return result;
    }
    /// The value at `index`; a zero value without storage or out of range.
    virtual T NthValueSelf(unsigned index) const {
        T value{};
        if (const void* item = this->GetItemPtrSelf(index)) std::memcpy(&value, item, sizeof(T));
        return value;
    }
    /// Stores `value` at `index`; ignored without storage or out of range.
    virtual void SetNthValueSelf(T value, unsigned index) const {
        if (void* item = this->GetItemPtrSelf(index)) std::memcpy(item, &value, sizeof(T));
    }
    /// The first index holding `value`, else kZArrayNotFound.
    virtual unsigned FindValueSelf(T value) const {
        return this->FindFirstSelf(0, &EqualsValue, &value);
    }
    /// Gives up a value the array no longer holds; nothing for plain values.
    virtual void DisposeOne(T) {}

  private:
    static unsigned char EqualsValue(const ZArrayItem* item, void* context) {
        return std::memcmp(item, context, sizeof(T)) == 0;
    }
};

/// Opaque pointee of ZPtrArray's items.
struct ZPtrArrayItem;

/// An array of untyped pointers; it owns nothing they point to.
class ZPtrArray : public ZGenericScalarArray<ZPtrArrayItem*> {
  public:
    ZPtrArray() = default;
    explicit ZPtrArray(unsigned slots) : ZGenericScalarArray(slots) {}
    ~ZPtrArray() override = default;
};

/// A ZPtrArray of pointers of type T, with typed access.
template <class T>
class ZGenericPtrArray : public ZPtrArray {
    static_assert(std::is_pointer_v<T>, "pointer arrays hold pointers");

  public:
    ZGenericPtrArray() = default;
    explicit ZGenericPtrArray(unsigned slots) : ZPtrArray(slots) {}
    ~ZGenericPtrArray() override = default;

    // Typed forms of the value operations (the virtual ones act).
    ZArrayResult InsertValue(T value, unsigned index) {
        return InsertValueSelf(ToItem(value), index);
    }
    ZArrayResult AddValue(T value, unsigned* index = nullptr) {
        return AddValueSelf(ToItem(value), index);
    }
    T NthValue(unsigned index) const { return FromItem(NthValueSelf(index)); }
    void SetNthValue(T value, unsigned index) const { SetNthValueSelf(ToItem(value), index); }
    unsigned FindValue(T value) const { return FindValueSelf(ToItem(value)); }

    static ZPtrArrayItem* ToItem(T value) {
        return reinterpret_cast<ZPtrArrayItem*>(const_cast<void*>(static_cast<const void*>(value)));
    }
    static T FromItem(ZPtrArrayItem* item) { return static_cast<T>(static_cast<void*>(item)); }
};
