#include "Downloader/FSDFileNames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Downloader/FSDManifestValues.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/PathNames.h"
#include "Platform/System/SharedFolder.h"

namespace {

// The path of a URL: after "scheme://authority", before "?" or "#".
std::string_view urlPath(std::string_view url) {
    auto end = url.find_first_of("?#");
    if (end != std::string_view::npos) url = url.substr(0, end);
    auto scheme = url.find("://");
    if (scheme == std::string_view::npos) return url;
    auto slash = url.find('/', scheme + 3);
    return slash == std::string_view::npos ? std::string_view() : url.substr(slash);
}

}  // namespace

std::optional<std::string> fsdFileNameForURL(std::string_view url) {
    std::string_view path = urlPath(url);
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto name = fsdvalues::removingPercentEscapes(last);
    if (!name || !platform::isPlainFileName(*name)) return std::nullopt;
    return name;
}

std::string fsdTargetPath(std::string_view folder, std::string_view name) {
    return platform::pathInFolder(folder, name) + ".fsd";
}

std::string fsdResumeDataPath(std::string_view folder, std::string_view name) {
    return platform::pathInFolder(folder, "." + std::string(name) + ".fsd_resumedata");
}

std::string fsdUnescapedURL(std::string_view url) {
    auto text = fsdvalues::removingPercentEscapes(url);
    return text ? *text : std::string(url);
}

int fsdMakeWorkFolder(const std::string& path) {
    if (path.empty()) return ENOENT;
    platform::Error failure;
    auto folder =
        platform::SharedFolder::make(path, platform::SharedFolder::kDefaultMode, &failure);
    if (!folder) return platform::SharedFolder::errorCode(failure);
    struct stat st {};
    if (!folder->status(&st)) return errno;
    const bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    return platform::SharedFolder::checksTrust() && othersWrite ? EPERM : 0;
}

bool fsdUnlinkFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool fsdUnlinkLargeFile(const std::string& path) {
    // While a descriptor stays open, unlinking only removes the name: the
    // freeing happens when the last descriptor closes.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool removed = fsdUnlinkFile(path);
    if (fd < 0) return removed;
    try {
        platform::globalQueue(platform::QualityOfService::Background)->async([fd] { ::close(fd); });
    } catch (...) {
        ::close(fd);
    }
    return removed;
}
