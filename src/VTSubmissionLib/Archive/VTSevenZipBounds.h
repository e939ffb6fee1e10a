// Bounds on what a 7-Zip archive may ask of its reader, checked on the
// archive's own header before libarchive reads it.
//
// libarchive sizes its tables by the counts a header declares (pack streams,
// folders, substreams, files) and trusts the sizes it declares: a header of a
// few bytes can ask for gigabytes of memory or hours of work. The check below
// walks the header (decoding an encoded header itself, within the same
// bounds) and refuses anything past the limits, so that libarchive is only
// ever handed archives of modest demands.
//
// How far compressed data may expand is not judged here: repetitive logs
// pack far beyond any ratio a bomb could be told apart by. libarchive
// produces no more than the sizes declared, which are bounded, and the
// readers (VTArchive.h) count what is really produced.
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
/// Declared unpacked bytes of the whole archive: at most this many, and a
/// stored (copy) folder no more than it packs.
inline constexpr std::uint64_t kMaxUnpackedBytes = std::uint64_t{1} << 30;
/// At most this much decoder memory (LZMA and LZMA2 dictionaries, PPMd
/// model) per coder.
inline constexpr std::uint64_t kMaxCoderMemory = std::uint64_t{256} << 20;
/// At most this many coders per folder, and streams per coder.
inline constexpr std::uint64_t kMaxCoders = 4;
inline constexpr std::uint64_t kMaxCoderStreams = 4;

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
