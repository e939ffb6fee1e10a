// The operating system's release file ("/etc/os-release", or
// "/usr/lib/os-release" where the first is missing).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// The value of `key` in os-release text: "KEY=value" lines, the value
/// optionally in double quotes (with backslash escapes) or single quotes.
/// Nothing when the key is absent.
std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key);

/// The value of `key` in the system's release file, read through the path
/// root; nothing when no release file holds the key.
std::optional<std::string> systemReleaseValue(std::string_view key);

}  // namespace platform
