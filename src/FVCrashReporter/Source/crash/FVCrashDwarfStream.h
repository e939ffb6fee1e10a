// Reading call-frame data: LEB128 numbers, fixed-size integers through a
// byte order, and a cursor over a byte range inside a checked window.
// Async-signal-safe.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"

/// Unsigned LEB128 at address + offset: at most 10 bytes, the tenth holding
/// only bit 63 (a larger tenth byte is 5, a continuation bit on it 4); 5 when
/// a byte lies outside the window.
fvcrash_status fvcrash_dwarf_read_uleb128(const fvcrash_task_mapping* mapping, uint64_t address,
                                          int64_t offset, uint64_t* value, uint64_t* size);
/// Signed LEB128: bytes while the shift stays below 64 (a continuation bit
/// beyond is 4), sign-extended from bit 6 of the last byte.
fvcrash_status fvcrash_dwarf_read_sleb128(const fvcrash_task_mapping* mapping, uint64_t address,
                                          int64_t offset, int64_t* value, uint64_t* size);
/// The same through a window of up to a page made for the call.
fvcrash_status fvcrash_dwarf_task_read_uleb128(fvcrash_task task, uint64_t address, int64_t offset,
                                               uint64_t* value, uint64_t* size);
fvcrash_status fvcrash_dwarf_task_read_sleb128(fvcrash_task task, uint64_t address, int64_t offset,
                                               int64_t* value, uint64_t* size);
/// An unsigned integer of 1, 2, 4 or 8 bytes (5 for any other size or outside
/// the window).
fvcrash_status fvcrash_dwarf_read_uint(const fvcrash_task_mapping* mapping,
                                       const fvcrash_byte_order* order, uint64_t address,
                                       int64_t offset, uint64_t size, uint64_t* value);

/// A cursor over [start, end) of task addresses, all inside the window.
struct fvcrash_dwarf_opstream {
    const fvcrash_task_mapping* mapping;
    const fvcrash_byte_order* order;
    uint64_t start;
    uint64_t end;
    uint64_t position;
};

/// 5 when address + offset or its end overflows, the length is negative, or
/// the range leaves the window.
fvcrash_status fvcrash_dwarf_opstream_init(fvcrash_dwarf_opstream* stream,
                                           const fvcrash_task_mapping* mapping,
                                           const fvcrash_byte_order* order, uint64_t address,
                                           int64_t offset, int64_t length);
inline bool fvcrash_dwarf_opstream_at_end(const fvcrash_dwarf_opstream* stream) {
    return stream->position >= stream->end;
}
/// Reads advance the cursor; 5 when the value runs past the end.
fvcrash_status fvcrash_dwarf_opstream_read_u8(fvcrash_dwarf_opstream* stream, uint8_t* value);
fvcrash_status fvcrash_dwarf_opstream_read_uint(fvcrash_dwarf_opstream* stream, uint64_t size,
                                                uint64_t* value);
fvcrash_status fvcrash_dwarf_opstream_read_uleb(fvcrash_dwarf_opstream* stream, uint64_t* value);
fvcrash_status fvcrash_dwarf_opstream_read_sleb(fvcrash_dwarf_opstream* stream, int64_t* value);
/// Moves by `delta` bytes; 5 when the target lies outside [start, end].
fvcrash_status fvcrash_dwarf_opstream_skip(fvcrash_dwarf_opstream* stream, int64_t delta);
