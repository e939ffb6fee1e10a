// File and folder operations the error-reporting library needs beyond the
// standard library: forced tree removal, a private temporary folder, a copy
// with a size limit, and entry counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/System/SharedFolder.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

// Keys of the copy attributes (Boolean numbers).
inline constexpr std::string_view VTFileCopyAttributePack = "VTFileCopyAttributePack";
inline constexpr std::string_view VTFileCopyAttributeNoFollowDst = "VTFileCopyAttributeNoFollowDst";
inline constexpr std::string_view VTFileCopyAttributeNoFollowSrc = "VTFileCopyAttributeNoFollowSrc";
inline constexpr std::string_view VTFileCopyAttributeTruncate = "VTFileCopyAttributeTruncate";
/// The largest size allowed for a copy (unsigned number).
inline constexpr std::string_view VTFileSizeAttribute = "NSFileSize";
/// The mode given to a copy (number).
inline constexpr std::string_view VTFilePosixPermissionsAttribute = "NSFilePosixPermissions";

struct VTFileManagerUtilities {
    /// Removes the file or folder tree at `path` (see PelRmDir for `force`),
    /// below the folder holding it, by descriptor.
    /// Failures: an empty path (POSIX EINVAL), a missing path
    /// (NSCocoaErrorDomain 4 with the path), or the POSIX error of the
    /// removal for the path.
    static bool removeDirectoryHierarchyAtPath(const std::string& path, bool force,
                                               platform::Error* error);

    /// The process's temporary folder ($TMPDIR, else "/tmp/").
    static std::string temporaryDirectory();
    /// Makes a new folder "vantrel.XXXXXX" (mode 0700) in `parent` (the
    /// temporary folder when nullopt) and returns its path; nullopt with the
    /// POSIX error for the parent on failure.
    static std::optional<std::string> createTemporaryDirectoryAtPath(
        const std::optional<std::string>& parent, platform::Error* error);

    /// Copies the data of the file `source` to `destination`, replacing it.
    /// Attributes: NSFileSize (limit), VTFileCopyAttributeTruncate (copy the
    /// first NSFileSize bytes of a larger file instead of failing),
    /// VTFileCopyAttributeNoFollowSrc/Dst, VTFileCopyAttributePack (copy the
    /// source's extended attributes and ACL onto "._<name>" beside the
    /// copy), NSFilePosixPermissions. Never writes more than the limit.
    /// Failures: POSIX EFAULT for an empty path; NSCocoaErrorDomain 260 for a
    /// missing source or destination folder; VTErrorDomain 5003 when the
    /// source is larger than the limit and truncation is off; the POSIX
    /// error of the failing step otherwise. A failed copy is removed.
    static bool copyItemAtURL(const std::string& source, const std::string& destination,
                              const platform::Dictionary& attributes, platform::Error* error);
    /// The same into the entry `name` of the open folder `folder` (the copy
    /// is never written through a link; NoFollowDst changes nothing).
    static bool copyItemIntoFolder(const std::string& source, const platform::SharedFolder& folder,
                                   const std::string& name, const platform::Dictionary& attributes,
                                   platform::Error* error);

    /// Number of direct entries of the folder, or -1 with the POSIX error.
    static std::int64_t countFilesInDirectory(const std::string& path, platform::Error* error);
};
