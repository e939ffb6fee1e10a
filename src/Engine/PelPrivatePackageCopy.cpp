#include "Engine/PelPrivatePackageCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "Platform/System/FileCopy.h"
#include "Platform/System/Paths.h"

PelPrivatePackageCopy::~PelPrivatePackageCopy() {
    if (folder_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

bool PelPrivatePackageCopy::copy(const std::string& path, platform::Error* error) {
    auto fail = [&](int code) {
        if (error) *error = platform::Error::posix(code, path);
        return false;
    };
    const std::string base = platform::Paths::resolve("/var/tmp");
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    std::string pattern = base + "/pel_package.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) return fail(errno);
    folder_ = name.data();
    chmod(folder_.c_str(), 0700);

    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return fail(errno);
    struct stat info;
    if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(in);
        return fail(EINVAL);
    }
    std::string leaf = std::filesystem::path(path).filename().string();
    if (leaf.empty() || leaf == "." || leaf == "..") leaf = "package.pkg";
    const std::string target = folder_ + "/" + leaf;
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int e = errno;
        close(in);
        return fail(e);
    }
    int failure = platform::copyDescriptorContents(in, out);
    close(in);
    if (close(out) != 0 && !failure) failure = errno;
    if (failure) return fail(failure);
    path_ = target;
    return true;
}
