// The frame cursor: walks one thread's stack from a starting register set
// towards the outermost caller, one frame per step, asking the frame readers
// in turn (compact unwind, DWARF call frames, frame pointers).
// Async-signal-safe: no allocation, no lock.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"
#include "FVCrashReporter/Source/crash/FVCrashUnwind.h"

struct fvcrash_stack_cursor {
    fvcrash_task task;
    fvcrash_image_list* images;
    uint32_t depth;
    fvcrash_thread_state previous;
    fvcrash_thread_state current;
    /// Optional; set by fvcrash_stack_cursor_set_cache and used by the
    /// default readers of fvcrash_stack_cursor_step.
    fvcrash_unwind_cache* cache;
};

fvcrash_stack_status fvcrash_stack_cursor_from_state(fvcrash_stack_cursor* cursor,
                                                     fvcrash_task task,
                                                     const fvcrash_thread_state* state,
                                                     fvcrash_image_list* images);
fvcrash_stack_status fvcrash_stack_cursor_from_thread(fvcrash_stack_cursor* cursor,
                                                      fvcrash_task task, pid_t thread,
                                                      fvcrash_image_list* images);
/// Lets the default readers keep stack pages and unwind windows in `cache`,
/// which the caller resets before each report.
void fvcrash_stack_cursor_set_cache(fvcrash_stack_cursor* cursor, fvcrash_unwind_cache* cache);
/// One step with the default readers.
fvcrash_stack_status fvcrash_stack_cursor_step(fvcrash_stack_cursor* cursor);
/// One step with the given readers.
fvcrash_stack_status fvcrash_stack_cursor_step_with(fvcrash_stack_cursor* cursor,
                                                    const fvcrash_stack_reader* readers,
                                                    uint32_t count);
fvcrash_stack_status fvcrash_stack_cursor_read_reg(const fvcrash_stack_cursor* cursor, int reg,
                                                   uint64_t* value);
const char* fvcrash_stack_cursor_reg_name(const fvcrash_stack_cursor* cursor, int reg);
int fvcrash_stack_cursor_reg_count(const fvcrash_stack_cursor* cursor);
/// Where the current frame's code is named: its pc, or pc - 1 when the pc is
/// a return address.
uint64_t fvcrash_stack_cursor_lookup_pc(const fvcrash_stack_cursor* cursor);
void fvcrash_stack_cursor_release(fvcrash_stack_cursor* cursor);

/// The last reader: the saved frame pointer and return address at the
/// current frame pointer.
fvcrash_stack_status fvcrash_stack_read_frame_pointer(fvcrash_task task, fvcrash_image_list* images,
                                                      const fvcrash_thread_state* current,
                                                      const fvcrash_thread_state* previous,
                                                      fvcrash_thread_state* caller);
fvcrash_stack_status fvcrash_stack_read_frame_pointer_cached(const fvcrash_thread_state* current,
                                                             const fvcrash_thread_state* previous,
                                                             fvcrash_thread_state* caller,
                                                             fvcrash_task task,
                                                             fvcrash_unwind_cache* cache);
