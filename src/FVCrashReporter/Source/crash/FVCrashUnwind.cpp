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
    for (uint32_t i = 0; i < FVCRASH_UNWIND_PAGE_COUNT; ++i) {
        cache->page_address[i] = 0;
        cache->page_length[i] = 0;
        cache->page_used[i] = 0;
    }
    cache->tick = 0;
    for (fvcrash_unwind_window& window : cache->windows) window.kind = FVCRASH_UNWIND_WINDOW_NONE;
    cache->next_window = 0;
    for (fvcrash_unwind_frame& frame : cache->frames) frame.image = nullptr;
}

fvcrash_unwind_frame* fvcrash_unwind_cache_frame_slot(fvcrash_unwind_cache* cache, uint64_t pc) {
    if (!cache) return nullptr;
    // Fibonacci hashing: return addresses close together land apart.
    const uint64_t hash = (pc * 0x9E3779B97F4A7C15ull) >> 56;
    return &cache->frames[hash % FVCRASH_UNWIND_FRAME_COUNT];
}

fvcrash_status fvcrash_unwind_read(fvcrash_unwind_cache* cache, fvcrash_task task, uint64_t address,
                                   int64_t offset, void* destination, size_t length) {
    uint64_t start, end;
    if (!fvcrash_address_apply_offset(address, offset, &start) ||
        __builtin_add_overflow(start, length, &end)) {
        return FVCRASH_ENOMEM;
    }
    const uint64_t page = start & ~uint64_t{FVCRASH_UNWIND_PAGE_SIZE - 1};
    // Reads that cross a page, and reads without a cache, go to the task.
    if (!cache || page == 0 || end - page > FVCRASH_UNWIND_PAGE_SIZE) {
        return fvcrash_task_read(task, start, 0, destination, length);
    }
    ++cache->tick;
    // The least recently used page makes room: pages of the stack stream
    // past while a few data pages (personality slots) stay in use.
    uint32_t slot = 0;
    for (uint32_t i = 0; i < FVCRASH_UNWIND_PAGE_COUNT; ++i) {
        if (cache->page_address[i] == page) {
            if (end - page > cache->page_length[i]) break;
            cache->page_used[i] = cache->tick;
            fvcrash_memcpy(destination, cache->pages[i] + (start - page), length);
            return FVCRASH_ESUCCESS;
        }
        if (cache->page_used[i] < cache->page_used[slot]) slot = i;
    }
    // The whole page, or the start of it that can be read.
    uint32_t got = FVCRASH_UNWIND_PAGE_SIZE;
    if (fvcrash_task_read(task, page, 0, cache->pages[slot], got) != FVCRASH_ESUCCESS) {
        return fvcrash_task_read(task, start, 0, destination, length);
    }
    cache->page_address[slot] = page;
    cache->page_length[slot] = got;
    cache->page_used[slot] = cache->tick;
    fvcrash_memcpy(destination, cache->pages[slot] + (start - page), length);
    return FVCRASH_ESUCCESS;
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
    return window;
}
