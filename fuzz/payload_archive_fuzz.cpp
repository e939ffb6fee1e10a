// Drives the payload archive readers with arbitrary bytes: the memory reader
// (7-Zip only, and any format) listing and reading every entry's data, and
// the file reader (as payloads are unpacked) listing the entries. The
// readers' own bounds keep a few bytes from asking for gigabytes, so every
// input is read in full. A 7-Zip input gets its start-header and
// next-header CRCs made right first (SevenZipCrc.h), so that mutated headers
// reach the header check and libarchive.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "SevenZipCrc.h"
#include "VTSubmissionLib/Archive/VTArchive.h"

namespace {

void readMemory(const platform::Data& bytes, std::uint64_t flags) {
    if (auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, flags, nullptr))
        reader->enumerateEntriesWithBlock({});
    if (auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, flags, nullptr)) {
        for (;;) {
            std::optional<std::string> path;
            platform::Error error;
            auto entry = reader->dispatchDataForNextEntryWithPath(&path, nullptr, &error);
            if (!entry && (!path || !error.empty())) break;
        }
    }
}

void readFile(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("payload-fuzz", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) return;
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (auto reader = VTImmutableFileArchive::archiveWithSource(path, 0, nullptr))
        reader->enumerateEntriesWithBlock({});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::Data bytes(data, data + size);
    fuzz7z::repairCrcs(bytes.data(), bytes.size());
    readMemory(bytes, 0);
    readMemory(bytes, kVTArchiveFlagAnyFormat);
    readFile(bytes.data(), bytes.size());
    return 0;
}
