#include "Platform/System/UniformTypes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace platform {

namespace {

// Sorted by extension.
constexpr std::array<std::pair<std::string_view, std::string_view>, 32> kTypes = {{
    {"7z", "application/x-7z-compressed"},
    {"bz2", "application/x-bzip2"},
    {"c", "text/plain"},
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"gif", "image/gif"},
    {"gz", "application/x-gzip"},
    {"h", "text/plain"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"log", "text/plain"},
    {"md", "text/markdown"},
    {"pdf", "application/pdf"},
    {"plist", "application/x-plist"},
    {"png", "image/png"},
    {"rtf", "text/rtf"},
    {"sh", "application/x-sh"},
    {"svg", "image/svg+xml"},
    {"tar", "application/x-tar"},
    {"text", "text/plain"},
    {"tgz", "application/x-gzip"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"txt", "text/plain"},
    {"xml", "application/xml"},
    {"xz", "application/x-xz"},
    {"zip", "application/zip"},
    {"zlib", "application/zlib"},
}};
static_assert(std::is_sorted(kTypes.begin(), kTypes.end()));

}  // namespace

std::optional<std::string> preferredMIMETypeForExtension(std::string_view extension) {
    if (extension.empty() || extension.size() > 16) return std::nullopt;
    std::string lower(extension);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto it = std::lower_bound(
        kTypes.begin(), kTypes.end(), lower,
        [](const auto& entry, const std::string& key) { return entry.first < key; });
    if (it == kTypes.end() || it->first != lower) return std::nullopt;
    return std::string(it->second);
}

std::string_view pathExtension(std::string_view path) {
    std::size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

}  // namespace platform
