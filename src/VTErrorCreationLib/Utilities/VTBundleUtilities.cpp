#include "VTErrorCreationLib/Utilities/VTBundleUtilities.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTExecutableInfo.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"

namespace {

// A string value, or a number's decimal text; nullopt otherwise.
std::optional<std::string> text(const platform::Dictionary& info, std::string_view key) {
    auto it = info.find(key);
    if (it == info.end()) return std::nullopt;
    if (it->second.isString()) return *it->second.asString();
    if (it->second.isNumber()) return it->second.description();
    return std::nullopt;
}

std::optional<std::string> buildNumber(const platform::Dictionary& info) {
    auto build = text(info, "BuildVersion");
    if (!build) build = text(info, "CFBundleVersion");
    if (build && platform::Value(*build).int64Value() != 0) return build;
    return std::nullopt;
}

std::optional<std::string> dottedVersion(const platform::Dictionary& info) {
    auto version = text(info, "CFBundleVersion");
    if (version && version->find('.') != std::string::npos) return version;
    auto source = text(info, "SourceVersion");
    if (source && source->find('.') != std::string::npos) return source;
    return std::nullopt;
}

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') ++i;
        std::size_t start = i;
        while (i < path.size() && path[i] != '/') ++i;
        if (i > start) parts.push_back(path.substr(start, i - start));
    }
    return parts;
}

std::string join(bool absolute, const std::vector<std::string_view>& parts, std::size_t count) {
    std::string out = absolute ? "/" : "";
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> bundlePathFromText(std::string_view path) {
    bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> parts = components(path);
    if (parts.size() < 2) return std::nullopt;  // D is the root folder or empty
    std::size_t d = parts.size() - 1;           // D = the first d components
    std::optional<std::string> result;
    if (d == 1 && !absolute) {
        result = join(absolute, parts, 1);
    } else if (d >= 2 && parts[d - 2] == "Versions") {
        result = join(absolute, parts, d - 2);
    } else {
        std::string_view last = parts[d - 1];
        if (last != "MacOS" && last != "Mac OS X" && last != "MacOSClassic") return std::nullopt;
        std::size_t up = d - 1;  // components above "MacOS"
        if (up > 0 && parts[up - 1] == "Executables") --up;
        if (up == 0 || parts[up - 1] != "Contents") return std::nullopt;
        result = join(absolute, parts, up - 1);
    }
    if (!result || result->empty() || result->size() >= path.size()) return std::nullopt;
    return result;
}

}  // namespace

std::optional<std::string> VTBundleUtilities::bundleVersion(const platform::Dictionary& info) {
    if (auto shortVersion = text(info, "CFBundleShortVersionString")) {
        auto c = VTStringUtilities::versionComponents(*shortVersion);
        if (c && (*c)[3].int64Value() != 0) return shortVersion;
        if (auto build = buildNumber(info)) return *shortVersion + "f" + *build;
        return shortVersion;
    }
    return dottedVersion(info);
}

std::optional<std::string> VTBundleUtilities::bundleVersionAtPath(const std::string& bundlePath) {
    for (const char* relative : {"/Contents/Info.plist", "/Resources/Info.plist", "/Info.plist"}) {
        platform::Data data;
        if (!VTCodingUtilities::readFile(bundlePath + relative, data, nullptr)) continue;
        VTPlistNode node;
        if (!VTReadPlist(data.data(), data.size(), &node, nullptr)) continue;
        platform::Value value = VTValueFromPlistNode(node);
        if (value.isDictionary()) return bundleVersion(*value.asDictionary());
    }
    return std::nullopt;
}

std::optional<std::string> VTBundleUtilities::bundlePathFromExecutablePath(std::string_view path) {
    if (path.empty()) return std::nullopt;
    if (isDirectory(std::string(path))) return std::string(path);
    return bundlePathFromText(path);
}

std::optional<std::string> VTBundleUtilities::bundlePathFromExecutableFileSystemRepresentation(
    const char* path, std::size_t length) {
    if (!path || length == 0) return std::nullopt;
    return bundlePathFromExecutablePath(std::string_view(path, length));
}

std::optional<platform::Dictionary> VTBundleUtilities::infoPlistForURL(const std::string& path,
                                                                       platform::Error* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        platform::setError(error, platform::Error::posix(errno, path));
        if (fd >= 0) ::close(fd);
        return std::nullopt;
    }
    std::size_t size = static_cast<std::size_t>(st.st_size);
    void* mapped = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    ::close(fd);
    std::span<const std::uint8_t> bytes;
    if (mapped != MAP_FAILED) bytes = {static_cast<const std::uint8_t*>(mapped), size};

    std::optional<platform::Dictionary> result;
    std::span<const std::uint8_t> section;
    if (VTFindEmbeddedInfoPlist(bytes, path, &section, error) == VTInfoPlistSearch::kFound) {
        VTPlistNode node;
        if (VTReadPlist(section.data(), section.size(), &node, error)) {
            platform::Value value = VTValueFromPlistNode(node);
            if (value.isDictionary())
                result = *value.asDictionary();
            else
                platform::setError(error, platform::Error(std::string(platform::kCocoaErrorDomain),
                                                          platform::kPropertyListReadCorruptError));
        }
    }
    if (mapped != MAP_FAILED) ::munmap(mapped, size);
    return result;
}

std::optional<std::string> VTBundleUtilities::executableVersion(const platform::Dictionary& info) {
    if (auto shortVersion = text(info, "CFBundleShortVersionString")) {
        auto build = buildNumber(info);
        if (build && !VTStringUtilities::containsStageCharacter(*shortVersion))
            return *shortVersion + "f" + *build;
        return shortVersion;
    }
    if (auto dotted = dottedVersion(info)) return dotted;
    return text(info, "CFBundleVersion");
}

std::optional<std::string> VTBundleUtilities::executableVersionForURL(const std::string& path) {
    auto info = infoPlistForURL(path, nullptr);
    if (!info) return std::nullopt;
    return executableVersion(*info);
}
