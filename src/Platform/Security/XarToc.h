// The XML table of contents of a xar archive, reduced to what the archive
// reader needs. Internal to XarReader; exposed for its tests and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Security/XarReader.h"
#include "Platform/Values/Error.h"

namespace platform {

struct XarToc {
    bool hasChecksum = false;
    std::string checksumStyle;
    std::uint64_t checksumOffset = 0;
    std::uint64_t checksumSize = 0;
    std::vector<XarSignature> signatures;
    std::vector<XarFileData> files;
};

/// Parses the inflated table of contents. The parser reaches no network,
/// loads no external DTD and expands no entity; a document that declares a
/// DTD of its own is refused. False with `error` (kXarErrorTOC) when the text
/// is not a xar table of contents or a number in it is malformed.
bool parseXarToc(const std::uint8_t* xml, std::size_t length, XarToc* toc, Error* error);

/// The digest algorithm of a checksum style name ("sha1", "SHA256", ...);
/// nullopt for "none" and for names not known.
std::optional<DigestAlgorithm> xarDigestAlgorithmNamed(std::string_view name);

/// Decodes Base64 text made of the standard alphabet, white space and at
/// most two "=" of padding at the end. False for anything else.
bool xarDecodeBase64(std::string_view text, Data* out);

}  // namespace platform
