// File-manager operations under the path utilities: copying and removing
// items with the file manager's semantics and its errors (Cocoa domain codes
// with the POSIX error underneath and the path under kFilePathErrorKey).
#pragma once

#include <string>

#include "Platform/Values/Error.h"

namespace pelfile {

/// Which side of an operation failed; picks the read or write Cocoa code.
enum class Side { Read, Write };

/// The file manager's error for `errnum` on `path`.
platform::Error fileError(int errnum, const std::string& path, Side side);

/// Copies a file, symbolic link (as a link) or folder (with its contents) to
/// `to`, keeping permission bits and modification times. `to` must not exist
/// (kFileWriteFileExistsError otherwise), and a folder cannot be copied into
/// itself. On failure nothing is left at `to` and `error` is filled.
bool copyItem(const std::string& from, const std::string& to, platform::Error* error);

/// Removes a file, link or folder with its contents (links are not followed).
/// A missing item is an error (kFileNoSuchFileError).
bool removeItem(const std::string& path, platform::Error* error);

/// The last path component, trailing slashes ignored ("/a/b/" -> "b", "/" -> "/").
std::string lastPathComponent(const std::string& path);

}  // namespace pelfile
