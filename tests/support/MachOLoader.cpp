#include "support/MachOLoader.h"

#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace testsupport {

namespace {

std::uint64_t get(const platform::Data& d, std::size_t at, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= std::uint64_t(d[at + i]) << (8 * i);
    return v;
}

struct Segment {
    std::string name;
    std::uint64_t vmaddr, vmsize, fileoff, filesize;
    int initprot;
};

constexpr std::uint64_t kPage = 4096;

}  // namespace

std::unique_ptr<LoadedMachO> LoadedMachO::loadFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return nullptr;
    }
    platform::Data bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return load(bytes, error);
}

std::unique_ptr<LoadedMachO> LoadedMachO::load(const platform::Data& file, std::string* error) {
    if (file.size() < 32 || get(file, 0, 4) != 0xFEEDFACF) {
        *error = "not a 64-bit little-endian Mach-O file";
        return nullptr;
    }
    const std::uint64_t ncmds = get(file, 16, 4), sizeofcmds = get(file, 20, 4);
    if (32 + sizeofcmds > file.size()) {
        *error = "load commands past the end";
        return nullptr;
    }
    std::vector<Segment> segments;
    std::size_t at = 32;
    for (std::uint64_t i = 0; i < ncmds; ++i) {
        if (at + 8 > 32 + sizeofcmds) break;
        const std::uint64_t cmd = get(file, at, 4), cmdsize = get(file, at + 4, 4);
        if (cmdsize < 8 || at + cmdsize > 32 + sizeofcmds) break;
        if (cmd == 0x19 && cmdsize >= 72) {
            Segment s;
            const char* name = reinterpret_cast<const char*>(&file[at + 8]);
            s.name.assign(name, strnlen(name, 16));
            s.vmaddr = get(file, at + 24, 8);
            s.vmsize = get(file, at + 32, 8);
            s.fileoff = get(file, at + 40, 8);
            s.filesize = get(file, at + 48, 8);
            s.initprot = static_cast<int>(get(file, at + 60, 4));
            if (s.name != "__PAGEZERO") segments.push_back(s);
        }
        at += cmdsize;
    }
    if (segments.empty()) {
        *error = "no segments";
        return nullptr;
    }
    std::uint64_t low = ~std::uint64_t(0), high = 0, text = 0;
    bool haveText = false;
    for (const Segment& s : segments) {
        if (s.fileoff + s.filesize > file.size() || s.filesize > s.vmsize) {
            *error = "segment " + s.name + " past the end of the file";
            return nullptr;
        }
        low = std::min(low, s.vmaddr & ~(kPage - 1));
        high = std::max(high, s.vmaddr + s.vmsize);
        if (s.name == "__TEXT") text = s.vmaddr, haveText = true;
    }
    if (!haveText) {
        *error = "no __TEXT segment";
        return nullptr;
    }
    std::unique_ptr<LoadedMachO> image(new LoadedMachO);
    image->reservedSize_ = (high - low + kPage - 1) & ~(kPage - 1);
    image->reserved_ = mmap(nullptr, image->reservedSize_, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (image->reserved_ == MAP_FAILED) {
        image->reserved_ = nullptr;
        *error = "cannot reserve memory";
        return nullptr;
    }
    image->slide_ =
        static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(image->reserved_) - low);
    for (const Segment& s : segments) {
        auto* place =
            reinterpret_cast<std::uint8_t*>(s.vmaddr + static_cast<std::uint64_t>(image->slide_));
        std::memcpy(place, file.data() + s.fileoff, s.filesize);
    }
    for (const Segment& s : segments) {
        const std::uint64_t start =
            (s.vmaddr + static_cast<std::uint64_t>(image->slide_)) & ~(kPage - 1);
        const std::uint64_t end = s.vmaddr + static_cast<std::uint64_t>(image->slide_) + s.vmsize;
        mprotect(reinterpret_cast<void*>(start), ((end - start) + kPage - 1) & ~(kPage - 1),
                 s.initprot & (PROT_READ | PROT_WRITE | PROT_EXEC));
    }
    image->header_ = text + static_cast<std::uint64_t>(image->slide_);
    return image;
}

LoadedMachO::~LoadedMachO() {
    if (reserved_) munmap(reserved_, reservedSize_);
}

}  // namespace testsupport
