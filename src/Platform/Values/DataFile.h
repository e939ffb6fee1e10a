// Whole-file reads and writes of byte buffers, with the Cocoa file errors.
#pragma once

#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// Reads the whole regular file at `path`. Returns the bytes, or nothing with
/// `error` set to a Cocoa file-read error (260 missing, 257 no permission,
/// 263 too large, 256 otherwise) that names the path.
std::optional<Data> readDataFromFile(const std::string& path, Error* error);

/// Writes `bytes` to `path`. With `atomically` the bytes go to a temporary
/// file in the same folder first, which is flushed and then renamed over the
/// target, so readers see either the old or the whole new file; the new file
/// keeps the mode of the file it replaces (0666 less the umask for a new
/// one). Returns false with `error` set to a Cocoa file-write error (4 missing
/// folder, 513 no permission, 640 no space, 642 read-only, 512 otherwise).
bool writeDataToFile(const Data& bytes, const std::string& path, bool atomically, Error* error);

}  // namespace platform
