// A read-only window onto the task's (this process's) memory. The window is
// checked once when it is made: it covers only pages that could be read
// then, and every read through it is bounds-checked against that range.
// Async-signal-safe.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"

/// No window is larger than this: a forged size costs at most this much
/// probing.
inline constexpr uint64_t FVCRASH_TASK_MAPPING_MAX = 64ull << 20;

struct fvcrash_task_mapping {
    fvcrash_task task;
    uintptr_t address;      // local address of the first requested byte
    uint64_t task_address;  // the requested start in the task
    uint64_t length;        // usable bytes from `address`
    int64_t delta;          // task address minus local address
    uintptr_t mapped_base;  // page-aligned start of the checked range
    uint64_t mapped_length;
    /// Optional, for a window checked a few pages at a time where reads need
    /// them: bit i (of word i / 64) is set once the i-th group of
    /// 2^checked_group_shift pages from mapped_base on was found readable,
    /// and every read must lie on such groups. Null: the whole range was
    /// checked when the window was made.
    const uint64_t* checked_groups;
    uint64_t checked_group_count;
    uint8_t checked_group_shift;
};

/// Makes a window on [task_address, task_address + length). With
/// `require_whole` every byte must be readable; otherwise the window is the
/// readable prefix. 3 when nothing (or, with `require_whole`, not all) can be
/// read, the range is empty, wraps, or is larger than the maximum.
fvcrash_status fvcrash_task_mapping_init(fvcrash_task_mapping* mapping, fvcrash_task task,
                                         uint64_t task_address, uint64_t length,
                                         bool require_whole);
/// Makes a window on [task_address, task_address + length), bytes the caller
/// has just found readable (fvcrash_readable_prefix).
void fvcrash_task_mapping_set_checked(fvcrash_task_mapping* mapping, fvcrash_task task,
                                      uint64_t task_address, uint64_t length);
/// Whether every group of pages [start, end) touches was checked (a window
/// with checked_groups, the range inside it).
bool fvcrash_task_mapping_groups_checked(const fvcrash_task_mapping* mapping, uint64_t start,
                                         uint64_t end);
/// Whether [address + offset, address + offset + length) lies inside the
/// window; false when either end overflows. (The readers below are defined
/// here so that the section parsers' many small reads inline.)
inline bool fvcrash_task_mapping_contains(const fvcrash_task_mapping* mapping, uint64_t address,
                                          int64_t offset, uint64_t length) {
    uint64_t start, end;
    if (!fvcrash_address_apply_offset(address, offset, &start)) return false;
    if (__builtin_add_overflow(start, length, &end)) return false;
    if (start < mapping->task_address || end > mapping->task_address + mapping->length) {
        return false;
    }
    return !mapping->checked_groups || fvcrash_task_mapping_groups_checked(mapping, start, end);
}
/// How many bytes from task address `start` on can be read through the
/// window without a gap: 0 when `start` lies outside it.
uint64_t fvcrash_task_mapping_run(const fvcrash_task_mapping* mapping, uint64_t start);
/// The local pointer for task address + offset when `length` bytes from there
/// lie inside the window, else null.
inline const void* fvcrash_task_mapping_pointer(const fvcrash_task_mapping* mapping,
                                                uint64_t address, int64_t offset, uint64_t length) {
    if (!fvcrash_task_mapping_contains(mapping, address, offset, length)) return nullptr;
    uint64_t start;
    fvcrash_address_apply_offset(address, offset, &start);
    return reinterpret_cast<const void*>(
        static_cast<uintptr_t>(static_cast<int64_t>(start) - mapping->delta));
}

/// The value at task address + offset; 5 when outside.
template <typename T>
fvcrash_status fvcrash_task_mapping_read_value(const fvcrash_task_mapping* mapping,
                                               uint64_t address, int64_t offset, T* out) {
    const void* p = fvcrash_task_mapping_pointer(mapping, address, offset, sizeof(T));
    if (!p) return FVCRASH_EINVAL;
    __builtin_memcpy(out, p, sizeof(T));  // a fixed size: a single move
    return FVCRASH_ESUCCESS;
}

/// Values at task address + offset, through the byte order; 5 when outside.
inline fvcrash_status fvcrash_task_mapping_read_uint8(const fvcrash_task_mapping* mapping,
                                                      uint64_t address, int64_t offset,
                                                      uint8_t* out) {
    return fvcrash_task_mapping_read_value(mapping, address, offset, out);
}
/// The value read, then put in host order by `swap`.
template <typename T>
fvcrash_status fvcrash_task_mapping_read_swapped(const fvcrash_task_mapping* mapping,
                                                 uint64_t address, int64_t offset, T* out,
                                                 T (*swap)(T)) {
    const fvcrash_status status = fvcrash_task_mapping_read_value(mapping, address, offset, out);
    if (status == FVCRASH_ESUCCESS) *out = swap(*out);
    return status;
}
inline fvcrash_status fvcrash_task_mapping_read_uint16(const fvcrash_task_mapping* mapping,
                                                       const fvcrash_byte_order* order,
                                                       uint64_t address, int64_t offset,
                                                       uint16_t* out) {
    return fvcrash_task_mapping_read_swapped(mapping, address, offset, out, order->swap16);
}
inline fvcrash_status fvcrash_task_mapping_read_uint32(const fvcrash_task_mapping* mapping,
                                                       const fvcrash_byte_order* order,
                                                       uint64_t address, int64_t offset,
                                                       uint32_t* out) {
    return fvcrash_task_mapping_read_swapped(mapping, address, offset, out, order->swap32);
}
inline fvcrash_status fvcrash_task_mapping_read_uint64(const fvcrash_task_mapping* mapping,
                                                       const fvcrash_byte_order* order,
                                                       uint64_t address, int64_t offset,
                                                       uint64_t* out) {
    return fvcrash_task_mapping_read_swapped(mapping, address, offset, out, order->swap64);
}
uint64_t fvcrash_task_mapping_task_address(const fvcrash_task_mapping* mapping);
uint64_t fvcrash_task_mapping_length(const fvcrash_task_mapping* mapping);
fvcrash_task fvcrash_task_mapping_task(const fvcrash_task_mapping* mapping);
/// Ends the window (nothing to unmap: it looks at memory in place).
void fvcrash_task_mapping_free(fvcrash_task_mapping* mapping);
