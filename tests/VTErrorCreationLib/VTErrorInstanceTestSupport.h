// A reporting client stand-in and a temporary error tree for the error
// instance tests.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/VTErrorClient.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "support/TempDir.h"

namespace vttest {

class FakeClient : public VTErrorClient {
  public:
    std::shared_ptr<const VTSCDConfiguration> scdConfiguration() const override { return config; }
    std::shared_ptr<const VTSCDConfiguration> config;
};

inline const VTUUID& testUUID() {
    static const VTUUID uuid = *VTUUID::initWithUUIDString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    return uuid;
}
inline constexpr const char* kUUIDText = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
inline constexpr std::uint64_t kBucket = 0x1234;

/// A configuration on <temp>/base (its three folders made) and a path root
/// on <temp>, so that temporary error folders stay inside the test's folder.
class ErrorTree {
  public:
    ErrorTree() : root_(temp_.path().string()) {
        std::filesystem::create_directories(platform::Paths::temporaryDirectory());
        auto config = std::make_shared<VTSCDConfiguration>(
            VTSCDConfiguration::hardcodedConfigurationUsingPath(base()));
        configuration_ = config.get();
        client_->config = std::move(config);
    }

    std::string base() const { return temp_.file("base"); }
    const testsupport::TempDir& temp() const { return temp_; }
    std::shared_ptr<FakeClient> client() const { return client_; }
    VTSCDConfiguration& configuration() { return *configuration_; }

    /// A logical error with the test UUID and bucket.
    std::shared_ptr<VTErrorInstance> makeError(std::uint64_t bucket = kBucket) const {
        auto error = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, client_);
        error->summaryData().setFailureUUID(testUUID());
        error->summaryData().setBucketId(bucket);
        return error;
    }

    /// Every entry under base(), relative, folders with a trailing "/".
    std::set<std::string> layout() const {
        std::set<std::string> out;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(base())) {
            std::string relative = std::filesystem::relative(entry.path(), base()).string();
            out.insert(entry.is_directory() ? relative + "/" : relative);
        }
        return out;
    }

    /// Entries of the temporary folder (where new error folders are made).
    std::size_t temporaryEntries() const {
        std::size_t n = 0;
        for (const auto& entry :
             std::filesystem::directory_iterator(platform::Paths::temporaryDirectory())) {
            (void)entry;
            ++n;
        }
        return n;
    }

  private:
    testsupport::TempDir temp_;
    platform::Paths::ScopedRoot root_;
    std::shared_ptr<FakeClient> client_ = std::make_shared<FakeClient>();
    VTSCDConfiguration* configuration_ = nullptr;
};

inline unsigned modeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

}  // namespace vttest
