#include "Downloader/FSDResumeData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "Platform/Values/Json.h"
#include "Platform/Values/Value.h"

namespace {

constexpr std::size_t kMaxResumeDataSize = 64 * 1024;

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string FSDResumeData::json() const {
    platform::Dictionary d;
    d["version"] = 1;
    d["url"] = url;
    d["validator"] = validator;
    d["offset"] = static_cast<unsigned long long>(offset);
    auto text = platform::json::serialize(platform::Value(std::move(d)),
                                          platform::json::WriteStyle::Compact, nullptr);
    return text ? *text : std::string();
}

std::optional<FSDResumeData> FSDResumeData::fromJSON(std::string_view text) {
    auto value = platform::json::parse(text, nullptr);
    if (!value || !value->isDictionary()) return std::nullopt;
    const auto* version = value->get("version");
    const auto* url = value->get("url");
    const auto* validator = value->get("validator");
    const auto* offset = value->get("offset");
    if (!version || !version->isNumber() || version->doubleValue() != 1.0) return std::nullopt;
    if (!url || !url->isString() || !validator || !validator->isString()) return std::nullopt;
    if (!offset || !offset->isNumber()) return std::nullopt;
    double o = offset->doubleValue();
    if (!(o >= 0) || std::floor(o) != o || o > 9.0e15) return std::nullopt;
    return FSDResumeData{*url->asString(), *validator->asString(), offset->uint64Value()};
}

bool fsdIsStrongValidator(std::string_view v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return true;  // strong entity tag
    // An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"); weak tags start with "W/".
    return v.size() >= 20 && v.size() <= 64 && v.ends_with(" GMT") && !v.starts_with("W/");
}

std::optional<FSDResumeData> readFSDResumeData(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    while (text.size() <= kMaxResumeDataSize) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (text.size() > kMaxResumeDataSize) return std::nullopt;
    return FSDResumeData::fromJSON(text);
}

bool fsdWriteFileAtomically(std::string_view bytes, const std::string& path, unsigned mode,
                            platform::Error* error) {
    auto slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temp = folder + ".fsdtmp.XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        platform::setError(error, platform::Error::posix(errno, path));
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes);
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        platform::setError(error, platform::Error::posix(err ? err : EIO, path));
    }
    return ok;
}

bool writeFSDResumeData(const FSDResumeData& data, const std::string& path,
                        platform::Error* error) {
    return fsdWriteFileAtomically(data.json(), path, 0600, error);
}
