// The uniform type table's answer to "which MIME type does a file-name
// extension have", for the common types of files attached to reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// The preferred MIME type of a file-name extension (without the dot, any
/// case), e.g. "txt" -> "text/plain"; nullopt for an unknown extension.
std::optional<std::string> preferredMIMETypeForExtension(std::string_view extension);

/// The extension of the last component of `path` ("" when it has none; a
/// leading dot does not start an extension).
std::string_view pathExtension(std::string_view path);

}  // namespace platform
