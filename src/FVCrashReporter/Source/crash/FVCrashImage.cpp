#include "FVCrashReporter/Source/crash/FVCrashImage.h"

uint64_t fvcrash_image_header_address(const fvcrash_image* image) {
    return image->kind == FVCRASH_IMAGE_MACHO ? image->macho.header_addr : image->elf.header_addr;
}

uint64_t fvcrash_image_size(const fvcrash_image* image) {
    return image->kind == FVCRASH_IMAGE_MACHO ? image->macho.text_size : image->elf.size;
}

const char* fvcrash_image_name(const fvcrash_image* image) {
    const char* name = image->kind == FVCRASH_IMAGE_MACHO ? image->macho.name : image->elf.name;
    return name ? name : "";
}

bool fvcrash_image_uuid(const fvcrash_image* image, uint8_t uuid[16]) {
    if (image->kind == FVCRASH_IMAGE_MACHO) return fvcrash_macho_uuid(&image->macho, uuid);
    if (!image->elf.has_build_id) return false;
    fvcrash_memcpy(uuid, image->elf.uuid, 16);
    return true;
}

uint32_t fvcrash_image_cpu_type(const fvcrash_image* image) {
    return image->kind == FVCRASH_IMAGE_MACHO ? fvcrash_macho_cpu_type(&image->macho)
                                              : image->elf.cpu_type;
}

uint32_t fvcrash_image_cpu_subtype(const fvcrash_image* image) {
    return image->kind == FVCRASH_IMAGE_MACHO ? fvcrash_macho_cpu_subtype(&image->macho)
                                              : image->elf.cpu_subtype;
}

bool fvcrash_image_contains_address(const fvcrash_image* image, uint64_t address) {
    return image->kind == FVCRASH_IMAGE_MACHO
               ? fvcrash_macho_contains_address(&image->macho, address)
               : fvcrash_elf_image_contains_address(&image->elf, address);
}
