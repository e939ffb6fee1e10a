#include "VTErrorCreationLib/VTImageInformation.h"

#include <dlfcn.h>
#include <elf.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>

#include <array>
#include <cstring>

namespace {

// The folders the dynamic loader takes system libraries from.
constexpr std::array<std::string_view, 8> kSystemLibraryFolders = {
    "/lib/",     "/lib32/",     "/lib64/",     "/libx32/",
    "/usr/lib/", "/usr/lib32/", "/usr/lib64/", "/usr/libx32/"};

bool inSystemLibraryFolder(std::string_view path) {
    for (std::string_view folder : kSystemLibraryFolders)
        if (path.substr(0, folder.size()) == folder) return true;
    return false;
}

struct Search {
    std::uintptr_t address = 0;
    VTImageInformation* info = nullptr;
    bool found = false;
};

std::uintptr_t alignUp(std::uintptr_t value, std::uintptr_t alignment) {
    return alignment > 1 ? (value + alignment - 1) & ~(alignment - 1) : value;
}

// The GNU build-id among the image's notes (mapped with its segments).
std::optional<VTUUID> buildIDOf(const dl_phdr_info* image) {
    for (int i = 0; i < image->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = image->dlpi_phdr[i];
        if (header.p_type != PT_NOTE) continue;
        const std::uintptr_t begin = image->dlpi_addr + header.p_vaddr;
        const std::uintptr_t end = begin + header.p_memsz;
        const std::uintptr_t alignment = header.p_align < 4 ? 4 : header.p_align;
        std::uintptr_t at = begin;
        while (at + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            std::memcpy(&note, reinterpret_cast<const void*>(at), sizeof note);
            const std::uintptr_t name = at + sizeof note;
            const std::uintptr_t desc = alignUp(name + note.n_namesz, alignment);
            const std::uintptr_t next = alignUp(desc + note.n_descsz, alignment);
            if (desc + note.n_descsz > end || next <= at) break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(reinterpret_cast<const void*>(name), "GNU", 4) == 0) {
                VTUUID::Bytes bytes{};
                std::memcpy(bytes.data(), reinterpret_cast<const void*>(desc),
                            note.n_descsz < bytes.size() ? note.n_descsz : bytes.size());
                return VTUUID(bytes);
            }
            at = next;
        }
    }
    return std::nullopt;
}

std::string mainProgramPath() {
    char resolved[PATH_MAX];
    return realpath("/proc/self/exe", resolved) ? std::string(resolved) : std::string();
}

int visit(dl_phdr_info* image, size_t, void* context) {
    auto* search = static_cast<Search*>(context);
    const ElfW(Phdr)* first = nullptr;
    bool holds = false;
    for (int i = 0; i < image->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = image->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        if (!first || header.p_vaddr < first->p_vaddr) first = &header;
        const std::uintptr_t start = image->dlpi_addr + header.p_vaddr;
        if (search->address >= start && search->address - start < header.p_memsz) holds = true;
    }
    if (!holds || !first) return 0;
    VTImageInformation& info = *search->info;
    info.imageBase = image->dlpi_addr + first->p_vaddr - first->p_offset;
    const char* name = image->dlpi_name;
    // The loader names the main program "" (and the vDSO without a folder).
    if (!name || name[0] == '\0') {
        info.path = mainProgramPath();
    } else {
        info.path = std::strchr(name, '/') ? name : "";
    }
    info.buildID = buildIDOf(image);
    search->found = true;
    return 1;
}

}  // namespace

bool VTImageInformationForAddress(std::uintptr_t address, VTImageInformation* info) {
    VTImageInformation found;
    Search search{address, &found, false};
    dl_iterate_phdr(visit, &search);
    if (!search.found) return false;
    Dl_info symbol{};
    if (dladdr(reinterpret_cast<const void*>(address), &symbol) != 0 && symbol.dli_sname) {
        found.symbolName = symbol.dli_sname;
        found.symbolAddress = reinterpret_cast<std::uintptr_t>(symbol.dli_saddr);
    }
    if (info) *info = std::move(found);
    return true;
}

bool VTIsSystemImagePath(std::string_view path) {
    if (path.empty()) return true;
    if (inSystemLibraryFolder(path)) return true;
    // /lib is often a link to /usr/lib, and a library may be reached
    // through a link of its own.
    char resolved[PATH_MAX];
    if (realpath(std::string(path).c_str(), resolved)) return inSystemLibraryFolder(resolved);
    return false;
}
