// Writes xar archives for development packages and test fixtures: files
// stored uncompressed in the heap with their archived checksums, a table of
// contents checksum and, optionally, an RSA signature with its certificates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pelsign/DevSigning.h"

namespace devsign {

struct XarEntry {
    std::string name;
    Data contents;
};

struct XarSigning {
    const PrivateKey* key = nullptr;  // the leaf's key
    std::vector<Data> certificates;   // leaf first, DER
};

struct XarOptions {
    std::vector<XarEntry> files;
    /// "none", "sha1", "md5" or any other name, written with algorithm 3.
    std::string checksumName = "sha1";
    std::optional<XarSigning> signing;
};

/// Builds the archive in memory.
Data buildXar(const XarOptions& options);

/// The parts of an archive, for tests that write inconsistent ones.
struct XarLayout {
    std::string tocXml;
    Data heap;
    std::string checksumName = "sha1";
    /// When set, written into the header in place of the true values.
    std::optional<std::uint64_t> compressedLengthOverride;
    std::optional<std::uint64_t> uncompressedLengthOverride;
};

/// zlib-compresses the table of contents and writes header, table of
/// contents and heap.
Data assembleXar(const XarLayout& layout);

/// The table of contents and heap that buildXar() would write, before
/// assembly (the signature, when asked for, cannot be known before the
/// compressed table of contents is; it is left zero here).
XarLayout layoutXar(const XarOptions& options);

}  // namespace devsign
