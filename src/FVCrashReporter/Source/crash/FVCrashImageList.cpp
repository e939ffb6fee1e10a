#include "FVCrashReporter/Source/crash/FVCrashImageList.h"

#include <link.h>

#include <cstddef>

namespace {

using Node = fvcrash_async_list<fvcrash_image*>::node;

bool isSpare(const fvcrash_image_list* list, const fvcrash_image* image) {
    return image >= list->spares && image < list->spares + FVCRASH_SPARE_IMAGE_COUNT;
}

fvcrash_image* firstSpare(fvcrash_image_list* list) {
    return list->spare_count.load(std::memory_order_acquire) > 0 ? &list->spares[0] : nullptr;
}

// The record of a node, remembering the node in the record on first visit.
fvcrash_image* visit(Node* node) {
    fvcrash_image* image = node->value;
    // A plain load first: the record keeps its node, and a walk passes every
    // record on each look-up.
    if (image->node.load(std::memory_order_acquire) != nullptr) return image;
    void* expected = nullptr;
    image->node.compare_exchange_strong(expected, node, std::memory_order_acq_rel);
    return image;
}

bool knows(fvcrash_image_list* list, uint64_t header_addr) {
    for (fvcrash_image* image = fvcrash_image_list_next(list, nullptr); image;
         image = fvcrash_image_list_next(list, image)) {
        if (fvcrash_image_header_address(image) == header_addr) return true;
    }
    return false;
}

// Copies a NUL-terminated string of the task into `out`, cut to fit.
void readString(fvcrash_task task, uint64_t address, char* out, size_t size) {
    size_t length = 0;
    while (address && length + 1 < size) {
        char chunk[32];
        size_t want = size - 1 - length < sizeof chunk ? size - 1 - length : sizeof chunk;
        if (fvcrash_task_read(task, address, 0, chunk, want) != FVCRASH_ESUCCESS) {
            want = 1;  // the string may end just before an unreadable page
            if (fvcrash_task_read(task, address, 0, chunk, 1) != FVCRASH_ESUCCESS) break;
        }
        size_t i = 0;
        while (i < want && chunk[i] != '\0') out[length++] = chunk[i++];
        if (i < want) break;
        address += want;
    }
    out[length] = '\0';
}

// The first fields of the loader's struct link_map.
struct LinkHead {
    uint64_t l_addr;
    uint64_t l_name;
    uint64_t l_ld;
    uint64_t l_next;
    uint64_t l_prev;
};
static_assert(offsetof(link_map, l_next) == offsetof(LinkHead, l_next));

}  // namespace

void fvcrash_image_list_set_reading(fvcrash_image_list* list, bool reading) {
    list->list->set_reading(reading);
}

fvcrash_image* fvcrash_image_list_next(fvcrash_image_list* list, fvcrash_image* current) {
    if (!current) {
        Node* first = list->list->next(nullptr);
        return first ? visit(first) : firstSpare(list);
    }
    if (isSpare(list, current)) {
        const uint32_t index = static_cast<uint32_t>(current - list->spares) + 1;
        return index < list->spare_count.load(std::memory_order_acquire) ? &list->spares[index]
                                                                         : nullptr;
    }
    Node* node = static_cast<Node*>(current->node.load(std::memory_order_acquire));
    if (!node) {
        for (node = list->list->next(nullptr); node && node->value != current;
             node = list->list->next(node)) {
        }
        if (!node) return nullptr;
    }
    Node* following = list->list->next(node);
    return following ? visit(following) : firstSpare(list);
}

fvcrash_image* fvcrash_image_list_image_for_address(fvcrash_image_list* list, uint64_t address) {
    for (fvcrash_image* image = fvcrash_image_list_next(list, nullptr); image;
         image = fvcrash_image_list_next(list, image)) {
        if (fvcrash_image_contains_address(image, address)) return image;
    }
    return nullptr;
}

uint32_t fvcrash_image_list_crash_sync(fvcrash_image_list* list) {
    uint64_t link = 0;
    if (fvcrash_task_read(list->task, reinterpret_cast<uintptr_t>(&_r_debug),
                          offsetof(r_debug, r_map), &link, sizeof link) != FVCRASH_ESUCCESS)
        return 0;
    // r_state is not trusted: the walk reads whatever links are there, each
    // checked, and stops at the link limit.
    uint32_t added = 0;
    fvcrash_image_list_set_reading(list, true);
    for (uint32_t step = 0; link && step < FVCRASH_LOADER_LINK_LIMIT; ++step) {
        LinkHead head;
        if (fvcrash_task_read(list->task, link, 0, &head, sizeof head) != FVCRASH_ESUCCESS) break;
        link = head.l_next;
        if (!head.l_addr || knows(list, head.l_addr)) continue;
        const uint32_t index = list->spare_count.load(std::memory_order_relaxed);
        if (index >= FVCRASH_SPARE_IMAGE_COUNT) break;
        fvcrash_image* spare = &list->spares[index];
        if (fvcrash_elf_image_init_from_header(&spare->elf, list->task, head.l_addr) !=
            FVCRASH_ESUCCESS)
            continue;
        spare->kind = FVCRASH_IMAGE_ELF;
        spare->node.store(nullptr, std::memory_order_relaxed);
        readString(list->task, head.l_name, list->spare_names[index], FVCRASH_SPARE_NAME_SIZE);
        spare->elf.name = list->spare_names[index];
        spare->elf.owns_name = false;
        list->spare_count.store(index + 1, std::memory_order_release);
        ++added;
    }
    fvcrash_image_list_set_reading(list, false);
    return added;
}
