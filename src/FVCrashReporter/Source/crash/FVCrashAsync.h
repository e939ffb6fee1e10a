// Building blocks for code that runs while the process is crashing: status
// codes, the buffered output file, checked reads of the process's own memory
// with byte-order conversion, plain memory and string helpers and the thread
// identity.
//
// Everything declared here is async-signal-safe: it allocates nothing, takes
// no lock and calls no stdio. It may run in a signal handler.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

/// The result of every crash-time operation.
enum fvcrash_status : int {
    FVCRASH_ESUCCESS = 0,
    FVCRASH_EUNKNOWN = 1,
    FVCRASH_OUTPUT_ERR = 2,
    FVCRASH_ENOMEM = 3,
    FVCRASH_ENOTSUP = 4,
    FVCRASH_EINVAL = 5,
    FVCRASH_EINTERNAL = 6,
    FVCRASH_EACCESS = 7,
    FVCRASH_ENOTFOUND = 8,
    FVCRASH_EINVALID_DATA = 9,
};

/// The text of a status code; "Unhandled error code" for other numbers.
const char* fvcrash_status_text(int status);

/// The task whose memory is read. Crash capture only ever looks at this
/// process, so the handle carries nothing; it is kept so that readers say
/// whose memory they read. Taking or dropping a reference on it is a no-op.
struct fvcrash_task_opaque;
using fvcrash_task = const fvcrash_task_opaque*;
/// This process.
fvcrash_task fvcrash_task_self();

/// Converters of 16-, 32- and 64-bit values between an image's byte order
/// and the host's.
struct fvcrash_byte_order {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
};
/// Identity converters.
extern const fvcrash_byte_order fvcrash_byte_order_direct;
/// Byte-reversing converters.
extern const fvcrash_byte_order fvcrash_byte_order_swapped;

/// A file written through a 256-byte buffer held inside the object, with an
/// optional limit on the number of bytes it accepts. The first write that
/// does not fit the limit is refused and so is every later write, so a file
/// that hit its limit ends in a clean prefix of what was written.
struct fvcrash_outfile {
    int fd;
    size_t limit;     // 0 = none
    size_t accepted;  // bytes accepted so far
    size_t buffered;  // bytes in the buffer
    bool refused;     // a write was refused; later writes are refused too
    uint8_t buffer[256];
};

void fvcrash_outfile_init(fvcrash_outfile* file, int fd, size_t limit);
/// Appends the bytes. False when the limit refuses them (then and ever after)
/// or when writing the buffer out fails.
bool fvcrash_outfile_write(fvcrash_outfile* file, const void* bytes, size_t length);
/// Writes the buffer out and empties it.
bool fvcrash_outfile_flush(fvcrash_outfile* file);
/// Flushes, then closes the descriptor; false when either fails.
bool fvcrash_outfile_close(fvcrash_outfile* file);

/// Writes every byte, repeating calls interrupted by a signal. Returns the
/// length, or -1 on any other failure.
ssize_t fvcrash_writen(int fd, const void* data, size_t length);

/// address + offset into `result`; false when that overflows.
inline bool fvcrash_address_apply_offset(uint64_t address, int64_t offset, uint64_t* result) {
    uint64_t sum;
    if (offset >= 0) {
        if (__builtin_add_overflow(address, static_cast<uint64_t>(offset), &sum)) return false;
    } else {
        const uint64_t magnitude = static_cast<uint64_t>(-(offset + 1)) + 1;
        if (magnitude > address) return false;
        sum = address - magnitude;
    }
    *result = sum;
    return true;
}

/// Copies `length` bytes at address + offset of the task's memory into
/// `destination`, checking every byte: 0 on success, 3 when address + offset
/// overflows, 8 when a byte lies in no mapping, 7 when it is mapped but not
/// readable. Never faults; leaves errno as it was.
fvcrash_status fvcrash_task_read(fvcrash_task task, uint64_t address, int64_t offset,
                                 void* destination, size_t length);
fvcrash_status fvcrash_task_read_uint8(fvcrash_task task, uint64_t address, int64_t offset,
                                       uint8_t* result);
fvcrash_status fvcrash_task_read_uint16(fvcrash_task task, const fvcrash_byte_order* order,
                                        uint64_t address, int64_t offset, uint16_t* result);
fvcrash_status fvcrash_task_read_uint32(fvcrash_task task, const fvcrash_byte_order* order,
                                        uint64_t address, int64_t offset, uint32_t* result);
fvcrash_status fvcrash_task_read_uint64(fvcrash_task task, const fvcrash_byte_order* order,
                                        uint64_t address, int64_t offset, uint64_t* result);

/// How many bytes from `address` on can be read, in whole pages from the page
/// that holds `address`, up to `length`: the readable prefix of the range.
/// One system call per 128 pages; 0 when the first byte is unreadable.
uint64_t fvcrash_readable_prefix(uint64_t address, uint64_t length);
/// This process's id (a system call).
pid_t fvcrash_own_pid();
/// As fvcrash_readable_prefix for a caller that keeps this process's id
/// (`self`, from fvcrash_own_pid in this same process), which saves a system
/// call per probe.
uint64_t fvcrash_readable_prefix_as(pid_t self, uint64_t address, uint64_t length);
/// The readable prefixes of two ranges, in one system call when both fit
/// one: `*first_readable` as fvcrash_readable_prefix_as gives it. True when
/// `*second_readable` was found too, which needs the first range readable in
/// full; false leaves it unset.
bool fvcrash_readable_prefixes_as(pid_t self, uint64_t first, uint64_t first_length,
                                  uint64_t second, uint64_t second_length, uint64_t* first_readable,
                                  uint64_t* second_readable);

/// Plain memory and string helpers (no library calls, so no instrumented or
/// locked versions sneak in).
void* fvcrash_memcpy(void* destination, const void* source, size_t length);
void* fvcrash_memset(void* destination, uint8_t value, size_t length);
/// As strcmp.
int fvcrash_strcmp(const char* a, const char* b);
/// As strncmp of a NUL-terminated string with a byte run of `length` bytes.
int fvcrash_strncmp(const char* string, const char* bytes, size_t length);
/// As strlen.
size_t fvcrash_strlen(const char* string);

/// The calling thread's kernel thread id (its entry in /proc/self/task).
pid_t fvcrash_current_thread();
