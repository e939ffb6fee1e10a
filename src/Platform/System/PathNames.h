// Small text helpers for file names and paths: no file-system access.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// The parts of `path` between its slashes, without empty and "." parts
/// ("/a//./b/" -> {"a", "b"}); ".." parts are kept.
std::vector<std::string> pathParts(std::string_view path);

/// Whether `name` is one plain entry name: not empty, not "." or "..", and
/// free of "/" and NUL.
bool isPlainFileName(std::string_view name);

/// `folder` + "/" + `name`, with no second "/" where `folder` already ends
/// in one ("" + "x" -> "/x").
std::string pathInFolder(std::string_view folder, std::string_view name);

}  // namespace platform
