// The DWARF location-expression evaluator used by call-frame rules: one
// evaluator per machine word (uint32_t, uint64_t), a stack of 100 words,
// unsigned arithmetic, memory read through checked task reads.
// Async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

inline constexpr size_t FVCRASH_DWARF_EXPRESSION_STACK = 100;
/// Operations executed at most per evaluation: backward branches cannot spin.
inline constexpr uint32_t FVCRASH_DWARF_EXPRESSION_BUDGET = 10000;

/// Evaluates the expression at [address + offset, + length) inside the
/// window, with the initial values pushed first (more than 100: 6). The
/// result is the top of the stack at the end (empty: 5). 4 for an
/// unsupported opcode or a register without mapping, 8 for a register that
/// is not valid, 5 for bad data or a spent operation budget, 6 for stack
/// overflow and most underflows; the task read's status for failed reads.
template <typename Word>
fvcrash_status fvcrash_dwarf_eval_expression(const fvcrash_task_mapping* mapping, fvcrash_task task,
                                             const fvcrash_thread_state* state,
                                             const fvcrash_byte_order* order, uint64_t address,
                                             int64_t offset, uint64_t length, const Word* initial,
                                             size_t initial_count, Word* result);

extern template fvcrash_status fvcrash_dwarf_eval_expression<uint32_t>(
    const fvcrash_task_mapping*, fvcrash_task, const fvcrash_thread_state*,
    const fvcrash_byte_order*, uint64_t, int64_t, uint64_t, const uint32_t*, size_t, uint32_t*);
extern template fvcrash_status fvcrash_dwarf_eval_expression<uint64_t>(
    const fvcrash_task_mapping*, fvcrash_task, const fvcrash_thread_state*,
    const fvcrash_byte_order*, uint64_t, int64_t, uint64_t, const uint64_t*, size_t, uint64_t*);
