// Intrusively reference-counted objects.
#pragma once

#include <atomic>
#include <cstdint>

/// Base class of reference-counted objects. A new object carries one reference
/// (count 1), owned by its creator; the last `Release` destroys it through its
/// virtual destructor. Attach and release from any thread.
class ZSharedObject {
  public:
    ZSharedObject() = default;
    ZSharedObject(const ZSharedObject&) = delete;
    ZSharedObject& operator=(const ZSharedObject&) = delete;

    /// Adds a reference and returns the new count. An object whose count has
    /// already fallen to 0 (it is being destroyed) is not revived: the result
    /// is 0 and nothing changes. The test and the increment are two steps; code
    /// that may race with the last `Release` uses `TryAttach`.
    std::int32_t Attach();
    /// Adds a reference only while the count is above 0, atomically; false
    /// when the object is already being destroyed.
    bool TryAttach();
    /// Drops a reference and returns the new count; at 0 the object is
    /// destroyed and must not be touched again.
    std::int32_t Release();

  protected:
    virtual ~ZSharedObject();

  private:
    std::atomic<std::int32_t> refCount_{1};
};
