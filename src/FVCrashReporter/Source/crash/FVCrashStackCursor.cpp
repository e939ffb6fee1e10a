#include "FVCrashReporter/Source/crash/FVCrashStackCursor.h"

#include "FVCrashReporter/Source/crash/FVCrashCompactUnwind.h"
#include "FVCrashReporter/Source/crash/FVCrashDwarfFrame.h"

fvcrash_stack_status fvcrash_stack_cursor_from_state(fvcrash_stack_cursor* cursor,
                                                     fvcrash_task task,
                                                     const fvcrash_thread_state* state,
                                                     fvcrash_image_list* images) {
    fvcrash_memset(cursor, 0, sizeof *cursor);
    cursor->task = task;  // this process: no reference to take
    cursor->images = images;
    cursor->depth = 0;
    fvcrash_thread_state_copy(&cursor->current, state);
    return FVCRASH_STACK_OK;
}

fvcrash_stack_status fvcrash_stack_cursor_from_thread(fvcrash_stack_cursor* cursor,
                                                      fvcrash_task task, pid_t thread,
                                                      fvcrash_image_list* images) {
    fvcrash_thread_state state;
    const fvcrash_status status = fvcrash_thread_state_from_thread(&state, thread);
    fvcrash_stack_cursor_from_state(cursor, task, &state, images);
    return static_cast<fvcrash_stack_status>(status);
}

void fvcrash_stack_cursor_set_cache(fvcrash_stack_cursor* cursor, fvcrash_unwind_cache* cache) {
    cursor->cache = cache;
}

namespace {

fvcrash_stack_status finishStep(fvcrash_stack_cursor* cursor, const fvcrash_thread_state* next) {
    if (!fvcrash_thread_state_is_valid_reg(next, FVCRASH_REG_IP) ||
        fvcrash_thread_state_read_reg(next, FVCRASH_REG_IP) <= 0x1000) {
        return FVCRASH_STACK_ENOFRAME;
    }
    fvcrash_thread_state_copy(&cursor->previous, &cursor->current);
    fvcrash_thread_state_copy(&cursor->current, next);
    ++cursor->depth;
    return FVCRASH_STACK_OK;
}

}  // namespace

fvcrash_stack_status fvcrash_stack_cursor_step(fvcrash_stack_cursor* cursor) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return FVCRASH_STACK_OK;
    }
    const fvcrash_thread_state* previous = cursor->depth > 1 ? &cursor->previous : nullptr;
    fvcrash_thread_state next;
    // The table readers share one look-up of the image that holds the pc.
    fvcrash_stack_status status = FVCRASH_STACK_EBADFRAME;
    if (fvcrash_thread_state_is_valid_reg(&cursor->current, FVCRASH_REG_IP)) {
        const uint64_t pc = fvcrash_stack_cursor_lookup_pc(cursor);
        fvcrash_image_list_set_reading(cursor->images, true);
        const fvcrash_image* image = fvcrash_image_list_image_for_address(cursor->images, pc);
        status = FVCRASH_STACK_ENOTSUP;
        if (image) {
            status = fvcrash_stack_read_compact_unwind_in(cursor->task, image, &cursor->current, pc,
                                                          &next, cursor->cache);
            if (status != FVCRASH_STACK_OK) {
                status = fvcrash_stack_read_dwarf_in(cursor->task, image, &cursor->current, pc,
                                                     &next, cursor->cache);
            }
        }
        fvcrash_image_list_set_reading(cursor->images, false);
    }
    if (status != FVCRASH_STACK_OK) {
        status = fvcrash_stack_read_frame_pointer_cached(&cursor->current, previous, &next,
                                                         cursor->task, cursor->cache);
    }
    if (status != FVCRASH_STACK_OK) return status;
    return finishStep(cursor, &next);
}

fvcrash_stack_status fvcrash_stack_cursor_step_with(fvcrash_stack_cursor* cursor,
                                                    const fvcrash_stack_reader* readers,
                                                    uint32_t count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return FVCRASH_STACK_OK;
    }
    if (count == 0) return FVCRASH_STACK_EINVAL;
    const fvcrash_thread_state* previous = cursor->depth > 1 ? &cursor->previous : nullptr;
    fvcrash_thread_state next;
    fvcrash_stack_status status = FVCRASH_STACK_EUNKNOWN;
    for (uint32_t i = 0; i < count; ++i) {
        status = readers[i](cursor->task, cursor->images, &cursor->current, previous, &next);
        if (status == FVCRASH_STACK_OK) break;
    }
    if (status != FVCRASH_STACK_OK) return status;
    return finishStep(cursor, &next);
}

fvcrash_stack_status fvcrash_stack_cursor_read_reg(const fvcrash_stack_cursor* cursor, int reg,
                                                   uint64_t* value) {
    if (reg < 0 || reg >= fvcrash_thread_state_reg_count(&cursor->current) ||
        !fvcrash_thread_state_is_valid_reg(&cursor->current, reg)) {
        return FVCRASH_STACK_ENOTSUP;
    }
    *value = fvcrash_thread_state_read_reg(&cursor->current, reg);
    return FVCRASH_STACK_OK;
}

const char* fvcrash_stack_cursor_reg_name(const fvcrash_stack_cursor* cursor, int reg) {
    return fvcrash_thread_state_reg_name(&cursor->current, reg);
}

int fvcrash_stack_cursor_reg_count(const fvcrash_stack_cursor* cursor) {
    return fvcrash_thread_state_reg_count(&cursor->current);
}

uint64_t fvcrash_stack_cursor_lookup_pc(const fvcrash_stack_cursor* cursor) {
    return fvcrash_thread_state_lookup_pc(
        &cursor->current, fvcrash_thread_state_read_reg(&cursor->current, FVCRASH_REG_IP));
}

void fvcrash_stack_cursor_release(fvcrash_stack_cursor* cursor) { cursor->task = nullptr; }

fvcrash_stack_status fvcrash_stack_read_frame_pointer_cached(const fvcrash_thread_state* current,
                                                             const fvcrash_thread_state* previous,
                                                             fvcrash_thread_state* caller,
                                                             fvcrash_task task,
                                                             fvcrash_unwind_cache* cache) {
    if (!fvcrash_thread_state_is_valid_reg(current, FVCRASH_REG_FP)) {
        return FVCRASH_STACK_EBADFRAME;
    }
    const uint64_t fp = fvcrash_thread_state_read_reg(current, FVCRASH_REG_FP);
    if (fp == 0) return FVCRASH_STACK_ENOFRAME;
    if (previous && fvcrash_thread_state_is_valid_reg(previous, FVCRASH_REG_FP)) {
        const uint64_t before = fvcrash_thread_state_read_reg(previous, FVCRASH_REG_FP);
        const int direction = fvcrash_thread_state_stack_direction(current);
        if (direction == FVCRASH_STACK_DIRECTION_DOWN && fp < before) {
            return FVCRASH_STACK_EBADFRAME;
        }
        if (direction == FVCRASH_STACK_DIRECTION_UP && fp > before) {
            return FVCRASH_STACK_EBADFRAME;
        }
    }
    const uint64_t word = fvcrash_thread_state_word_size(current);
    uint64_t savedFp, returnAddress;
    if (fvcrash_unwind_read_word(cache, task, fp, 0, word, &savedFp) != FVCRASH_ESUCCESS ||
        fvcrash_unwind_read_word(cache, task, fp, static_cast<int64_t>(word), word,
                                 &returnAddress) != FVCRASH_ESUCCESS) {
        return FVCRASH_STACK_EBADFRAME;
    }
    fvcrash_thread_state_copy(caller, current);
    fvcrash_thread_state_invalidate_all(caller);
    fvcrash_thread_state_write_reg(caller, FVCRASH_REG_FP, savedFp);
    fvcrash_thread_state_write_reg(caller, FVCRASH_REG_IP, returnAddress);
    caller->frame_flags = FVCRASH_FRAME_RETURN_ADDRESS;
    return FVCRASH_STACK_OK;
}

fvcrash_stack_status fvcrash_stack_read_frame_pointer(fvcrash_task task, fvcrash_image_list* images,
                                                      const fvcrash_thread_state* current,
                                                      const fvcrash_thread_state* previous,
                                                      fvcrash_thread_state* caller) {
    (void)images;
    return fvcrash_stack_read_frame_pointer_cached(current, previous, caller, task, nullptr);
}
