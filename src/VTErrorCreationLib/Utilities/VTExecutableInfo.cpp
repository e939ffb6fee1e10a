#include "VTErrorCreationLib/Utilities/VTExecutableInfo.h"

#include <cstring>
#include <optional>
#include <string>

#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"

namespace {

constexpr std::uint32_t kFatMagic = 0xCAFEBABE;
constexpr std::uint32_t kMachMagic32 = 0xFEEDFACE;
constexpr std::uint32_t kMachMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kSegmentCommand32 = 1;
constexpr std::uint32_t kSegmentCommand64 = 25;
constexpr long kMachRcvTooLarge = 29;

// Bounds-checked reads of a byte span.
class Reader {
  public:
    Reader(std::span<const std::uint8_t> bytes, bool bigEndian) : bytes_(bytes), big_(bigEndian) {}
    bool has(std::uint64_t offset, std::uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    std::uint64_t read(std::uint64_t offset, unsigned width) const {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) {
            std::uint64_t b = bytes_[offset + i];
            v |= big_ ? b << (8 * (width - 1 - i)) : b << (8 * i);
        }
        return v;
    }
    std::uint32_t u32(std::uint64_t offset) const {
        return static_cast<std::uint32_t>(read(offset, 4));
    }
    bool nameIs(std::uint64_t offset, std::size_t fieldLength, std::string_view name) const {
        std::size_t n = 0;
        while (n < fieldLength && bytes_[offset + n] != 0) ++n;
        return std::string_view(reinterpret_cast<const char*>(bytes_.data() + offset), n) == name;
    }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

  private:
    std::span<const std::uint8_t> bytes_;
    bool big_;
};

platform::Error notExecutable(std::string_view url) {
    return platform::Error(std::string(VTUtilitiesErrorDomain), 2,
                           {{std::string(platform::kLocalizedDescriptionKey),
                             platform::Value("The file is not a valid Mach-O executable")},
                            {"URL", platform::Value(url)}});
}

VTInfoPlistSearch fail(platform::Error* error, platform::Error e) {
    platform::setError(error, std::move(e));
    return VTInfoPlistSearch::kFailed;
}

VTInfoPlistSearch searchMachO(std::span<const std::uint8_t> slice, std::string_view url,
                              std::span<const std::uint8_t>* section, platform::Error* error) {
    if (slice.size() < 28)
        return fail(error,
                    platform::Error(std::string(platform::kMachErrorDomain), kMachRcvTooLarge));
    Reader r(slice, false);
    std::uint32_t magic = r.u32(0);
    bool is64 = magic == kMachMagic64;
    if (!is64 && magic != kMachMagic32) return VTInfoPlistSearch::kNotFound;

    const std::uint64_t headerSize = is64 ? 32 : 28;
    const std::uint32_t segmentCommand = is64 ? kSegmentCommand64 : kSegmentCommand32;
    const std::uint64_t segmentSize = is64 ? 72 : 56;
    const std::uint64_t sectionSize = is64 ? 80 : 68;
    std::uint32_t ncmds = r.u32(16);
    std::uint64_t offset = headerSize;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
        if (!r.has(offset, 8)) return fail(error, notExecutable(url));
        std::uint32_t cmd = r.u32(offset);
        std::uint32_t cmdsize = r.u32(offset + 4);
        if (cmdsize < 8 || !r.has(offset, cmdsize)) return fail(error, notExecutable(url));
        if (cmd == segmentCommand && cmdsize >= segmentSize && r.nameIs(offset + 8, 16, "__TEXT")) {
            std::uint32_t nsects = r.u32(offset + segmentSize - 8);
            if (segmentSize + std::uint64_t(nsects) * sectionSize > cmdsize)
                return fail(error, notExecutable(url));
            for (std::uint32_t s = 0; s < nsects; ++s) {
                std::uint64_t sect = offset + segmentSize + s * sectionSize;
                if (!r.nameIs(sect, 16, "__info_plist")) continue;
                std::uint64_t size = is64 ? r.read(sect + 40, 8) : r.u32(sect + 36);
                std::uint64_t fileOffset = is64 ? r.u32(sect + 48) : r.u32(sect + 40);
                if (!r.has(fileOffset, size)) return fail(error, notExecutable(url));
                *section = slice.subspan(fileOffset, size);
                return VTInfoPlistSearch::kFound;
            }
        }
        offset += cmdsize;
    }
    return VTInfoPlistSearch::kNotFound;
}

VTInfoPlistSearch searchELF(std::span<const std::uint8_t> file, std::string_view url,
                            std::span<const std::uint8_t>* section, platform::Error* error) {
    if (file.size() < 16) return fail(error, notExecutable(url));
    unsigned elfClass = file[4];
    unsigned data = file[5];
    if ((elfClass != 1 && elfClass != 2) || (data != 1 && data != 2))
        return fail(error, notExecutable(url));
    bool is64 = elfClass == 2;
    Reader r(file, data == 2);
    const std::uint64_t headerSize = is64 ? 64 : 52;
    if (!r.has(0, headerSize)) return fail(error, notExecutable(url));
    std::uint64_t shoff = is64 ? r.read(40, 8) : r.u32(32);
    unsigned shentsize = static_cast<unsigned>(r.read(is64 ? 58 : 46, 2));
    std::uint64_t shnum = r.read(is64 ? 60 : 48, 2);
    std::uint64_t shstrndx = r.read(is64 ? 62 : 50, 2);
    const unsigned minEntry = is64 ? 64 : 40;
    if (shoff == 0) return VTInfoPlistSearch::kNotFound;
    if (shentsize < minEntry || !r.has(shoff, shentsize)) return fail(error, notExecutable(url));

    auto entry = [&](std::uint64_t index) { return shoff + index * shentsize; };
    auto field = [&](std::uint64_t base, unsigned off32, unsigned off64, bool wide) {
        return is64 ? r.read(base + off64, wide ? 8 : 4) : r.u32(base + off32);
    };
    // Large section counts and string-table indexes live in section 0.
    if (shnum == 0) shnum = field(entry(0), 20, 32, true);
    if (shstrndx == 0xFFFF) shstrndx = r.u32(entry(0) + (is64 ? 40 : 24));
    if (shnum > (file.size() - shoff) / shentsize || shstrndx >= shnum)
        return fail(error, notExecutable(url));

    std::uint64_t strBase = entry(shstrndx);
    std::uint64_t strOffset = field(strBase, 16, 24, true);
    std::uint64_t strSize = field(strBase, 20, 32, true);
    if (!r.has(strOffset, strSize)) return fail(error, notExecutable(url));
    constexpr std::string_view kName = "__info_plist";
    for (std::uint64_t i = 0; i < shnum; ++i) {
        std::uint64_t base = entry(i);
        std::uint64_t nameOffset = r.u32(base);
        if (nameOffset >= strSize || strSize - nameOffset < kName.size() + 1) continue;
        if (!r.nameIs(strOffset + nameOffset, kName.size() + 1, kName)) continue;
        std::uint32_t type = r.u32(base + 4);
        if (type == 8) return VTInfoPlistSearch::kNotFound;  // SHT_NOBITS: no bytes in the file
        std::uint64_t offset = field(base, 16, 24, true);
        std::uint64_t size = field(base, 20, 32, true);
        if (!r.has(offset, size)) return fail(error, notExecutable(url));
        *section = file.subspan(offset, size);
        return VTInfoPlistSearch::kFound;
    }
    return VTInfoPlistSearch::kNotFound;
}

}  // namespace

VTInfoPlistSearch VTFindEmbeddedInfoPlist(std::span<const std::uint8_t> file, std::string_view url,
                                          std::span<const std::uint8_t>* section,
                                          platform::Error* error) {
    if (file.size() <= 7) return fail(error, notExecutable(url));
    Reader big(file, true);
    if (big.u32(0) == kFatMagic) {
        std::uint32_t count = big.u32(4);
        if (!big.has(8, std::uint64_t(count) * 20)) return fail(error, notExecutable(url));
        std::optional<platform::Error> firstError;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint64_t offset = big.u32(8 + i * 20 + 8);
            if (offset > file.size() - 8) return fail(error, notExecutable(url));
            platform::Error sliceError;
            VTInfoPlistSearch result = searchMachO(file.subspan(offset), url, section, &sliceError);
            if (result == VTInfoPlistSearch::kFound) return result;
            if (result == VTInfoPlistSearch::kFailed && !firstError) firstError = sliceError;
        }
        if (firstError) return fail(error, *firstError);
        return VTInfoPlistSearch::kNotFound;
    }
    if (std::memcmp(file.data(),
                    "\x7f"
                    "ELF",
                    4) == 0)
        return searchELF(file, url, section, error);
    return searchMachO(file, url, section, error);
}
