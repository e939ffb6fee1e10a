#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"

namespace {
constexpr uint64_t kPageMask = 4096 - 1;

bool groupChecked(const fvcrash_task_mapping* mapping, uint64_t group) {
    return group < mapping->checked_group_count &&
           ((mapping->checked_groups[group / 64] >> (group % 64)) & 1) != 0;
}

/// The group of the window's checked groups that holds `address` (inside the
/// window).
uint64_t groupOf(const fvcrash_task_mapping* mapping, uint64_t address) {
    return ((address - mapping->mapped_base) >> 12) >> mapping->checked_group_shift;
}
}  // namespace

fvcrash_status fvcrash_task_mapping_init(fvcrash_task_mapping* mapping, fvcrash_task task,
                                         uint64_t task_address, uint64_t length,
                                         bool require_whole) {
    fvcrash_memset(mapping, 0, sizeof *mapping);
    uint64_t end;
    if (length == 0 || __builtin_add_overflow(task_address, length, &end)) return FVCRASH_ENOMEM;
    if (length > FVCRASH_TASK_MAPPING_MAX) {
        if (require_whole) return FVCRASH_ENOMEM;
        length = FVCRASH_TASK_MAPPING_MAX;
    }
    const uint64_t readable = fvcrash_readable_prefix(task_address, length);
    if (readable == 0 || (require_whole && readable < length)) return FVCRASH_ENOMEM;
    fvcrash_task_mapping_set_checked(mapping, task, task_address, readable);
    return FVCRASH_ESUCCESS;
}

void fvcrash_task_mapping_set_checked(fvcrash_task_mapping* mapping, fvcrash_task task,
                                      uint64_t task_address, uint64_t length) {
    mapping->task = task;
    mapping->address = static_cast<uintptr_t>(task_address);
    mapping->task_address = task_address;
    mapping->length = length;
    mapping->delta = 0;
    mapping->mapped_base = static_cast<uintptr_t>(task_address & ~kPageMask);
    mapping->mapped_length =
        ((task_address + length + kPageMask) & ~kPageMask) - mapping->mapped_base;
    mapping->checked_groups = nullptr;
    mapping->checked_group_count = 0;
    mapping->checked_group_shift = 0;
}

bool fvcrash_task_mapping_groups_checked(const fvcrash_task_mapping* mapping, uint64_t start,
                                         uint64_t end) {
    if (end <= start) return true;
    const uint64_t last = groupOf(mapping, end - 1);
    for (uint64_t group = groupOf(mapping, start); group <= last; ++group) {
        if (!groupChecked(mapping, group)) return false;
    }
    return true;
}

uint64_t fvcrash_task_mapping_run(const fvcrash_task_mapping* mapping, uint64_t start) {
    const uint64_t end = mapping->task_address + mapping->length;
    if (start < mapping->task_address || start >= end) return 0;
    if (!mapping->checked_groups) return end - start;
    const uint64_t groupBytes = uint64_t{4096} << mapping->checked_group_shift;
    uint64_t group = groupOf(mapping, start);
    if (!groupChecked(mapping, group)) return 0;
    while (groupChecked(mapping, group + 1)) ++group;
    const uint64_t groupEnd = mapping->mapped_base + (group + 1) * groupBytes;
    return (groupEnd < end ? groupEnd : end) - start;
}

uint64_t fvcrash_task_mapping_task_address(const fvcrash_task_mapping* mapping) {
    return mapping->task_address;
}
uint64_t fvcrash_task_mapping_length(const fvcrash_task_mapping* mapping) {
    return mapping->length;
}
fvcrash_task fvcrash_task_mapping_task(const fvcrash_task_mapping* mapping) {
    return mapping->task;
}
void fvcrash_task_mapping_free(fvcrash_task_mapping* mapping) {
    mapping->length = 0;
    mapping->mapped_length = 0;
}
