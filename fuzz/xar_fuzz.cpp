// Drives the xar reader the way the package check does: open, checksum,
// signatures with their certificates, and the files' archived checksums.
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
    return 0;
}
