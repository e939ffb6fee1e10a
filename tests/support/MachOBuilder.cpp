#include "support/MachOBuilder.h"

#include <algorithm>

namespace testsupport {

using platform::Data;

void put(Data& d, std::size_t offset, std::uint64_t value, unsigned width, bool big) {
    if (d.size() < offset + width) d.resize(offset + width);
    for (unsigned i = 0; i < width; ++i)
        d[offset + i] = static_cast<std::uint8_t>(value >> (8 * (big ? width - 1 - i : i)));
}
void putName(Data& d, std::size_t offset, std::string_view name) {
    if (d.size() < offset + 16) d.resize(offset + 16);
    std::copy(name.begin(), name.end(), d.begin() + static_cast<long>(offset));
}

Data machO(bool is64, const Data& payload, unsigned sections, std::uint64_t sizeOverride) {
    const std::size_t header = is64 ? 32 : 28, segment = is64 ? 72 : 56, section = is64 ? 80 : 68;
    const std::size_t cmdsize = segment + sections * section;
    const std::size_t dataOffset = header + cmdsize;
    Data d(dataOffset, 0);
    put(d, 0, is64 ? 0xFEEDFACF : 0xFEEDFACE, 4);
    put(d, 16, 1, 4);  // ncmds
    put(d, 20, cmdsize, 4);
    put(d, header, is64 ? 25 : 1, 4);
    put(d, header + 4, cmdsize, 4);
    putName(d, header + 8, "__TEXT");
    put(d, header + segment - 8, sections, 4);
    for (unsigned s = 0; s < sections; ++s) {
        std::size_t at = header + segment + s * section;
        putName(d, at, s + 1 == sections ? "__info_plist" : "__text");
        putName(d, at + 16, "__TEXT");
        std::uint64_t size = s + 1 == sections ? (sizeOverride ? sizeOverride : payload.size()) : 0;
        if (is64) {
            put(d, at + 40, size, 8);
            put(d, at + 48, dataOffset, 4);
        } else {
            put(d, at + 36, size, 4);
            put(d, at + 40, dataOffset, 4);
        }
    }
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

Data fat(const std::vector<Data>& slices) {
    Data d;
    put(d, 0, 0xCAFEBABE, 4, true);
    put(d, 4, slices.size(), 4, true);
    std::size_t offset = 8 + 20 * slices.size();
    for (std::size_t i = 0; i < slices.size(); ++i) {
        put(d, 8 + 20 * i + 8, offset, 4, true);
        put(d, 8 + 20 * i + 12, slices[i].size(), 4, true);
        offset += slices[i].size();
    }
    d.resize(8 + 20 * slices.size());
    for (const auto& s : slices) d.insert(d.end(), s.begin(), s.end());
    return d;
}

}  // namespace testsupport
