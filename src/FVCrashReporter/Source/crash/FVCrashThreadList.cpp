#include "FVCrashReporter/Source/crash/FVCrashThreadList.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The kernel's record of getdents64.
struct DirectoryEntry {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

}  // namespace

fvcrash_status fvcrash_thread_list_read(fvcrash_thread_list* list) {
    const int savedErrno = errno;  // may run in a signal handler
    list->count = 0;
    list->truncated = false;
    int fd = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) {
        errno = savedErrno;
        return FVCRASH_OUTPUT_ERR;
    }
    alignas(8) char buffer[2048];
    fvcrash_status status = FVCRASH_ESUCCESS;
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            status = FVCRASH_EUNKNOWN;
            break;
        }
        if (n == 0) break;
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer + at);
            if (entry->d_reclen == 0) break;
            at += entry->d_reclen;
            long id = 0;
            const char* c = entry->d_name;
            if (*c < '0' || *c > '9') continue;  // "." and ".."
            for (; *c >= '0' && *c <= '9'; ++c) id = id * 10 + (*c - '0');
            if (list->count < FVCRASH_THREAD_LIST_CAPACITY) {
                list->threads[list->count++] = static_cast<pid_t>(id);
            } else {
                list->truncated = true;
            }
        }
    }
    syscall(SYS_close, fd);
    errno = savedErrno;
    return status;
}
