#include <cstdlib>
#include <cstring>

#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"

fvcrash_status fvcrash_macho_image_open(fvcrash_macho_image* image, fvcrash_task task,
                                        const char* name, uint64_t header_addr) {
    fvcrash_status status = fvcrash_macho_image_parse(image, task, header_addr);
    if (status != FVCRASH_ESUCCESS) return status;
    image->name = strdup(name ? name : "");
    if (!image->name) {
        fvcrash_task_mapping_free(&image->load_cmds);
        return FVCRASH_ENOMEM;
    }
    return FVCRASH_ESUCCESS;
}

void fvcrash_macho_image_close(fvcrash_macho_image* image) {
    std::free(image->name);
    image->name = nullptr;
    fvcrash_task_mapping_free(&image->load_cmds);
}
