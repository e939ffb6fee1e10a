#include "FVCrashReporter/Source/crash/FVCrashDwarfStream.h"

namespace {

// Values stop at the window's end: a LEB128 number is never read past it.
template <typename Fetch>
fvcrash_status readUleb(Fetch fetch, uint64_t* value, uint64_t* size) {
    uint64_t result = 0;
    for (unsigned i = 0; i < 10; ++i) {
        uint8_t byte;
        if (!fetch(i, &byte)) return FVCRASH_EINVAL;
        if (i == 9) {
            if (byte & 0x80) return FVCRASH_ENOTSUP;
            if (byte > 1) return FVCRASH_EINVAL;
        }
        result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) {
            *value = result;
            if (size) *size = i + 1;
            return FVCRASH_ESUCCESS;
        }
    }
    return FVCRASH_ENOTSUP;
}

template <typename Fetch>
fvcrash_status readSleb(Fetch fetch, int64_t* value, uint64_t* size) {
    uint64_t result = 0;
    unsigned shift = 0;
    for (unsigned i = 0;; ++i) {
        if (shift >= 64) return FVCRASH_ENOTSUP;
        uint8_t byte;
        if (!fetch(i, &byte)) return FVCRASH_EINVAL;
        result |= static_cast<uint64_t>(byte & 0x7F) << shift;
        shift += 7;
        if (!(byte & 0x80)) {
            if (shift < 64 && (byte & 0x40)) result |= ~uint64_t{0} << shift;
            *value = static_cast<int64_t>(result);
            if (size) *size = i + 1;
            return FVCRASH_ESUCCESS;
        }
    }
}

/// The bytes of the window from address + offset to its end, or null.
const uint8_t* windowBytes(const fvcrash_task_mapping* mapping, uint64_t address, int64_t offset,
                           uint64_t* available) {
    uint64_t start;
    if (!fvcrash_address_apply_offset(address, offset, &start)) return nullptr;
    *available = fvcrash_task_mapping_run(mapping, start);
    if (*available == 0) return nullptr;
    return static_cast<const uint8_t*>(fvcrash_task_mapping_pointer(mapping, start, 0, 1));
}

}  // namespace

fvcrash_status fvcrash_dwarf_read_uleb128(const fvcrash_task_mapping* mapping, uint64_t address,
                                          int64_t offset, uint64_t* value, uint64_t* size) {
    uint64_t available = 0;
    const uint8_t* bytes = windowBytes(mapping, address, offset, &available);
    if (!bytes) return FVCRASH_EINVAL;
    return readUleb(
        [&](unsigned i, uint8_t* byte) {
            if (i >= available) return false;
            *byte = bytes[i];
            return true;
        },
        value, size);
}

fvcrash_status fvcrash_dwarf_read_sleb128(const fvcrash_task_mapping* mapping, uint64_t address,
                                          int64_t offset, int64_t* value, uint64_t* size) {
    uint64_t available = 0;
    const uint8_t* bytes = windowBytes(mapping, address, offset, &available);
    if (!bytes) return FVCRASH_EINVAL;
    return readSleb(
        [&](unsigned i, uint8_t* byte) {
            if (i >= available) return false;
            *byte = bytes[i];
            return true;
        },
        value, size);
}

fvcrash_status fvcrash_dwarf_task_read_uleb128(fvcrash_task task, uint64_t address, int64_t offset,
                                               uint64_t* value, uint64_t* size) {
    uint64_t start;
    if (!fvcrash_address_apply_offset(address, offset, &start)) return FVCRASH_EINVAL;
    fvcrash_task_mapping mapping;
    fvcrash_status status = fvcrash_task_mapping_init(&mapping, task, start, 4096, false);
    if (status != FVCRASH_ESUCCESS) return status;
    status = fvcrash_dwarf_read_uleb128(&mapping, start, 0, value, size);
    fvcrash_task_mapping_free(&mapping);
    return status;
}

fvcrash_status fvcrash_dwarf_task_read_sleb128(fvcrash_task task, uint64_t address, int64_t offset,
                                               int64_t* value, uint64_t* size) {
    uint64_t start;
    if (!fvcrash_address_apply_offset(address, offset, &start)) return FVCRASH_EINVAL;
    fvcrash_task_mapping mapping;
    fvcrash_status status = fvcrash_task_mapping_init(&mapping, task, start, 4096, false);
    if (status != FVCRASH_ESUCCESS) return status;
    status = fvcrash_dwarf_read_sleb128(&mapping, start, 0, value, size);
    fvcrash_task_mapping_free(&mapping);
    return status;
}

fvcrash_status fvcrash_dwarf_read_uint(const fvcrash_task_mapping* mapping,
                                       const fvcrash_byte_order* order, uint64_t address,
                                       int64_t offset, uint64_t size, uint64_t* value) {
    fvcrash_status status;
    switch (size) {
        case 1: {
            uint8_t v;
            status = fvcrash_task_mapping_read_uint8(mapping, address, offset, &v);
            *value = v;
            break;
        }
        case 2: {
            uint16_t v;
            status = fvcrash_task_mapping_read_uint16(mapping, order, address, offset, &v);
            *value = v;
            break;
        }
        case 4: {
            uint32_t v;
            status = fvcrash_task_mapping_read_uint32(mapping, order, address, offset, &v);
            *value = v;
            break;
        }
        case 8:
            status = fvcrash_task_mapping_read_uint64(mapping, order, address, offset, value);
            break;
        default:
            return FVCRASH_EINVAL;
    }
    return status == FVCRASH_ESUCCESS ? FVCRASH_ESUCCESS : FVCRASH_EINVAL;
}

fvcrash_status fvcrash_dwarf_opstream_init(fvcrash_dwarf_opstream* stream,
                                           const fvcrash_task_mapping* mapping,
                                           const fvcrash_byte_order* order, uint64_t address,
                                           int64_t offset, int64_t length) {
    uint64_t start, end;
    if (length < 0 || !fvcrash_address_apply_offset(address, offset, &start) ||
        __builtin_add_overflow(start, static_cast<uint64_t>(length), &end)) {
        return FVCRASH_EINVAL;
    }
    if (!fvcrash_task_mapping_contains(mapping, start, 0, static_cast<uint64_t>(length))) {
        return FVCRASH_EINVAL;
    }
    *stream = {mapping, order, start, end, start};
    return FVCRASH_ESUCCESS;
}

// The stream's range was checked to lie inside the window when it was made,
// so its bytes are read in place.
namespace {
const uint8_t* streamByte(const fvcrash_dwarf_opstream* stream) {
    return reinterpret_cast<const uint8_t*>(
        static_cast<uintptr_t>(static_cast<int64_t>(stream->position) - stream->mapping->delta));
}
}  // namespace

fvcrash_status fvcrash_dwarf_opstream_read_u8(fvcrash_dwarf_opstream* stream, uint8_t* value) {
    if (stream->position >= stream->end) return FVCRASH_EINVAL;
    *value = *streamByte(stream);
    ++stream->position;
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_dwarf_opstream_read_uint(fvcrash_dwarf_opstream* stream, uint64_t size,
                                                uint64_t* value) {
    if (size > stream->end - stream->position) return FVCRASH_EINVAL;
    const fvcrash_status status =
        fvcrash_dwarf_read_uint(stream->mapping, stream->order, stream->position, 0, size, value);
    if (status == FVCRASH_ESUCCESS) stream->position += size;
    return status;
}

namespace {

// A LEB128 number from the stream's remaining bytes with `decode` (readUleb
// or readSleb); the stream moves past it only when it is whole.
template <typename T, typename Decode>
fvcrash_status opstreamLeb(fvcrash_dwarf_opstream* stream, T* value, Decode decode) {
    const uint64_t available = stream->end - stream->position;
    const uint8_t* bytes = streamByte(stream);
    uint64_t size = 0;
    const fvcrash_status status = decode(
        [&](unsigned i, uint8_t* byte) {
            if (i >= available) return false;
            *byte = bytes[i];
            return true;
        },
        value, &size);
    if (status != FVCRASH_ESUCCESS) return status;
    stream->position += size;
    return FVCRASH_ESUCCESS;
}

}  // namespace

fvcrash_status fvcrash_dwarf_opstream_read_uleb(fvcrash_dwarf_opstream* stream, uint64_t* value) {
    return opstreamLeb(stream, value, [](auto&& next, uint64_t* out, uint64_t* size) {
        return readUleb(next, out, size);
    });
}

fvcrash_status fvcrash_dwarf_opstream_read_sleb(fvcrash_dwarf_opstream* stream, int64_t* value) {
    return opstreamLeb(stream, value, [](auto&& next, int64_t* out, uint64_t* size) {
        return readSleb(next, out, size);
    });
}

fvcrash_status fvcrash_dwarf_opstream_skip(fvcrash_dwarf_opstream* stream, int64_t delta) {
    uint64_t target;
    if (!fvcrash_address_apply_offset(stream->position, delta, &target)) return FVCRASH_EINVAL;
    if (target < stream->start || target > stream->end) return FVCRASH_EINVAL;
    stream->position = target;
    return FVCRASH_ESUCCESS;
}
