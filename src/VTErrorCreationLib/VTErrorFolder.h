// File-system steps of the error folder life cycle.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "Platform/Values/Error.h"

namespace vtfolder {

/// Whether something exists at `path` (a dangling link counts).
bool exists(const std::string& path);
/// Whether a folder can be reached at `path`; otherwise false with
/// NSCocoaErrorDomain 260 (or the POSIX error) for the path.
bool checkReachable(const std::string& path, platform::Error* error);

std::string parentOf(std::string_view path);
std::string join(std::string_view folder, std::string_view name);

/// Creates the folder (and, with `intermediates`, the missing folders above
/// it) and gives each folder it creates exactly `mode`. False with the
/// file-system error.
bool makeFolder(const std::string& path, mode_t mode, bool intermediates, platform::Error* error);

/// Moves a file or folder tree; across file systems by copying and then
/// deleting the original. False with the file-system error (a partial copy
/// is removed).
bool moveItem(const std::string& from, const std::string& to, platform::Error* error);

/// Whether `name` may name a file inside an error folder: one path
/// component, not "." or "..", and not one of the error's own files.
bool isValidDetailIdentifier(std::string_view name);

}  // namespace vtfolder
