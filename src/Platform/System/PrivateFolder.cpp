#include "Platform/System/PrivateFolder.h"

#include <cerrno>

namespace platform {

PrivateFolder::~PrivateFolder() {
    folder_.reset();
    if (base_ && !name_.empty()) base_->removeTree(name_, false);
}

bool PrivateFolder::create(const std::string& base, std::string_view prefix, Error* error) {
    if (folder_) {
        setError(error, Error::posix(EEXIST, path_));
        return false;
    }
    Error failure;
    auto made = SharedFolder::make(base, SharedFolder::kDefaultMode, &failure);
    std::string name;
    auto folder = made ? made->makeUniqueChild(prefix, 0700, &name, &failure) : std::nullopt;
    if (!folder) {
        setError(error, Error::posix(SharedFolder::errorCode(failure), base));
        return false;
    }
    path_ = folder->path();
    name_ = std::move(name);
    folder_ = std::move(folder);
    base_ = std::move(made);
    return true;
}

}  // namespace platform
