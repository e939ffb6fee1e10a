// A reporting client on a temporary base folder, for the tests of the client,
// logical errors and the report functions.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTClientThrottle.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorProperties.h"
#include "support/TempDir.h"

namespace vtclienttest {

/// Records what the library logs while it exists.
class LogCapture {
  public:
    LogCapture() {
        VTSetLogHookForTesting([this](int, const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(message);
        });
    }
    ~LogCapture() { VTSetLogHookForTesting({}); }
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    bool contains(const std::string& message) const {
        for (const auto& m : messages())
            if (m == message) return true;
        return false;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

/// A crash reporter that answers from its fields.
class FakeCrashReporter : public VTCrashReporting {
  public:
    bool enableCrashReporter(platform::Error*) override { return enableAnswer; }
    void enableUncaughtExceptionHandler() override { ++handlerInstalls; }
    void handleUncaughtException(const platform::Exception&) override {}
    std::optional<platform::Data> generateLiveReport() override { return liveReport; }
    std::string crashReportPath() const override { return reportPath; }

    bool enableAnswer = true;
    int handlerInstalls = 0;
    std::optional<platform::Data> liveReport = platform::Data{'d', 'u', 'm', 'p'};
    std::string reportPath;
};

/// A path root and a base folder "base" inside a temporary folder; clients
/// made here are forgotten as current client at the end, and the throttle
/// switch is read again by the next test.
class ClientTree {
  public:
    ClientTree() : root_(temp_.path().string()) {
        std::filesystem::create_directories(platform::Paths::temporaryDirectory());
        VTResetThrottlingSwitchForTesting();
    }
    ~ClientTree() {
        VTClient::clearCurrentClientForTesting();
        VTClient::setCrashReporterFactory({});
        VTResetThrottlingSwitchForTesting();
    }

    std::string base() const { return temp_.file("base"); }
    const testsupport::TempDir& temp() const { return temp_; }

    /// The installer's configuration on base(), changed by `edit` when given.
    VTSCDConfiguration configuration() const {
        return VTSCDConfiguration::hardcodedConfigurationUsingPath(base());
    }
    std::shared_ptr<VTClient> client(std::optional<VTSCDConfiguration> configuration = {}) const {
        return VTClient::embeddedClientWithConfig(
            configuration ? *configuration : this->configuration(), nullptr);
    }

    /// The folders of saved errors: "<Errors|Submissions>/<bucket>/<UUID>".
    std::vector<std::string> savedErrors() const {
        std::vector<std::string> out;
        for (const char* top : {"Errors", "Submissions"}) {
            const std::string folder = base() + "/" + top;
            if (!std::filesystem::exists(folder)) continue;
            for (const auto& bucket : std::filesystem::directory_iterator(folder))
                for (const auto& error : std::filesystem::directory_iterator(bucket.path()))
                    out.push_back(std::filesystem::relative(error.path(), base()).string());
        }
        return out;
    }

    std::optional<VTErrorProperties> summaryOf(const std::string& relativeFolder) const {
        return VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(
            base() + "/" + relativeFolder + "/summary.vterr", nullptr);
    }
    std::optional<VTErrorData> dataOf(const std::string& relativeFolder) const {
        return VTCodingUtilities::objectWithContentsOfFile<VTErrorData>(
            base() + "/" + relativeFolder + "/data.vterr", nullptr);
    }

  private:
    testsupport::TempDir temp_;
    platform::Paths::ScopedRoot root_;
};

}  // namespace vtclienttest
