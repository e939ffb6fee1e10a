// A settings file in a temporary base folder, and a way to see that a
// thread or process is waiting for its lock.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "VTErrorCreationLib/VTSettingsFile.h"
#include "support/TempDir.h"

namespace vttest {

class SettingsTree {
  public:
    SettingsTree()
        : root_(temp_.path().string()),
          configuration_(std::make_shared<VTSCDConfiguration>(
              VTSCDConfiguration::hardcodedConfigurationUsingPath(temp_.file("base")))) {}

    const testsupport::TempDir& temp() const { return temp_; }
    std::shared_ptr<const VTSCDConfiguration> configuration() const { return configuration_; }
    std::string path() const { return *configuration_->settingsPath(); }

    /// Writes `settings` as the settings file.
    void write(const VTSettings& settings) const {
        auto file = VTSettingsFile::initForWritingToURL(path(), {}, nullptr);
        if (file) file->writeSettings(settings, nullptr, nullptr);
    }
    /// The settings the file holds now, or nullopt.
    std::optional<VTSettings> read() const {
        auto file = VTSettingsFile::initForReadingAtURL(path(), {}, nullptr);
        if (!file) return std::nullopt;
        return file->readSettingsReturningData(nullptr, nullptr);
    }
    void writeRaw(const std::string& bytes) const {
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << bytes;
    }

  private:
    testsupport::TempDir temp_;
    platform::Paths::ScopedRoot root_;
    std::shared_ptr<VTSCDConfiguration> configuration_;
};

/// Waits (bounded) until the kernel lists someone blocked on a flock of the
/// file at `path`.
inline bool waitForLockWaiter(const std::string& path,
                              std::chrono::seconds bound = std::chrono::seconds(10)) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    std::string inode = ":" + std::to_string(st.st_ino) + " ";
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
                line.find(inode) != std::string::npos)
                return true;
        std::this_thread::yield();
    }
    return false;
}

}  // namespace vttest
