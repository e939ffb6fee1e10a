// Scoped holder of one reference to a ZSharedObject.
#pragma once

#include "Foundation/ZSharedObject.h"

/// Releases the held object, if any, when it goes out of scope.
class ZStSharedObject {
  public:
    /// Keeps `object` (null allowed). With `attach` true a reference is added
    /// for the holder; with false the holder adopts a reference the caller
    /// already owns.
    ZStSharedObject(ZSharedObject* object, bool attach) : object_(object) {
        if (attach && object_) object_->Attach();
    }
    ~ZStSharedObject() {
        if (object_) object_->Release();
    }
    ZStSharedObject(const ZStSharedObject&) = delete;
    ZStSharedObject& operator=(const ZStSharedObject&) = delete;

    ZSharedObject* get() const { return object_; }

  private:
    ZSharedObject* object_;
};
