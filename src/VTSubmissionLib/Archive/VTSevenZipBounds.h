// Bounds on what a 7-Zip archive may ask of its reader, checked on the
// archive's own header before libarchive reads it.
//
// libarchive sizes its tables by the counts a header declares (pack streams,
// folders, substreams, files) and trusts the sizes it declares: a header of a
// few bytes can ask for gigabytes of memory, hours of work, or a gigabyte of
// zeros from 150 KB. The check below walks the header (decoding an encoded
// header itself, within the same bounds) and refuses anything past the
// limits, so that libarchive is only ever handed archives of modest demands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vtsevenzip {

/// At most this many entries (files, substreams, folders, pack streams).
inline constexpr std::uint64_t kMaxEntries = 100000;
/// At most this many header bytes, before and after decoding.
inline constexpr std::uint64_t kMaxHeaderBytes = std::uint64_t{64} << 20;
/// Declared unpacked bytes of the whole archive: at most kUnpackedFactor
/// times the archive's size (never less than kMinUnpackedAllowance), and
/// never more than kMaxUnpackedBytes.
inline constexpr std::uint64_t kMaxUnpackedBytes = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kUnpackedFactor = 1024;
inline constexpr std::uint64_t kMinUnpackedAllowance = std::uint64_t{16} << 20;
/// At most this much decoder memory (LZMA and LZMA2 dictionaries, PPMd
/// model) per coder.
inline constexpr std::uint64_t kMaxCoderMemory = std::uint64_t{256} << 20;
/// At most this many coders per folder, and streams per coder.
inline constexpr std::uint64_t kMaxCoders = 4;
inline constexpr std::uint64_t kMaxCoderStreams = 4;

/// The unpacked bytes allowed for an archive of `archiveSize` bytes.
std::uint64_t unpackedAllowance(std::uint64_t archiveSize);

enum class Verdict {
    NotSevenZip,  // no 7-Zip signature at the start (and no self-extracting 7-Zip)
    Acceptable,   // a 7-Zip archive within every bound
    Refused,      // a 7-Zip archive past a bound, damaged, or of a kind not read
};

/// Reads `length` bytes at `offset` of the archive into `out`; false when
/// they cannot all be read.
using Source = std::function<bool(std::uint64_t offset, std::size_t length, std::uint8_t* out)>;

/// Checks the archive of `size` bytes read through `read`. On Refused,
/// `reason` (when given) says why. A program that starts like an executable
/// ("MZ" or ELF) and holds the 7-Zip signature is a self-extracting archive,
/// which libarchive would read past its stub: it is refused.
Verdict checkArchive(const Source& read, std::uint64_t size, std::string* reason);

}  // namespace vtsevenzip
