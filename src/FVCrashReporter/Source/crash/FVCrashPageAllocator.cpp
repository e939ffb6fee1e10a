#include "FVCrashReporter/Source/crash/FVCrashPageAllocator.h"

#include <sys/mman.h>
#include <unistd.h>

static_assert(sizeof(fvcrash_page_allocator) == 48);

namespace {
constexpr size_t kGuardSize = 4096;

size_t roundUp(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }
}  // namespace

fvcrash_status fvcrash_page_allocator_create(fvcrash_page_allocator** allocator, size_t size,
                                             uint32_t flags) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size > SIZE_MAX / 2) return FVCRASH_ENOMEM;
    const size_t usable = roundUp(size + sizeof(fvcrash_page_allocator), page);
    const bool low = flags & FVCRASH_ALLOCATOR_GUARD_LOW;
    const bool high = flags & FVCRASH_ALLOCATOR_GUARD_HIGH;
    const size_t total = usable + (low ? kGuardSize : 0) + (high ? kGuardSize : 0);
    void* mapping =
        mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return FVCRASH_ENOMEM;
    const uintptr_t base = reinterpret_cast<uintptr_t>(mapping);
    if ((low && mprotect(mapping, kGuardSize, PROT_NONE) != 0) ||
        (high && mprotect(reinterpret_cast<void*>(base + total - kGuardSize), kGuardSize,
                          PROT_NONE) != 0)) {
        munmap(mapping, total);
        return FVCRASH_ENOMEM;
    }
    auto* header = reinterpret_cast<fvcrash_page_allocator*>(base + (low ? kGuardSize : 0));
    header->mapping = base;
    header->mapping_size = total;
    header->usable_size = usable;
    header->self = reinterpret_cast<uintptr_t>(header);
    header->next = (header->self + 63) & ~uintptr_t(15);
    header->flags = flags;
    *allocator = header;
    return FVCRASH_ESUCCESS;
}

void fvcrash_page_allocator_free(fvcrash_page_allocator* allocator) {
    if (allocator) munmap(reinterpret_cast<void*>(allocator->mapping), allocator->mapping_size);
}

void* fvcrash_page_allocator_alloc(fvcrash_page_allocator* allocator, size_t size, bool may_fail) {
    const uintptr_t end = allocator->self + allocator->usable_size;
    uintptr_t current = __atomic_load_n(&allocator->next, __ATOMIC_ACQUIRE);
    for (;;) {
        // The cursor advances by the rounded size, so that is what must fit.
        const size_t rounded = size > SIZE_MAX - 15 ? SIZE_MAX : roundUp(size, 16);
        if (rounded == SIZE_MAX || current > end || end - current < rounded) {
            if (may_fail) return nullptr;
            __builtin_trap();
        }
        if (__atomic_compare_exchange_n(&allocator->next, &current, current + rounded, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return reinterpret_cast<void*>(current);
    }
}
