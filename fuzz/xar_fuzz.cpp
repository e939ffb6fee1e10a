// Drives the xar reader the way the package check does: open, checksum,
// signatures with their certificates, the files' archived checksums, and
// the files' data as the package installer reads it.
#include <cstddef>
#include <cstdint>

#include "Platform/Security/Crypto.h"
#include "Platform/Security/XarReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto archive = platform::XarArchive::openMemory(data, size);
    if (!archive) return 0;
    archive->verifyTableOfContentsChecksum();
    for (const platform::XarSignature& signature : archive->signatures()) {
        platform::Data checksum, bytes;
        archive->copySignedData(signature, &checksum, &bytes);
        for (const platform::Data& der : signature.certificates)
            if (const auto certificate =
                    platform::Certificate::createWithDER(der.data(), der.size()))
                certificate->commonNames();
    }
    archive->verifyFileChecksums();
    for (const platform::XarFileData& file : archive->files()) {
        std::size_t total = 0;
        archive->copyFileData(file, [&](const std::uint8_t*, std::size_t n) {
            total += n;
            return total < (1u << 24);
        });
    }
    return 0;
}
