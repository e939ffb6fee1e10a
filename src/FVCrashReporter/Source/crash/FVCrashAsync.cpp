#include "FVCrashReporter/Source/crash/FVCrashAsync.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr uint64_t kPageSize = 4096;
constexpr uint64_t kPageMask = kPageSize - 1;
// Remote vectors per process_vm_readv call when probing pages (kept small:
// this may run on a signal stack).
constexpr size_t kProbeVectors = 128;

struct fvcrash_task_self_marker {};
const fvcrash_task_self_marker gSelf{};

uint16_t direct16(uint16_t v) { return v; }
uint32_t direct32(uint32_t v) { return v; }
uint64_t direct64(uint64_t v) { return v; }
uint16_t swapped16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t swapped32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t swapped64(uint64_t v) { return __builtin_bswap64(v); }

pid_t ownPid() { return static_cast<pid_t>(syscall(SYS_getpid)); }

// Copies by process_vm_readv on this process; the kernel checks every page.
// Returns the bytes copied, or -1 with errno.
ssize_t vmRead(uint64_t address, void* destination, size_t length) {
    iovec local{destination, length};
    iovec remote{reinterpret_cast<void*>(address), length};
    return syscall(SYS_process_vm_readv, ownPid(), &local, 1UL, &remote, 1UL, 0UL);
}

// The same through a pipe, for processes whose seccomp filter refuses
// process_vm_readv: write() of unreadable bytes fails with EFAULT as well.
ssize_t pipeRead(uint64_t address, void* destination, size_t length) {
    int fds[2];
    if (syscall(SYS_pipe2, fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    size_t done = 0;
    int failure = 0;
    while (done < length) {
        size_t chunk = length - done < kPageSize ? length - done : kPageSize;
        ssize_t written =
            syscall(SYS_write, fds[1], reinterpret_cast<void*>(address + done), chunk);
        if (written < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        ssize_t got = 0;
        while (got < written) {
            ssize_t n = syscall(SYS_read, fds[0], static_cast<uint8_t*>(destination) + done + got,
                                static_cast<size_t>(written - got));
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                failure = n < 0 ? errno : EIO;
                break;
            }
            got += n;
        }
        if (failure) break;
        done += static_cast<size_t>(written);
    }
    syscall(SYS_close, fds[0]);
    syscall(SYS_close, fds[1]);
    if (done == 0 && failure) {
        errno = failure;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

bool gUsePipe = false;  // set once process_vm_readv was refused

// Keeps errno as the interrupted code left it: these reads run in signal
// handlers.
struct SavedErrno {
    int value = errno;
    ~SavedErrno() { errno = value; }
};

ssize_t checkedCopy(uint64_t address, void* destination, size_t length) {
    if (!__atomic_load_n(&gUsePipe, __ATOMIC_RELAXED)) {
        ssize_t n = vmRead(address, destination, length);
        if (n >= 0 || (errno != ENOSYS && errno != EPERM)) return n;
        __atomic_store_n(&gUsePipe, true, __ATOMIC_RELAXED);
    }
    return pipeRead(address, destination, length);
}

// Why the page range from `address` cannot be read in full: 8 for the first
// page that lies in no mapping, 7 for the first mapped page that cannot be
// read.
fvcrash_status classify(uint64_t address, uint64_t length) {
    uint64_t page = address & ~kPageMask;
    const uint64_t end = address + length;
    for (; page < end || page == (address & ~kPageMask); page += kPageSize) {
        unsigned char residency;
        if (syscall(SYS_mincore, reinterpret_cast<void*>(page), kPageSize, &residency) != 0)
            return errno == ENOMEM ? FVCRASH_ENOTFOUND : FVCRASH_EUNKNOWN;
        uint8_t probe;
        if (checkedCopy(page, &probe, 1) != 1) return FVCRASH_EACCESS;
        if (page + kPageSize < page) break;
    }
    return FVCRASH_EUNKNOWN;
}

}  // namespace

const char* fvcrash_status_text(int status) {
    switch (status) {
        case FVCRASH_ESUCCESS:
            return "No error";
        case FVCRASH_EUNKNOWN:
            return "Unknown error";
        case FVCRASH_OUTPUT_ERR:
            return "Output file can not be opened (or written to)";
        case FVCRASH_ENOMEM:
            return "No memory available";
        case FVCRASH_ENOTSUP:
            return "Operation not supported";
        case FVCRASH_EINVAL:
            return "Invalid argument";
        case FVCRASH_EINTERNAL:
            return "Internal error";
        case FVCRASH_EACCESS:
            return "Access denied";
        case FVCRASH_ENOTFOUND:
            return "Not found";
        case FVCRASH_EINVALID_DATA:
            return "The input data is in an unknown or invalid format.";
        default:
            return "Unhandled error code";
    }
}

fvcrash_task fvcrash_task_self() { return reinterpret_cast<fvcrash_task>(&gSelf); }

const fvcrash_byte_order fvcrash_byte_order_direct = {direct16, direct32, direct64};
const fvcrash_byte_order fvcrash_byte_order_swapped = {swapped16, swapped32, swapped64};

void fvcrash_outfile_init(fvcrash_outfile* file, int fd, size_t limit) {
    file->fd = fd;
    file->limit = limit;
    file->accepted = 0;
    file->buffered = 0;
    file->refused = false;
}

bool fvcrash_outfile_write(fvcrash_outfile* file, const void* bytes, size_t length) {
    if (file->refused) return false;
    if (file->limit != 0 && (length > file->limit || file->accepted > file->limit - length)) {
        file->refused = true;
        return false;
    }
    file->accepted += length;
    if (file->buffered + length > sizeof file->buffer) {
        if (!fvcrash_outfile_flush(file)) return false;
    }
    if (length > sizeof file->buffer)
        return fvcrash_writen(file->fd, bytes, length) == static_cast<ssize_t>(length);
    fvcrash_memcpy(file->buffer + file->buffered, bytes, length);
    file->buffered += length;
    return true;
}

bool fvcrash_outfile_flush(fvcrash_outfile* file) {
    if (file->buffered == 0) return true;
    ssize_t written = fvcrash_writen(file->fd, file->buffer, file->buffered);
    bool ok = written == static_cast<ssize_t>(file->buffered);
    file->buffered = 0;
    return ok;
}

bool fvcrash_outfile_close(fvcrash_outfile* file) {
    bool flushed = fvcrash_outfile_flush(file);
    bool closed = syscall(SYS_close, file->fd) == 0;
    return flushed && closed;
}

ssize_t fvcrash_writen(int fd, const void* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = syscall(SYS_write, fd, static_cast<const uint8_t*>(data) + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

fvcrash_status fvcrash_task_read(fvcrash_task, uint64_t address, int64_t offset, void* destination,
                                 size_t length) {
    SavedErrno saved;
    uint64_t start;
    if (!fvcrash_address_apply_offset(address, offset, &start)) return FVCRASH_ENOMEM;
    if (length == 0) return FVCRASH_ESUCCESS;
    size_t done = 0;
    while (done < length) {
        ssize_t n =
            checkedCopy(start + done, static_cast<uint8_t*>(destination) + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EFAULT) return FVCRASH_EUNKNOWN;
        return classify(start + done, length - done);
    }
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_task_read_uint8(fvcrash_task task, uint64_t address, int64_t offset,
                                       uint8_t* result) {
    return fvcrash_task_read(task, address, offset, result, 1);
}

fvcrash_status fvcrash_task_read_uint16(fvcrash_task task, const fvcrash_byte_order* order,
                                        uint64_t address, int64_t offset, uint16_t* result) {
    uint16_t raw;
    fvcrash_status status = fvcrash_task_read(task, address, offset, &raw, sizeof raw);
    if (status == FVCRASH_ESUCCESS) *result = order->swap16(raw);
    return status;
}

fvcrash_status fvcrash_task_read_uint32(fvcrash_task task, const fvcrash_byte_order* order,
                                        uint64_t address, int64_t offset, uint32_t* result) {
    uint32_t raw;
    fvcrash_status status = fvcrash_task_read(task, address, offset, &raw, sizeof raw);
    if (status == FVCRASH_ESUCCESS) *result = order->swap32(raw);
    return status;
}

fvcrash_status fvcrash_task_read_uint64(fvcrash_task task, const fvcrash_byte_order* order,
                                        uint64_t address, int64_t offset, uint64_t* result) {
    uint64_t raw;
    fvcrash_status status = fvcrash_task_read(task, address, offset, &raw, sizeof raw);
    if (status == FVCRASH_ESUCCESS) *result = order->swap64(raw);
    return status;
}

pid_t fvcrash_own_pid() { return ownPid(); }

namespace {

/// The pages a probe of [address, address + length) takes, and the prefix
/// that `readablePages` of them make.
uint64_t pageCount(uint64_t address, uint64_t length) {
    const uint64_t first = address & ~kPageMask;
    uint64_t end;
    if (__builtin_add_overflow(address, length, &end)) end = ~uint64_t(0) & ~kPageMask;
    return (end - first + kPageMask) / kPageSize;
}

uint64_t prefixOf(uint64_t address, uint64_t length, uint64_t readablePages) {
    const uint64_t readableEnd = (address & ~kPageMask) + readablePages * kPageSize;
    if (readableEnd <= address) return 0;
    return readableEnd - address < length ? readableEnd - address : length;
}

}  // namespace

uint64_t fvcrash_readable_prefix(uint64_t address, uint64_t length) {
    return fvcrash_readable_prefix_as(ownPid(), address, length);
}

uint64_t fvcrash_readable_prefix_as(pid_t self, uint64_t address, uint64_t length) {
    if (length == 0) return 0;
    SavedErrno saved;
    const uint64_t first = address & ~kPageMask;
    const uint64_t pages = pageCount(address, length);
    uint64_t readablePages = 0;
    while (readablePages < pages) {
        if (__atomic_load_n(&gUsePipe, __ATOMIC_RELAXED)) {
            // No process_vm_readv: probe page by page through the pipe.
            uint8_t probe;
            if (checkedCopy(first + readablePages * kPageSize, &probe, 1) != 1) break;
            ++readablePages;
            continue;
        }
        iovec remote[kProbeVectors];
        uint8_t sink[kProbeVectors];
        size_t count = 0;
        for (; count < kProbeVectors && readablePages + count < pages; ++count)
            remote[count] = {reinterpret_cast<void*>(first + (readablePages + count) * kPageSize),
                             1};
        iovec local{sink, count};
        ssize_t n = syscall(SYS_process_vm_readv, self, &local, 1UL, remote, count, 0UL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS || errno == EPERM) {
                __atomic_store_n(&gUsePipe, true, __ATOMIC_RELAXED);
                continue;
            }
            break;
        }
        readablePages += static_cast<uint64_t>(n);
        if (static_cast<size_t>(n) < count) break;
    }
    return prefixOf(address, length, readablePages);
}

bool fvcrash_readable_prefixes_as(pid_t self, uint64_t first, uint64_t first_length,
                                  uint64_t second, uint64_t second_length, uint64_t* first_readable,
                                  uint64_t* second_readable) {
    const uint64_t firstPages = first_length ? pageCount(first, first_length) : 0;
    const uint64_t secondPages = second_length ? pageCount(second, second_length) : 0;
    if (firstPages == 0 || secondPages == 0 || firstPages + secondPages > kProbeVectors ||
        __atomic_load_n(&gUsePipe, __ATOMIC_RELAXED)) {
        *first_readable = fvcrash_readable_prefix_as(self, first, first_length);
        return false;
    }
    SavedErrno saved;
    iovec remote[kProbeVectors];
    uint8_t sink[kProbeVectors];
    size_t count = 0;
    for (uint64_t i = 0; i < firstPages; ++i)
        remote[count++] = {reinterpret_cast<void*>((first & ~kPageMask) + i * kPageSize), 1};
    for (uint64_t i = 0; i < secondPages; ++i)
        remote[count++] = {reinterpret_cast<void*>((second & ~kPageMask) + i * kPageSize), 1};
    iovec local{sink, count};
    ssize_t n;
    do {
        n = syscall(SYS_process_vm_readv, self, &local, 1UL, remote, count, 0UL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // Refused (then the pipe takes over) or the first page unreadable.
        *first_readable = fvcrash_readable_prefix_as(self, first, first_length);
        return false;
    }
    const uint64_t done = static_cast<uint64_t>(n);
    *first_readable = prefixOf(first, first_length, done < firstPages ? done : firstPages);
    if (done < firstPages) return false;
    *second_readable = prefixOf(second, second_length, done - firstPages);
    return true;
}

// Word at a time; the empty asm keeps the compiler from turning the loops
// into calls of the library's memcpy and memset.
void* fvcrash_memcpy(void* destination, const void* source, size_t length) {
    auto* d = static_cast<uint8_t*>(destination);
    auto* s = static_cast<const uint8_t*>(source);
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        __builtin_memcpy(&word, s + i, 8);
        __builtin_memcpy(d + i, &word, 8);
        asm volatile("" ::: "memory");
    }
    for (; i < length; ++i) {
        d[i] = s[i];
        asm volatile("" ::: "memory");
    }
    return destination;
}

void* fvcrash_memset(void* destination, uint8_t value, size_t length) {
    auto* d = static_cast<uint8_t*>(destination);
    const uint64_t word = 0x0101010101010101ull * value;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        __builtin_memcpy(d + i, &word, 8);
        asm volatile("" ::: "memory");
    }
    for (; i < length; ++i) {
        d[i] = value;
        asm volatile("" ::: "memory");
    }
    return destination;
}

int fvcrash_strcmp(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return static_cast<int>(static_cast<unsigned char>(*a)) -
           static_cast<int>(static_cast<unsigned char>(*b));
}

int fvcrash_strncmp(const char* string, const char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char a = static_cast<unsigned char>(string[i]);
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (a != b) return static_cast<int>(a) - static_cast<int>(b);
        if (a == 0) return 0;
    }
    return 0;
}

size_t fvcrash_strlen(const char* string) {
    size_t n = 0;
    while (string[n]) ++n;
    return n;
}

pid_t fvcrash_current_thread() { return static_cast<pid_t>(syscall(SYS_gettid)); }
