// Drives the payload archive readers with arbitrary bytes: listing, reading
// every entry's data, and the 7-Zip-only and any-format set-ups.
#include <cstddef>
#include <cstdint>

#include "VTSubmissionLib/Archive/VTArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::Data bytes(data, data + size);
    for (std::uint64_t flags : {std::uint64_t{0}, std::uint64_t{kVTArchiveFlagAnyFormat}}) {
        if (auto reader =
                VTImmutableMemoryArchive::archiveForReadingFromData(bytes, flags, nullptr))
            reader->enumerateEntriesWithBlock(
                [](const char*, const platform::Dictionary&, bool&) {});
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
