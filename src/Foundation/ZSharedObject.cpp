#include "Foundation/ZSharedObject.h"

ZSharedObject::~ZSharedObject() = default;

std::int32_t ZSharedObject::Attach() {
    if (refCount_.load(std::memory_order_seq_cst) <= 0) return 0;
    return refCount_.fetch_add(1, std::memory_order_seq_cst) + 1;
}

bool ZSharedObject::TryAttach() {
    std::int32_t count = refCount_.load(std::memory_order_seq_cst);
    for (;;) {
        if (count <= 0) return false;
        // On failure the current value is reloaded into `count`.
        if (refCount_.compare_exchange_weak(count, count + 1, std::memory_order_seq_cst))
            return true;
    }
}

std::int32_t ZSharedObject::Release() {
    std::int32_t count = refCount_.fetch_sub(1, std::memory_order_seq_cst) - 1;
    if (count == 0) delete this;
    return count;
}
