// The shared image list: one record per loaded image, written by ordinary
// threads as the loader adds and removes images, read without locks by
// crash-time code.
//
// init, free, append, remove and fvcrash_image_list_sync_loaded run outside
// the crash path (they allocate and call the loader). set_reading, next,
// image_for_address and fvcrash_image_list_crash_sync are async-signal-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsyncList.h"
#include "FVCrashReporter/Source/crash/FVCrashImage.h"

/// Records kept ready for images that only the crash-time walk finds.
inline constexpr uint32_t FVCRASH_SPARE_IMAGE_COUNT = 128;
inline constexpr uint32_t FVCRASH_SPARE_NAME_SIZE = 256;
/// The crash-time walk follows at most this many loader links.
inline constexpr uint32_t FVCRASH_LOADER_LINK_LIMIT = 4096;

struct fvcrash_image_list {
    fvcrash_task task;
    fvcrash_async_list<fvcrash_image*>* list;
    fvcrash_image* spares;
    char (*spare_names)[FVCRASH_SPARE_NAME_SIZE];
    std::atomic<uint32_t> spare_count;
    // The loader's add and remove counters at the last sync.
    unsigned long long loader_adds;
    unsigned long long loader_subs;
    bool synced;
};

/// Prepares an empty list for the task, with its spare records. False when
/// memory is short.
bool fvcrash_image_list_init(fvcrash_image_list* list, fvcrash_task task);
/// Frees every record. No reader may be inside.
void fvcrash_image_list_free(fvcrash_image_list* list);
/// Opens the image whose header (Mach-O or ELF) lies at `header_addr` and
/// appends it; the status of the parse when it fails.
fvcrash_status fvcrash_image_list_append(fvcrash_image_list* list, uint64_t header_addr,
                                         const char* path);
/// Appends an ELF image from the loader's facts.
fvcrash_status fvcrash_image_list_append_elf(fvcrash_image_list* list, uint64_t load_bias,
                                             uint64_t phdr_addr, uint16_t phnum, const char* path);
/// Removes the record whose header address matches.
void fvcrash_image_list_remove(fvcrash_image_list* list, uint64_t header_addr);

/// Brings the ELF records in line with the loader's list (dl_iterate_phdr):
/// new images are appended, unloaded ones removed, and the spare records
/// emptied. Skipped, returning false, while the loader's add and remove
/// counters are unchanged.
bool fvcrash_image_list_sync_loaded(fvcrash_image_list* list);

/// Marks (true) or unmarks (false) a reader; records stay alive while marked.
void fvcrash_image_list_set_reading(fvcrash_image_list* list, bool reading);
/// The first record (for null), or the one after `current`: the list's
/// records, then the spare records the crash-time walk filled.
fvcrash_image* fvcrash_image_list_next(fvcrash_image_list* list, fvcrash_image* current);
/// The first record that contains the address, or null. Call while marked.
fvcrash_image* fvcrash_image_list_image_for_address(fvcrash_image_list* list, uint64_t address);
/// Walks the loader's link map (_r_debug) by checked reads, without calling
/// the loader, and fills spare records for images the list does not know
/// (loaded since the last sync). Returns how many it added.
uint32_t fvcrash_image_list_crash_sync(fvcrash_image_list* list);

/// The process-wide list, made and filled from the loader on first use.
/// Not async-signal-safe on first use.
fvcrash_image_list* fvcrash_shared_image_list();
