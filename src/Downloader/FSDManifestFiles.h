// Bounded whole-file reads for the manifest reader.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "Platform/Values/Value.h"

namespace fsdvalues {

/// The bytes of the regular file at `path`, or nothing when it is missing,
/// unreadable, not a regular file or larger than `limit`.
std::optional<platform::Data> readBoundedFile(const std::string& path, std::size_t limit);

}  // namespace fsdvalues
