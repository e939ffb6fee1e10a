#include <limits.h>
#include <link.h>
#include <stdlib.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashImageList.h"

namespace {

void closeRecord(fvcrash_image* image, void*) {
    if (image->kind == FVCRASH_IMAGE_MACHO) {
        fvcrash_macho_image_close(&image->macho);
    } else if (image->elf.owns_name) {
        free(image->elf.name);
    }
    delete image;
}

fvcrash_status appendRecord(fvcrash_image_list* list, fvcrash_image* image, const char* path) {
    if (image->kind == FVCRASH_IMAGE_ELF) {
        image->elf.name = strdup(path ? path : "");
        image->elf.owns_name = image->elf.name != nullptr;
        if (!image->elf.name) {
            delete image;
            return FVCRASH_ENOMEM;
        }
    }
    if (!list->list->append(image)) {
        closeRecord(image, nullptr);
        return FVCRASH_ENOMEM;
    }
    return FVCRASH_ESUCCESS;
}

struct LoadedImage {
    uint64_t bias;
    uint64_t phdr;
    uint16_t phnum;
    std::string name;
};

struct LoaderWalk {
    fvcrash_image_list* list;
    bool unchanged = false;
    unsigned long long adds = 0, subs = 0;
    std::vector<LoadedImage> images;
};

std::string mainProgramPath() {
    char resolved[PATH_MAX];
    return realpath("/proc/self/exe", resolved) ? std::string(resolved) : std::string();
}

int collect(dl_phdr_info* info, size_t size, void* context) {
    auto* walk = static_cast<LoaderWalk*>(context);
    const bool counted = size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs);
    if (walk->images.empty() && counted) {
        walk->adds = info->dlpi_adds;
        walk->subs = info->dlpi_subs;
        if (walk->list->synced && walk->adds == walk->list->loader_adds &&
            walk->subs == walk->list->loader_subs) {
            walk->unchanged = true;
            return 1;
        }
    }
    LoadedImage image{info->dlpi_addr,
                      reinterpret_cast<uintptr_t>(info->dlpi_phdr),
                      static_cast<uint16_t>(info->dlpi_phnum),
                      {}};
    // The loader names the program "" and the vDSO without a folder.
    const char* name = info->dlpi_name;
    if (!name || name[0] == '\0') {
        image.name = walk->images.empty() ? mainProgramPath() : std::string();
    } else if (std::strchr(name, '/')) {
        image.name = name;
    }
    walk->images.push_back(std::move(image));
    return 0;
}

}  // namespace

bool fvcrash_image_list_init(fvcrash_image_list* list, fvcrash_task task) {
    list->task = task;
    list->list = new (std::nothrow) fvcrash_async_list<fvcrash_image*>(closeRecord, nullptr);
    list->spares =
        static_cast<fvcrash_image*>(calloc(FVCRASH_SPARE_IMAGE_COUNT, sizeof(fvcrash_image)));
    list->spare_names = static_cast<char(*)[FVCRASH_SPARE_NAME_SIZE]>(
        calloc(FVCRASH_SPARE_IMAGE_COUNT, FVCRASH_SPARE_NAME_SIZE));
    list->spare_count.store(0);
    list->loader_adds = list->loader_subs = 0;
    list->synced = false;
    if (!list->list || !list->spares || !list->spare_names) {
        fvcrash_image_list_free(list);
        return false;
    }
    return true;
}

void fvcrash_image_list_free(fvcrash_image_list* list) {
    delete list->list;  // disposes of every record
    list->list = nullptr;
    free(list->spares);
    list->spares = nullptr;
    free(list->spare_names);
    list->spare_names = nullptr;
    list->spare_count.store(0);
}

fvcrash_status fvcrash_image_list_append(fvcrash_image_list* list, uint64_t header_addr,
                                         const char* path) {
    auto* image = new (std::nothrow) fvcrash_image{};
    if (!image) return FVCRASH_ENOMEM;
    unsigned char magic[4];
    fvcrash_status status = fvcrash_task_read(list->task, header_addr, 0, magic, sizeof magic);
    if (status == FVCRASH_ESUCCESS && std::memcmp(magic, ELFMAG, SELFMAG) == 0) {
        image->kind = FVCRASH_IMAGE_ELF;
        status = fvcrash_elf_image_init_from_header(&image->elf, list->task, header_addr);
    } else {
        image->kind = FVCRASH_IMAGE_MACHO;
        status = fvcrash_macho_image_open(&image->macho, list->task, path, header_addr);
    }
    if (status != FVCRASH_ESUCCESS) {
        delete image;
        return status;
    }
    return appendRecord(list, image, path);
}

fvcrash_status fvcrash_image_list_append_elf(fvcrash_image_list* list, uint64_t load_bias,
                                             uint64_t phdr_addr, uint16_t phnum, const char* path) {
    auto* image = new (std::nothrow) fvcrash_image{};
    if (!image) return FVCRASH_ENOMEM;
    image->kind = FVCRASH_IMAGE_ELF;
    fvcrash_status status =
        fvcrash_elf_image_init(&image->elf, list->task, load_bias, phdr_addr, phnum);
    if (status != FVCRASH_ESUCCESS) {
        delete image;
        return status;
    }
    return appendRecord(list, image, path);
}

void fvcrash_image_list_remove(fvcrash_image_list* list, uint64_t header_addr) {
    fvcrash_image* found = nullptr;
    fvcrash_image_list_set_reading(list, true);
    for (auto* node = list->list->next(nullptr); node && !found; node = list->list->next(node)) {
        if (fvcrash_image_header_address(node->value) == header_addr) found = node->value;
    }
    // Removed while still marked, so another writer cannot have freed it in
    // between; remove() finds it again under the writers' lock.
    if (found) list->list->remove(found);
    fvcrash_image_list_set_reading(list, false);
}

bool fvcrash_image_list_sync_loaded(fvcrash_image_list* list) {
    LoaderWalk walk;
    walk.list = list;
    dl_iterate_phdr(collect, &walk);
    if (walk.unchanged) return false;

    std::vector<std::pair<uint64_t, const LoadedImage*>> loaded;
    for (const LoadedImage& image : walk.images) {
        fvcrash_elf_image parsed;
        if (fvcrash_elf_image_init(&parsed, list->task, image.bias, image.phdr, image.phnum) ==
            FVCRASH_ESUCCESS)
            loaded.emplace_back(parsed.header_addr, &image);
    }
    // A record stays when an image with its header address and path is still
    // loaded; another image loaded at a freed address gets a record of its own.
    auto same = [](const fvcrash_image* record, uint64_t header, const std::string& name) {
        return record->elf.header_addr == header && name == fvcrash_image_name(record);
    };
    std::vector<const fvcrash_image*> kept;
    std::vector<fvcrash_image*> gone;
    fvcrash_image_list_set_reading(list, true);
    for (auto* node = list->list->next(nullptr); node; node = list->list->next(node)) {
        fvcrash_image* record = node->value;
        if (record->kind != FVCRASH_IMAGE_ELF) continue;
        bool present = false;
        for (const auto& [header, image] : loaded)
            present = present || same(record, header, image->name);
        if (present) {
            kept.push_back(record);
        } else {
            gone.push_back(record);
        }
    }
    for (const auto& [header, image] : loaded) {
        bool isKept = false;
        for (const fvcrash_image* record : kept)
            isKept = isKept || same(record, header, image->name);
        if (!isKept)
            fvcrash_image_list_append_elf(list, image->bias, image->phdr, image->phnum,
                                          image->name.c_str());
    }
    // Still marked as a reader: no record seen above can have been freed by
    // another writer, and those removed here wait for the readers to leave.
    for (fvcrash_image* record : gone) list->list->remove(record);
    fvcrash_image_list_set_reading(list, false);
    // What the crash-time walk found is now in the list (or unloaded). The
    // spare records stay allocated, so a reader still on one is safe.
    list->spare_count.store(0, std::memory_order_release);
    list->loader_adds = walk.adds;
    list->loader_subs = walk.subs;
    list->synced = true;
    return true;
}

fvcrash_image_list* fvcrash_shared_image_list() {
    static fvcrash_image_list shared;
    static std::once_flag once;
    std::call_once(once, [] {
        if (fvcrash_image_list_init(&shared, fvcrash_task_self()))
            fvcrash_image_list_sync_loaded(&shared);
    });
    return &shared;
}
