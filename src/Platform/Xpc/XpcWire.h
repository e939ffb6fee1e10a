// The wire format of messages between this program and its helpers.
//
// A stream carries frames. Each frame is a fixed 20-byte header followed by a
// payload:
//
//   offset size  field
//   0      4     magic "PXPC"
//   4      1     format version (1)
//   5      1     kind: 1 one-way message, 2 request awaiting a reply, 3 reply
//   6      2     flags, zero
//   8      8     request id (little-endian): 0 for a one-way message, the
//                sender's id for a request, the request's id for a reply
//   16     4     payload size in bytes (little-endian)
//
// The payload is one dictionary in a compact typed encoding: a tag byte, then
// the value. Integers and lengths are LEB128 varints (signed ones zigzagged),
// doubles 8 bytes little-endian, UUIDs 16 bytes, strings, data, arrays and
// dictionaries a varint count followed by their bytes or elements; a
// dictionary entry is a string key (varint length and bytes) and a value.
//
// Decoding is strict and bounded: every length is checked against the bytes
// that remain, varints must be minimal, strings and keys must be valid UTF-8
// without NUL, keys must not repeat, nesting is limited and nothing may follow
// the value. Nothing here throws on bad input; it answers an XpcWireError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "Platform/Xpc/XpcObject.h"

namespace platform {

inline constexpr std::uint8_t kXpcWireVersion = 1;
inline constexpr std::size_t kXpcFrameHeaderSize = 20;

enum class XpcFrameKind : std::uint8_t { Message = 1, Request = 2, Reply = 3 };

/// Bounds applied when encoding and decoding.
struct XpcWireLimits {
    /// Largest frame, header included.
    std::size_t maxFrameSize = 4 * 1024 * 1024;
    /// Deepest nesting of containers; the message dictionary itself is level 1.
    unsigned maxDepth = 32;
};

enum class XpcWireError {
    None,
    BadMagic,
    UnsupportedVersion,
    BadHeader,      // unknown kind, non-zero flags or an id that does not suit the kind
    Oversized,      // the frame is larger than the limit
    Truncated,      // the data ends inside a value or a frame
    TooDeep,        // containers nest beyond the limit
    BadTag,         // unknown type tag, or a boolean byte other than 0 or 1
    BadVarint,      // over-long or overflowing varint
    BadUtf8,        // a string or key that is not UTF-8
    EmbeddedNul,    // a string or key that contains NUL
    DuplicateKey,   // a key that occurs twice in one dictionary
    TrailingBytes,  // bytes after the payload's value
    NotDictionary,  // the payload is not a dictionary
};

/// A short English text for logs, e.g. "truncated frame".
const char* xpcWireErrorDescription(XpcWireError e);

/// True when `text` is valid UTF-8 (no over-long forms, surrogates or code
/// points above U+10FFFF).
bool isValidUtf8(std::string_view text);

/// One decoded frame.
struct XpcFrame {
    XpcFrameKind kind = XpcFrameKind::Message;
    std::uint64_t id = 0;
    XpcObject message;
};

/// Appends the encoding of `value` to `out`. False with `*error` set (when
/// not null) for a string that is not UTF-8 or holds NUL, or for nesting
/// deeper than the limit; `out` is then left as it was.
bool encodeXpcValue(const XpcObject& value, std::vector<std::uint8_t>& out, XpcWireError* error,
                    const XpcWireLimits& limits = {});

/// Decodes exactly one value that fills `bytes`. False with `*error` set on
/// any malformed input.
bool decodeXpcValue(std::span<const std::uint8_t> bytes, XpcObject& out, XpcWireError* error,
                    const XpcWireLimits& limits = {});

/// Appends one whole frame (header and payload) to `out`. The message must be
/// a dictionary. False with `*error` set when it cannot be encoded or the
/// frame would exceed the size limit; `out` is then left as it was.
bool encodeXpcFrame(XpcFrameKind kind, std::uint64_t id, const XpcObject& message,
                    std::vector<std::uint8_t>& out, XpcWireError* error,
                    const XpcWireLimits& limits = {});

/// Rewrites the request id of a frame made by encodeXpcFrame(), so that a
/// frame can be encoded before its id is known.
void setXpcFrameId(std::vector<std::uint8_t>& frame, std::uint64_t id);

/// Cuts a byte stream into frames. Feed it the bytes as they arrive and take
/// frames out with next(). The first malformed frame puts the reader into a
/// failed state that it keeps: a broken stream cannot be resynchronised.
class XpcFrameReader {
  public:
    enum class Status { NeedMore, Frame, Failed };

    explicit XpcFrameReader(const XpcWireLimits& limits = {}) : limits_(limits) {}

    /// Adds received bytes.
    void append(const std::uint8_t* data, std::size_t size);
    /// Takes out the next complete frame. Answers NeedMore when no whole frame
    /// is buffered yet, Failed (with error() set) for a malformed one.
    Status next(XpcFrame& frame);
    /// To be called when the stream ends: a partly received frame is an error
    /// (Truncated). Answers false in that case.
    bool finish();

    XpcWireError error() const { return error_; }
    /// Bytes buffered and not yet taken out as frames.
    std::size_t buffered() const { return buffer_.size() - start_; }

  private:
    Status fail(XpcWireError e);

    XpcWireLimits limits_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    XpcWireError error_ = XpcWireError::None;
};

}  // namespace platform
