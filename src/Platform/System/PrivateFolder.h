// A work folder of one's own below a folder others may write to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/System/SharedFolder.h"
#include "Platform/Values/Error.h"

namespace platform {

/// A new folder that only this process's user can enter (0700), made by
/// descriptor below a folder other users may write to (such as /var/tmp),
/// and removed with everything in it, by an unlinkat walk from the folder
/// held, when the object goes. Used by one thread at a time.
class PrivateFolder {
  public:
    PrivateFolder() = default;
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    /// Makes "<prefix>" and six random characters below `base` (made when
    /// missing). A root run takes `base` only when it and every folder above
    /// it are ones no other user can change (root's, sticky where others
    /// write). False with a POSIX `error` when it cannot (EEXIST when this
    /// object has its folder already).
    bool create(const std::string& base, std::string_view prefix, Error* error);
    /// The folder's path ("" before create()); what lies on it no other
    /// user can change.
    const std::string& path() const { return path_; }
    /// The folder, open.
    const SharedFolder& folder() const { return *folder_; }

  private:
    std::optional<SharedFolder> base_;
    std::optional<SharedFolder> folder_;
    std::string name_;
    std::string path_;
};

}  // namespace platform
