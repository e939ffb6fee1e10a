#include "FVCrashReporter/Source/crash/FVCrashUnwind.h"

const char* fvcrash_stack_error_text(int code) {
    switch (code) {
        case FVCRASH_STACK_OK:
            return "No error";
        case FVCRASH_STACK_EUNKNOWN:
            return "Unknown error";
        case FVCRASH_STACK_ENOFRAME:
            return "No frames are available";
        case FVCRASH_STACK_EBADFRAME:
            return "Corrupted frame";
        case FVCRASH_STACK_ENOTSUP:
            return "Operation not supported";
        case FVCRASH_STACK_EINVAL:
            return "Invalid argument";
        case FVCRASH_STACK_EINTERNAL:
            return "Internal error";
        case FVCRASH_STACK_EBADREG:
            return "Invalid register";
        default:
            return "Unhandled error code";
    }
}

void fvcrash_unwind_cache_reset(fvcrash_unwind_cache* cache) {
    cache->self = fvcrash_own_pid();
    for (fvcrash_task_mapping& memory : cache->memory) memory.length = 0;
    cache->next_memory = 0;
    for (fvcrash_unwind_window& window : cache->windows) window.kind = FVCRASH_UNWIND_WINDOW_NONE;
    cache->next_window = 0;
    for (fvcrash_unwind_frame& frame : cache->frames) frame.image = nullptr;
}

pid_t fvcrash_unwind_cache_pid(const fvcrash_unwind_cache* cache) {
    return cache && cache->self > 0 ? cache->self : fvcrash_own_pid();
}

fvcrash_unwind_frame* fvcrash_unwind_cache_frame_slot(fvcrash_unwind_cache* cache, uint64_t pc) {
    if (!cache) return nullptr;
    // Fibonacci hashing: return addresses close together land apart.
    const uint64_t hash = (pc * 0x9E3779B97F4A7C15ull) >> 32;
    return &cache->frames[hash % FVCRASH_UNWIND_FRAME_COUNT];
}

namespace {

const void* inWindow(const fvcrash_task_mapping& memory, uint64_t start, size_t length) {
    if (start < memory.task_address || start - memory.task_address > memory.length ||
        length > memory.length - (start - memory.task_address)) {
        return nullptr;
    }
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(start));
}

/// Copies from a checked window; words (most reads) as single moves.
void copyOut(void* destination, const void* source, size_t length) {
    if (length == 8) {
        __builtin_memcpy(destination, source, 8);
    } else if (length == 4) {
        __builtin_memcpy(destination, source, 4);
    } else {
        fvcrash_memcpy(destination, source, length);
    }
}

}  // namespace

fvcrash_status fvcrash_unwind_read(fvcrash_unwind_cache* cache, fvcrash_task task, uint64_t address,
                                   int64_t offset, void* destination, size_t length) {
    uint64_t start = address, end;
    if ((offset != 0 && !fvcrash_address_apply_offset(address, offset, &start)) ||
        __builtin_add_overflow(start, length, &end)) {
        return FVCRASH_ENOMEM;
    }
    if (!cache || length == 0 || length > FVCRASH_UNWIND_MEMORY_SPAN) {
        return fvcrash_task_read(task, start, 0, destination, length);
    }
    for (const fvcrash_task_mapping& memory : cache->memory) {
        if (const void* source = inWindow(memory, start, length)) {
            copyOut(destination, source, length);
            return FVCRASH_ESUCCESS;
        }
    }
    // A new window from the read's page on: the stack is read upwards, a
    // frame at a time. Reads the window cannot cover go to the task.
    const uint64_t page = start & ~uint64_t{4095};
    fvcrash_task_mapping* memory = &cache->memory[cache->next_memory];
    const uint64_t readable = page == 0
                                  ? 0
                                  : fvcrash_readable_prefix_as(fvcrash_unwind_cache_pid(cache),
                                                               page, FVCRASH_UNWIND_MEMORY_SPAN);
    if (readable == 0) {
        memory->length = 0;
        return fvcrash_task_read(task, start, 0, destination, length);
    }
    fvcrash_task_mapping_set_checked(memory, task, page, readable);
    cache->next_memory = (cache->next_memory + 1) % FVCRASH_UNWIND_MEMORY_COUNT;
    const void* source = inWindow(*memory, start, length);
    if (!source) return fvcrash_task_read(task, start, 0, destination, length);
    copyOut(destination, source, length);
    return FVCRASH_ESUCCESS;
}

bool fvcrash_unwind_cache_wants_stack(const fvcrash_unwind_cache* cache) {
    if (!cache) return false;
    for (const fvcrash_task_mapping& memory : cache->memory) {
        if (memory.length != 0) return false;
    }
    return true;
}

void fvcrash_unwind_cache_keep_memory(fvcrash_unwind_cache* cache, fvcrash_task task, uint64_t page,
                                      uint64_t readable) {
    if (!cache || page == 0 || readable == 0) return;
    fvcrash_task_mapping* memory = &cache->memory[cache->next_memory];
    fvcrash_task_mapping_set_checked(memory, task, page, readable);
    cache->next_memory = (cache->next_memory + 1) % FVCRASH_UNWIND_MEMORY_COUNT;
}

fvcrash_status fvcrash_unwind_read_word(fvcrash_unwind_cache* cache, fvcrash_task task,
                                        uint64_t address, int64_t offset, uint64_t word_size,
                                        uint64_t* value) {
    if (word_size == 8) return fvcrash_unwind_read(cache, task, address, offset, value, 8);
    uint32_t word;
    const fvcrash_status status = fvcrash_unwind_read(cache, task, address, offset, &word, 4);
    if (status == FVCRASH_ESUCCESS) *value = word;
    return status;
}

fvcrash_unwind_window* fvcrash_unwind_cache_window(fvcrash_unwind_cache* cache,
                                                   const fvcrash_image* image, uint8_t kind) {
    if (!cache) return nullptr;
    const uint64_t header = fvcrash_image_header_address(image);
    for (fvcrash_unwind_window& window : cache->windows) {
        if (window.kind == kind && window.image == image && window.header_addr == header) {
            return &window;
        }
    }
    return nullptr;
}

fvcrash_unwind_window* fvcrash_unwind_cache_store(fvcrash_unwind_cache* cache,
                                                  const fvcrash_image* image, uint8_t kind) {
    if (!cache) return nullptr;
    fvcrash_unwind_window* window = &cache->windows[cache->next_window];
    cache->next_window = (cache->next_window + 1) % FVCRASH_UNWIND_WINDOW_COUNT;
    fvcrash_memset(window, 0, sizeof *window);
    window->image = image;
    window->header_addr = fvcrash_image_header_address(image);
    window->kind = kind;
    window->self = fvcrash_unwind_cache_pid(cache);
    return window;
}

fvcrash_stack_status fvcrash_stack_read_in_image(fvcrash_task task, fvcrash_image_list* images,
                                                 const fvcrash_thread_state* current,
                                                 fvcrash_thread_state* caller,
                                                 fvcrash_unwind_cache* cache,
                                                 fvcrash_stack_image_reader reader) {
    if (!fvcrash_thread_state_is_valid_reg(current, FVCRASH_REG_IP)) {
        return FVCRASH_STACK_EBADFRAME;
    }
    const uint64_t pc = fvcrash_thread_state_lookup_pc(
        current, fvcrash_thread_state_read_reg(current, FVCRASH_REG_IP));
    fvcrash_image_list_set_reading(images, true);
    fvcrash_stack_status result = FVCRASH_STACK_ENOTSUP;
    if (const fvcrash_image* image = fvcrash_image_list_image_for_address(images, pc)) {
        result = reader(task, image, current, pc, caller, cache);
    }
    fvcrash_image_list_set_reading(images, false);
    return result;
}
