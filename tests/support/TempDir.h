// A fresh temporary folder for one test, removed with everything in it when
// the object goes away.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    /// path() / relative, as a string.
    std::string file(const std::string& relative) const { return (path_ / relative).string(); }
    /// Writes `contents` to path()/relative, creating parent folders; returns the full path.
    std::string write(const std::string& relative, const std::string& contents) const;

  private:
    std::filesystem::path path_;
};

}  // namespace testsupport
