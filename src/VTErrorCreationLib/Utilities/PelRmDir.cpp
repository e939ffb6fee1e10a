#include "VTErrorCreationLib/Utilities/PelRmDir.h"

#include <fcntl.h>
#include <fts.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Clears the immutable inode flag (the counterpart of UF_IMMUTABLE). Only
// regular files and folders can be opened for the flags ioctl.
void clearImmutable(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
        flags &= ~FS_IMMUTABLE_FL;
        (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

}  // namespace

extern "C" int PelRmDir(const char* path, bool force) {
    if (!path) return EINVAL;
    char* paths[] = {const_cast<char*>(path), nullptr};
    FTS* tree = ::fts_open(paths, FTS_NOCHDIR | FTS_PHYSICAL | FTS_XDEV, nullptr);
    if (!tree) return errno;
    int result = 0;
    for (;;) {
        // fts_read returns null both at the end and on failure; errno tells.
        errno = 0;
        FTSENT* entry = ::fts_read(tree);
        if (!entry) {
            result = errno;
            break;
        }
        switch (entry->fts_info) {
            case FTS_D:
                // A locked folder's entries cannot be unlinked until it is unlocked.
                if (force) clearImmutable(entry->fts_accpath);
                break;
            case FTS_DP:
            case FTS_DNR:
                if (force && entry->fts_info == FTS_DNR) clearImmutable(entry->fts_accpath);
                if (::rmdir(entry->fts_accpath) != 0) result = errno;
                break;
            case FTS_F:
                if (force) clearImmutable(entry->fts_accpath);
                if (::unlink(entry->fts_accpath) != 0) result = errno;
                break;
            case FTS_SL:
            case FTS_SLNONE:
            case FTS_DEFAULT:
                // Links, FIFOs, sockets and device nodes: left behind, they
                // would keep their folder from ever being removed.
                if (::unlink(entry->fts_accpath) != 0) result = errno;
                break;
            case FTS_ERR:
                result = entry->fts_errno;
                break;
            default:
                break;
        }
        if (result != 0) break;
    }
    ::fts_close(tree);
    return result;
}
