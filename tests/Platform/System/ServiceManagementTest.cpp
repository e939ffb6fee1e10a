#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "Platform/System/Authorization.h"
#include "Platform/System/Paths.h"
#include "Platform/System/ServiceManagement.h"
#include "support/ParkedRootProcess.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

using namespace platform;

namespace {

class ServiceManagementTest : public ::testing::Test {
  protected:
    std::string executable(const std::string& relative, const std::string& body) {
        const std::string path = dir_.write(relative, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    // Makes `folder` (a system path under `root`) and hands it to another
    // user, who can reach it.
    void giveAway(const std::string& root, const std::string& folder) {
        std::filesystem::create_directories(root + folder);
        ASSERT_EQ(chown((root + folder).c_str(), testsupport::kUnprivilegedId,
                        testsupport::kUnprivilegedId),
                  0);
        testsupport::letOthersEnter(dir_.path(), root + folder);
    }

    testsupport::TempDir dir_;
    Paths::ScopedRoot root_{dir_.file("root")};
    std::string bundle_ = dir_.file("Test.app");
};

bool alive(pid_t pid) {
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

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

// What the broker answers to `requests` for a caller of `requesterUid`.
std::string brokerAnswers(const std::string& bundle, uid_t requesterUid,
                          const std::string& requests) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return "";
    if (pipe2(out, O_CLOEXEC) != 0) return "";
    const bool written = write(in[1], requests.data(), requests.size()) == ssize_t(requests.size());
    close(in[1]);
    if (written) PelAuthBrokerServe(in[0], out[1], bundle, requesterUid);
    close(in[0]);
    close(out[1]);
    std::string answers;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) answers.append(buffer, std::size_t(n));
    close(out[0]);
    return answers;
}

// The broker reads the bundle's tool with the rights of the user who asked:
// a tool inside a folder that user cannot enter is no tool, whether the
// bundle is named plainly, through the /proc links of a root process parked
// there, or holds a link through them.
TEST_F(ServiceManagementTest, TheBrokerReadsTheToolWithTheRightsOfItsCaller) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    chmod(dir_.path().c_str(), 0755);
    const std::string tool = "Contents/Library/LaunchServices/com.x.tool";
    executable("closed/open/Test.app/" + tool, "exit 0\n");
    chmod(dir_.file("closed").c_str(), 0700);
    testsupport::ParkedRootProcess parked(dir_.file("closed/open"), {"Test.app/" + tool});
    ASSERT_TRUE(parked.valid());
    std::vector<std::string> bundles = parked.spellings("Test.app");
    bundles.push_back(dir_.file("closed/open/Test.app"));
    // A bundle of the caller's own whose tool folder is a link through /proc.
    const std::string linked = dir_.file("mine/Test.app");
    std::filesystem::create_directories(linked + "/Contents/Library");
    std::filesystem::create_symlink(parked.spellings("Test.app/Contents/Library/LaunchServices")[0],
                                    linked + "/Contents/Library/LaunchServices");
    bundles.push_back(linked);
    for (const std::string& bundle : bundles) {
        SCOPED_TRACE(bundle);
        const int asRoot = open((bundle + "/" + tool).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(asRoot, 0) << "root does not reach the tool this way";
        if (asRoot >= 0) close(asRoot);
        const std::string answers =
            brokerAnswers(bundle, testsupport::kUnprivilegedId, "bless com.x.tool\n");
        EXPECT_EQ(answers.rfind("ready\nerror 5 ", 0), 0u) << answers;
        EXPECT_NE(answers.find("No helper tool at " + bundle + "/" + tool), std::string::npos)
            << answers;
        EXPECT_FALSE(
            std::filesystem::exists(dir_.file("root/Library/PrivilegedHelperTools/com.x.tool")));
    }
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

// Each folder that blessing writes to, owned by another user who planted
// links to a file of root's under every name root would write there.
TEST_F(ServiceManagementTest, BlessingRefusesFoldersOthersCanChangeAndWritesNothingThrough) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    executable("Test.app/Contents/Library/LaunchServices/com.x.tool", "exit 0\n");
    const std::string victim = dir_.write("victim", "root's own\n");
    chmod(victim.c_str(), 0644);
    const std::string elsewhere = dir_.file("elsewhere");
    std::filesystem::create_directories(elsewhere);
    chown(elsewhere.c_str(), testsupport::kUnprivilegedId, testsupport::kUnprivilegedId);
    int n = 0;
    for (const std::string folder : {"/Library", "/Library/PrivilegedHelperTools",
                                     "/Library/LaunchDaemons", "/var/run", "/var/log"}) {
        SCOPED_TRACE(folder);
        const std::string root = dir_.file("root" + std::to_string(++n));
        Paths::ScopedRoot scoped(root);
        giveAway(root, folder);
        const std::string planted = root + folder;
        EXPECT_EQ(testsupport::runUnprivileged([&] {
                      for (const char* name : {"/com.x.tool", "/com.x.tool.plist",
                                               "/com.x.tool.pid", "/com.x.tool.log"})
                          if (symlink(victim.c_str(), (planted + name).c_str()) != 0) return 1;
                      for (const char* name : {"/PrivilegedHelperTools", "/LaunchDaemons"})
                          if (symlink(elsewhere.c_str(), (planted + name).c_str()) != 0) return 1;
                      return 0;
                  }),
                  0);
        Error error;
        EXPECT_FALSE(SMBlessHelperAsRoot(bundle_, "com.x.tool", 501, &error));
        EXPECT_EQ(error.code(), kSMErrorInternalFailure) << error.description();
        EXPECT_EQ(read(victim), "root's own\n");
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
        EXPECT_EQ(SMRunningJobPid("com.x.tool"), -1);
        EXPECT_TRUE(SMRemoveJobAsRoot("com.x.tool", &error) || error.code() != 0);
        EXPECT_EQ(read(victim), "root's own\n");
    }
}

// A pid file names the job only when only root could have written it and
// the process runs exactly the program it names; nothing else is signalled.
TEST_F(ServiceManagementTest, OnlyARootPidFileNamingTheExactProgramIsTheJob) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const pid_t victim = fork();
    if (victim == 0) {
        execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(victim, 0);
    std::string exe;
    for (int i = 0; i < 500 && (exe.empty() || exe.find("sleep") == std::string::npos); ++i) {
        std::error_code ec;
        exe = std::filesystem::read_symlink("/proc/" + std::to_string(victim) + "/exe", ec);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const std::string text = std::to_string(victim) + "\n";
    struct Case {
        const char* name;
        bool othersFolder, link;
        std::string program;
        bool trusted;
    } cases[] = {
        {"written by another user", true, false, exe, false},
        {"a link to a file of root's", false, true, exe, false},
        {"naming the program \"/\"", false, false, "/", false},
        {"naming a prefix of the program", false, false, exe.substr(0, exe.size() - 1), false},
        {"root's, naming the exact program", false, false, exe, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = dir_.file("root" + std::to_string(++n));
        Paths::ScopedRoot scoped(root);
        const std::string pidFile = root + SMJobPidPath("com.x.tool");
        const std::string contents = text + c.program + "\n";
        if (c.othersFolder) {
            giveAway(root, "/var/run");
            EXPECT_EQ(testsupport::runUnprivileged([&] {
                          const int fd = open(pidFile.c_str(), O_WRONLY | O_CREAT, 0644);
                          return fd >= 0 && write(fd, contents.data(), contents.size()) ==
                                                ssize_t(contents.size())
                                     ? 0
                                     : 1;
                      }),
                      0);
        } else if (c.link) {
            const std::string real =
                dir_.write("root" + std::to_string(n) + "/var/x.pid", contents);
            std::filesystem::create_directories(root + "/var/run");
            std::filesystem::create_symlink(real, pidFile);
        } else {
            dir_.write("root" + std::to_string(n) + SMJobPidPath("com.x.tool"), contents);
        }
        EXPECT_EQ(SMRunningJobPid("com.x.tool"), c.trusted ? victim : -1);
        Error error;
        SMRemoveJobAsRoot("com.x.tool", &error);
        EXPECT_EQ(alive(victim), !c.trusted);
    }
    if (alive(victim)) {
        kill(victim, SIGKILL);
        waitpid(victim, nullptr, 0);
    }
}

// A job description that another user could change, or that names a
// program others could change, starts nothing.
TEST_F(ServiceManagementTest, AJobOthersCouldChangeIsNotStarted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string ran = dir_.file("ran");
    executable("root/opt/tool.sh", "touch '" + ran + "'\n");
    const std::string theirs = executable("root/opt/theirs.sh", "touch '" + ran + "'\n");
    chown(theirs.c_str(), testsupport::kUnprivilegedId, testsupport::kUnprivilegedId);
    auto job = [](const std::string& program) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>Label</key><string>com.x.job</string><key>ProgramArguments</key><array>"
               "<string>" +
               program + "</string></array></dict></plist>\n";
    };
    giveAway(dir_.file("root"), "/Library/LaunchDaemons");
    const std::string planted = dir_.file("root/Library/LaunchDaemons/com.x.job.plist");
    const std::string text = job("/opt/tool.sh");
    EXPECT_EQ(testsupport::runUnprivileged([&] {
                  const int fd = open(planted.c_str(), O_WRONLY | O_CREAT, 0644);
                  return fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()) ? 0
                                                                                                : 1;
              }),
              0);
    const std::string rootsOwn = dir_.write("root/etc/com.x.job.plist", job("/opt/theirs.sh"));
    for (const std::string& plist : {planted, rootsOwn}) {
        SCOPED_TRACE(plist);
        Error error;
        EXPECT_FALSE(SMStartJobAsRoot(plist, &error));
        EXPECT_EQ(error.code(), kSMErrorToolNotValid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(std::filesystem::exists(ran));
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
