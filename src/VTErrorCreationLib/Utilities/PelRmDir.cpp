#include "VTErrorCreationLib/Utilities/PelRmDir.h"

#include <cerrno>
#include <string>
#include <string_view>

#include "Platform/System/SharedFolder.h"

namespace {

std::string_view trimmed(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

}  // namespace

extern "C" int PelRmDir(const char* path, bool force) {
    if (!path || !*path) return EINVAL;
    // The folder holding the tree is opened once; from there the walk goes
    // by descriptor and never follows a link, so nothing that changes in
    // the tree while it runs can lead it outside.
    const std::string_view own = trimmed(path);
    const std::size_t slash = own.find_last_of('/');
    const std::string parent = slash == std::string_view::npos ? "."
                               : slash == 0                    ? "/"
                                                               : std::string(own.substr(0, slash));
    const std::string_view name = slash == std::string_view::npos ? own : own.substr(slash + 1);
    platform::Error ignored;
    auto folder =
        platform::SharedFolder::open(parent, platform::SharedFolder::Trust::Any, &ignored);
    if (!folder) {
        const platform::Error* cause = ignored.underlyingError();
        return cause && cause->code() > 0 ? static_cast<int>(cause->code()) : ENOENT;
    }
    return folder->removeTree(name, force);
}
