// A bump allocator over pages reserved ahead of a crash, optionally between
// inaccessible guard pages. Allocation is lock-free and async-signal-safe;
// creation is not (it maps memory).
#pragma once

#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"

enum : uint32_t {
    FVCRASH_ALLOCATOR_GUARD_LOW = 1u << 0,   // inaccessible page below
    FVCRASH_ALLOCATOR_GUARD_HIGH = 1u << 1,  // inaccessible page above
};

/// Lies at the start of the usable area (48 bytes).
struct fvcrash_page_allocator {
    uintptr_t mapping;    // start of the whole mapping, guard pages included
    size_t mapping_size;  // its size
    size_t usable_size;   // bytes between the guard pages
    uintptr_t self;       // this header's address
    uintptr_t next;       // next free address (changed atomically)
    uint32_t flags;
};

/// Reserves room for at least `size` bytes of allocations. 3 when the memory
/// cannot be had or guarded.
fvcrash_status fvcrash_page_allocator_create(fvcrash_page_allocator** allocator, size_t size,
                                             uint32_t flags);
/// Unmaps everything the allocator holds.
void fvcrash_page_allocator_free(fvcrash_page_allocator* allocator);
/// `size` bytes aligned to 16. When the space is exhausted: null if
/// `may_fail`, else the process traps.
void* fvcrash_page_allocator_alloc(fvcrash_page_allocator* allocator, size_t size, bool may_fail);
