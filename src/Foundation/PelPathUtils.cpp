#include "Foundation/PelPathUtils.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Foundation/PelFileOperations.h"
#include "Foundation/PelLogging.h"
#include "Platform/System/Paths.h"

PelPathUtils& PelPathUtils::sharedPathUtils() {
    static PelPathUtils* shared = new PelPathUtils;
    return *shared;
}

bool PelPathUtils::fileExistsAtPath(const PelOptionalPath& path) const {
    struct stat st {};
    return path && ::stat(path->c_str(), &st) == 0;
}

bool PelPathUtils::filesExistAtPathInArray(const platform::Array& items) const {
    if (items.empty()) return false;
    for (const auto& item : items) {
        PelOptionalPath path;
        if (const auto* s = item.asString()) {
            path = *s;
        } else if (item.isDictionary()) {
            if (const auto* name = item.get("pkgName"); name && name->isString())
                path = *name->asString();
        }
        if (!fileExistsAtPath(path)) {
            PelLogging::logDebugMessageWithFormat("%s:File doesnt exist at path %@",
                                                  __PRETTY_FUNCTION__, item);
            return false;
        }
    }
    return true;
}

bool PelPathUtils::filesExistAtPathInArray(const platform::Value& items) const {
    const auto* array = items.asArray();
    return array && filesExistAtPathInArray(*array);
}

std::optional<platform::Error> PelPathUtils::deleteFileAtPath(const PelOptionalPath& path) const {
    if (!path) return std::nullopt;
    platform::Error error;
    if (pelfile::removeItem(*path, &error)) return std::nullopt;
    return error;
}

std::optional<platform::Error> PelPathUtils::createDirAtPath(const PelOptionalPath& path) const {
    if (!path) return std::nullopt;
    if (path->empty()) return pelfile::fileError(ENOENT, *path, pelfile::Side::Write);
    std::error_code ec;
    std::filesystem::create_directories(*path, ec);
    if (!ec) return std::nullopt;
    std::error_code statusError;
    auto status = std::filesystem::status(*path, statusError);
    if (std::filesystem::is_directory(status)) return std::nullopt;
    // Something other than a folder is in the way.
    if (std::filesystem::exists(status))
        return pelfile::fileError(EEXIST, *path, pelfile::Side::Write);
    return pelfile::fileError(ec.value(), *path, pelfile::Side::Write);
}

bool PelPathUtils::createFileAtPath(const PelOptionalPath& path) const {
    if (!path) return false;
    int fd;
    do {
        fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    return ::close(fd) == 0;
}

bool PelPathUtils::renameFileAtPath(const PelOptionalPath& from, const PelOptionalPath& to) const {
    if (!from || !to) return false;
    if (!pelfile::copyItem(*from, *to, nullptr)) return false;
    // The data is safe at `to` now; a source that cannot be removed does not
    // undo the move.
    deleteFileAtPath(from);
    return true;
}

std::uint64_t PelPathUtils::sizeOfFileAtPath(const PelOptionalPath& path,
                                             platform::Error* error) const {
    if (!fileExistsAtPath(path)) return 0;
    struct stat st {};
    if (::lstat(path->c_str(), &st) != 0) {
        platform::setError(error, pelfile::fileError(errno, *path, pelfile::Side::Read));
        return 0;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

bool PelPathUtils::isWritableFileAtPath(const PelOptionalPath& path) const {
    return path && ::access(path->c_str(), W_OK) == 0;
}

bool PelPathUtils::modifyTimeStampOfFile(const PelOptionalPath& file, const PelOptionalPath& other,
                                         platform::Error* error) const {
    if (!fileExistsAtPath(file) || !fileExistsAtPath(other)) return false;
    struct stat a {
    }, b{};
    if (::lstat(file->c_str(), &a) != 0) {
        platform::setError(error, pelfile::fileError(errno, *file, pelfile::Side::Read));
        return false;
    }
    if (::lstat(other->c_str(), &b) != 0) {
        platform::setError(error, pelfile::fileError(errno, *other, pelfile::Side::Read));
        return false;
    }
    if (a.st_mtim.tv_sec != b.st_mtim.tv_sec) return a.st_mtim.tv_sec > b.st_mtim.tv_sec;
    return a.st_mtim.tv_nsec >= b.st_mtim.tv_nsec;
}

bool PelPathUtils::copyItemAtPath(const PelOptionalPath& source, const PelOptionalPath& folder,
                                  platform::Error* error) const {
    if (!fileExistsAtPath(source) || !fileExistsAtPath(folder) || !isWritableFileAtPath(folder)) {
        platform::setError(error, platform::Error());
        return false;
    }
    std::string destination = platform::Paths::join(*folder, pelfile::lastPathComponent(*source));
    return pelfile::copyItem(*source, destination, error);
}
