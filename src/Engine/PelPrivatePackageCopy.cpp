#include "Engine/PelPrivatePackageCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "Platform/System/FileCopy.h"
#include "Platform/System/Paths.h"
#include "Platform/System/UniqueFd.h"

bool PelPrivatePackageCopy::copy(const std::string& path, platform::Error* error) {
    auto fail = [&](int code) {
        if (error) *error = platform::Error::posix(code, path);
        return false;
    };
    // /var/tmp is every user's: the folder is made and later removed below
    // it by descriptor, and the copy made inside the folder held.
    platform::Error failure;
    if (!folder_.create(platform::Paths::resolve("/var/tmp"), "pel_package.", &failure))
        return fail(static_cast<int>(failure.code()));

    platform::UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in) return fail(errno);
    struct stat info;
    if (fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return fail(EINVAL);
    std::string leaf = std::filesystem::path(path).filename().string();
    if (leaf.empty() || leaf == "." || leaf == "..") leaf = "package.pkg";
    platform::UniqueFd out(folder_.folder().openFile(leaf, O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (!out) return fail(errno);
    int copyFailure = platform::copyDescriptorContents(in.get(), out.get());
    if (::close(out.release()) != 0 && !copyFailure) copyFailure = errno;
    if (copyFailure) return fail(copyFailure);
    path_ = folder_.folder().pathOf(leaf);
    return true;
}
