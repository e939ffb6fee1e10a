// A shared object for tests that reports its destruction.
#pragma once

#include <functional>

#include "Foundation/ZSharedObject.h"

namespace testsupport {

class Probe : public ZSharedObject {
  public:
    struct Tracker {
        int destroyed = 0;
    };

    explicit Probe(Tracker& tracker) : tracker_(tracker) {}

    /// The current count, read without changing it (0 once dying).
    static int countOf(ZSharedObject* object) {
        int count = object->Attach() - 1;
        if (count >= 0) object->Release();
        return count < 0 ? 0 : count;
    }

    /// Runs in the destructor, while the count is 0.
    std::function<void(Probe*)> onDestroy;

  protected:
    ~Probe() override {
        if (onDestroy) onDestroy(this);
        ++tracker_.destroyed;
    }

  private:
    Tracker& tracker_;
};

}  // namespace testsupport
