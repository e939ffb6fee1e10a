#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Platform/System/Paths.h"
#include "Platform/System/ServiceManagement.h"
#include "support/TempDir.h"

using namespace platform;

namespace {

class ServiceManagementTest : public ::testing::Test {
  protected:
    std::string executable(const std::string& relative, const std::string& body) {
        const std::string path = dir_.write(relative, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }

    testsupport::TempDir dir_;
    Paths::ScopedRoot root_{dir_.file("root")};
    std::string bundle_ = dir_.file("Test.app");
};

TEST_F(ServiceManagementTest, BlessRefusesBadLabelsAndToolsAndWritesNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::filesystem::create_directories(bundle_ + "/Contents/Library/LaunchServices/com.x.folder");
    executable("evil", "exit 0\n");
    struct Case {
        const char* label;
        long code;
    } cases[] = {{"../evil", kSMErrorToolNotValid},
                 {"", kSMErrorToolNotValid},
                 {"com.x.absent", kSMErrorToolNotValid},
                 {"com.x.folder", kSMErrorToolNotValid}};
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(SMBlessHelperAsRoot(bundle_, c.label, 0, &error)) << c.label;
        EXPECT_EQ(error.domain(), kCFErrorDomainLaunchd) << c.label;
        EXPECT_EQ(error.code(), c.code) << c.label;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.file("root/Library")));
}

TEST_F(ServiceManagementTest, AToolThatNeverListensIsKilledAndReportedUnavailable) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    executable("Test.app/Contents/Library/LaunchServices/com.x.mute", "exit 0\n");
    Error error;
    EXPECT_FALSE(SMBlessHelperAsRoot(bundle_, "com.x.mute", 501, &error));
    EXPECT_EQ(error.code(), kSMErrorServiceUnavailable);
    ASSERT_NE(error.underlyingError(), nullptr);
    // The tool was put in place all the same: root's, read and execute only.
    struct stat info;
    ASSERT_EQ(stat(dir_.file("root/Library/PrivilegedHelperTools/com.x.mute").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0544u);
    EXPECT_EQ(SMRunningJobPid("com.x.mute"), -1);
}

TEST(SystemAuthoriserTest, ElevatorAnswersBecomeStatuses) {
    testsupport::TempDir dir;
    const std::string bundle = dir.file("Test.app");
    AuthorizationRequest request;
    request.rights.push_back({"com.apple.ServiceManagement.blesshelper", "", 0});
    request.flags = kAuthorizationFlagInteractionAllowed;
    struct Case {
        std::vector<std::string> elevator;
        OSStatus expected;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 126", "elevator"}, errAuthorizationCanceled},
        {{"/bin/sh", "-c", "exit 127", "elevator"}, errAuthorizationDenied},
        {{dir.file("no-such-elevator")}, errAuthorizationDenied},
    };
    for (const auto& c : cases) {
        SystemAuthoriser authoriser(bundle, c.elevator);
        authoriser.setGrantInProcessAsRoot(false);
        AuthorizationRef authorization;
        EXPECT_EQ(authoriser.createAuthorization(request, &authorization), c.expected)
            << c.elevator[0];
        EXPECT_EQ(authorization, nullptr);
    }
}

TEST(SystemAuthoriserTest, RootIsGrantedInProcessAndBlessWithoutAuthorizationFails) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    SystemAuthoriser authoriser("/nonexistent.app");
    AuthorizationRequest request;
    request.rights.push_back({"com.apple.ServiceManagement.blesshelper", "", 0});
    AuthorizationRef authorization;
    EXPECT_EQ(authoriser.createAuthorization(request, &authorization), errAuthorizationSuccess);
    EXPECT_NE(dynamic_cast<RootAuthorization*>(authorization.get()), nullptr);
    Error error;
    EXPECT_FALSE(SMJobBless(kSMDomainSystemLaunchd, "com.x.y", nullptr, &error));
    EXPECT_EQ(error.code(), kSMErrorAuthorizationFailure);
}

}  // namespace
