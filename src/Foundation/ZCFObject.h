// Scoped owner of one heap-allocated property-list object.
//
// Where a property-list reference is handed over under the "create" rule (the
// receiver owns it), this holder owns it and frees it when it goes out of
// scope. T is the object's type: `platform::Value` for a value of any type,
// `std::string` for a string or a URL, `platform::Error` for an error, or any
// other type created with `new`.
#pragma once

#include "Foundation/PelException.h"

template <class T>
class ZCFObject {
  public:
    /// Adopts `ref` (null allowed) without copying it. Throws
    /// `PelException::LogicError` with the message "inTypeRef" when `ref` is
    /// null and `required` is true.
    explicit ZCFObject(T* ref = nullptr, bool required = false) : ref_(ref) {
        if (!ref_ && required) throw PelException::LogicError("inTypeRef");
    }
    ~ZCFObject() { delete ref_; }
    ZCFObject(const ZCFObject&) = delete;
    ZCFObject& operator=(const ZCFObject&) = delete;

    /// Frees the held object and adopts `ref`; holding the same object
    /// already leaves it alone.
    void reset(T* ref) {
        if (ref == ref_) return;
        delete ref_;
        ref_ = ref;
    }

    T* get() const { return ref_; }
    T* operator->() const { return ref_; }
    T& operator*() const { return *ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

  private:
    T* ref_;
};
