// Drives the parser of a xar archive's table of contents with arbitrary text.
// Inside an archive the table is compressed and a mutation of it fails the
// decompressor's checksum, so xar_fuzz reaches the parser only with the
// seeds' own tables; here the text is the input. The checksum names and the
// certificates it found go through the reader's own decoders.
#include <cstddef>
#include <cstdint>

#include "Platform/Security/Crypto.h"
#include "Platform/Security/XarToc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::XarToc toc;
    platform::Error error;
    if (!platform::parseXarToc(data, size, &toc, &error)) return 0;
    (void)platform::xarDigestAlgorithmNamed(toc.checksumStyle);
    for (const platform::XarSignature& signature : toc.signatures)
        for (const platform::Data& der : signature.certificates)
            if (const auto certificate =
                    platform::Certificate::createWithDER(der.data(), der.size()))
                certificate->commonNames();
    return 0;
}
