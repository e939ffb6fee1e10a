#include "Platform/System/FileAttributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

namespace platform {

namespace {

Date dateOf(std::int64_t seconds, std::uint32_t nanoseconds) {
    return Date{static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9};
}

std::string_view typeOf(mode_t mode) {
    if (S_ISREG(mode)) return kFileTypeRegular;
    if (S_ISDIR(mode)) return kFileTypeDirectory;
    if (S_ISLNK(mode)) return kFileTypeSymbolicLink;
    if (S_ISSOCK(mode)) return kFileTypeSocket;
    if (S_ISCHR(mode)) return kFileTypeCharacterSpecial;
    if (S_ISBLK(mode)) return kFileTypeBlockSpecial;
    return kFileTypeUnknown;
}

}  // namespace

std::optional<Dictionary> fileAttributesOfItemAtPath(const std::string& path, Error* error) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                &st) != 0) {
        setError(error, Error::posix(errno, path));
        return std::nullopt;
    }
    Dictionary attributes;
    attributes.emplace(kFileSize, Value(static_cast<std::uint64_t>(st.stx_size)));
    attributes.emplace(kFileType, Value(typeOf(st.stx_mode)));
    attributes.emplace(kFilePosixPermissions,
                       Value(static_cast<std::uint64_t>(st.stx_mode & 07777)));
    Date modified = dateOf(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
    attributes.emplace(kFileModificationDate, Value(modified));
    attributes.emplace(
        kFileCreationDate,
        Value((st.stx_mask & STATX_BTIME) ? dateOf(st.stx_btime.tv_sec, st.stx_btime.tv_nsec)
                                          : modified));
    attributes.emplace(kFileReferenceCount, Value(static_cast<std::uint64_t>(st.stx_nlink)));
    attributes.emplace(
        kFileSystemNumber,
        Value(static_cast<std::uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor))));
    attributes.emplace(kFileSystemFileNumber, Value(static_cast<std::uint64_t>(st.stx_ino)));
    attributes.emplace(kFileOwnerAccountID, Value(static_cast<std::uint64_t>(st.stx_uid)));
    attributes.emplace(kFileGroupOwnerAccountID, Value(static_cast<std::uint64_t>(st.stx_gid)));
    return attributes;
}

}  // namespace platform
