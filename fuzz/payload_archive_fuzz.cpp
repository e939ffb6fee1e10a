// Drives the payload archive readers with arbitrary bytes: listing, reading
// every entry's data, and the 7-Zip-only and any-format set-ups.
#include <cstddef>
#include <algorithm>
#include <cstdint>

#include "Platform/System/FileAttributes.h"
#include "VTSubmissionLib/Archive/VTArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::Data bytes(data, data + size);
    for (std::uint64_t flags : {std::uint64_t{0}, std::uint64_t{kVTArchiveFlagAnyFormat}}) {
        // Entries are read whole into memory at their recorded size; a few
        // bytes of LZMA can record gigabytes, so only modest entries are read.
        std::uint64_t largest = 0;
        if (auto reader =
                VTImmutableMemoryArchive::archiveForReadingFromData(bytes, flags, nullptr))
            reader->enumerateEntriesWithBlock(
                [&largest](const char*, const platform::Dictionary& attributes, bool&) {
                    auto it = attributes.find(std::string(platform::kFileSize));
                    if (it != attributes.end() && it->second.isNumber())
                        largest = std::max(largest, it->second.uint64Value());
                });
        if (largest > (std::uint64_t{16} << 20)) continue;
        if (auto reader =
                VTImmutableMemoryArchive::archiveForReadingFromData(bytes, flags, nullptr)) {
            for (int i = 0; i < 64; ++i) {
                std::optional<std::string> path;
                platform::Error error;
                auto entry = reader->dispatchDataForNextEntryWithPath(&path, nullptr, &error);
                if (!entry && (!path || !error.empty())) break;
            }
        }
    }
    return 0;
}
