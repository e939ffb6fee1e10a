// A copy of a package in a folder that only root can enter, so that the file
// that is verified is the file that is installed: the original may lie in a
// folder its owner can change at any moment.
#pragma once

#include <string>

#include "Platform/System/PrivateFolder.h"
#include "Platform/Values/Error.h"

class PelPrivatePackageCopy {
  public:
    /// The copy and its folder go with the object.
    PelPrivatePackageCopy() = default;
    PelPrivatePackageCopy(const PelPrivatePackageCopy&) = delete;
    PelPrivatePackageCopy& operator=(const PelPrivatePackageCopy&) = delete;

    /// Copies the regular file at `path` (links are not followed) into a new
    /// 0700 folder under "/var/tmp" (platform::PrivateFolder: for root,
    /// /var/tmp and the folders above must be ones no other user can
    /// change). False with a POSIX `error` when it cannot.
    bool copy(const std::string& path, platform::Error* error);
    /// The copy's path ("" before copy()).
    const std::string& path() const { return path_; }

  private:
    platform::PrivateFolder folder_;
    std::string path_;
};
