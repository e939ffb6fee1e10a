// The attributes of a file-system item as a property-list dictionary, with
// the system's attribute keys ("NSFileSize", "NSFileType", ...).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

inline constexpr std::string_view kFileSize = "NSFileSize";  // unsigned number
inline constexpr std::string_view kFileType = "NSFileType";  // one of the types below
inline constexpr std::string_view kFilePosixPermissions = "NSFilePosixPermissions";
inline constexpr std::string_view kFileModificationDate = "NSFileModificationDate";
inline constexpr std::string_view kFileCreationDate = "NSFileCreationDate";
inline constexpr std::string_view kFileReferenceCount = "NSFileReferenceCount";
inline constexpr std::string_view kFileSystemNumber = "NSFileSystemNumber";
inline constexpr std::string_view kFileSystemFileNumber = "NSFileSystemFileNumber";
inline constexpr std::string_view kFileOwnerAccountID = "NSFileOwnerAccountID";
inline constexpr std::string_view kFileGroupOwnerAccountID = "NSFileGroupOwnerAccountID";

inline constexpr std::string_view kFileTypeRegular = "NSFileTypeRegular";
inline constexpr std::string_view kFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr std::string_view kFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr std::string_view kFileTypeSocket = "NSFileTypeSocket";
inline constexpr std::string_view kFileTypeCharacterSpecial = "NSFileTypeCharacterSpecial";
inline constexpr std::string_view kFileTypeBlockSpecial = "NSFileTypeBlockSpecial";
inline constexpr std::string_view kFileTypeUnknown = "NSFileTypeUnknown";

/// The attributes of the item at `path` (a symbolic link itself, not what it
/// points to). The creation date is the birth time where the file system
/// keeps one, else the modification time. Nullopt and the POSIX error for
/// the path when the item cannot be examined.
std::optional<Dictionary> fileAttributesOfItemAtPath(const std::string& path, Error* error);

}  // namespace platform
