// An authoriser for tests: answers a fixed status, records the requests and
// frees, and grants either a given authorisation or one that records the
// labels it is asked to bless and answers a fixed result.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Platform/System/Authorization.h"

namespace testsupport {

class RecordingAuthorization : public platform::Authorization {
  public:
    bool blessHelper(const std::string& label, platform::Error* error) override {
        std::lock_guard lock(mutex_);
        blessed.push_back(label);
        if (!blessResult && error) *error = blessError;
        return blessResult;
    }
    bool removeJob(const std::string& label, platform::Error* error) override {
        std::lock_guard lock(mutex_);
        removed.push_back(label);
        if (!blessResult && error) *error = blessError;
        return blessResult;
    }

    bool blessResult = true;
    platform::Error blessError{"CFErrorDomainLaunchd", 5};
    std::vector<std::string> blessed;
    std::vector<std::string> removed;

  private:
    std::mutex mutex_;
};

class FakeAuthoriser : public platform::Authoriser {
  public:
    platform::OSStatus createAuthorization(const platform::AuthorizationRequest& request,
                                           platform::AuthorizationRef* out) override {
        std::lock_guard lock(mutex_);
        requests.push_back(request);
        if (status == platform::errAuthorizationSuccess)
            *out = granted ? granted : std::make_shared<RecordingAuthorization>();
        return status;
    }
    void freeAuthorization(platform::AuthorizationRef, std::uint32_t flags) override {
        std::lock_guard lock(mutex_);
        frees.push_back(flags);
    }

    platform::OSStatus status = platform::errAuthorizationSuccess;
    /// What a granted request hands out (a new recording one when null).
    platform::AuthorizationRef granted;
    std::vector<platform::AuthorizationRequest> requests;
    std::vector<std::uint32_t> frees;

  private:
    std::mutex mutex_;
};

}  // namespace testsupport
