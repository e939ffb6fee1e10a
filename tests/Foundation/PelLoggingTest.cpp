#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "Foundation/PelLogging.h"
#include "Foundation/PelSignatureSettings.h"
#include "Platform/System/Paths.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

using ::testing::ElementsAre;

namespace {

std::vector<std::string> loggedMessages(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        auto at = line.find(">: ");
        out.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    return out;
}

class PelLoggingTest : public ::testing::Test {
  protected:
    PelLogChannel::Config config(uid_t uid = 501) {
        PelLogChannel::Config c = PelLogging::installChannelConfig();
        c.copyToStderr = false;
        c.sendToSystemLog = false;
        c.effectiveUserId = uid;
        return c;
    }
    std::string userLog() const { return dir_.file("home/Library/Logs/PelInstall.log"); }

    testsupport::TempDir dir_;
    platform::Paths::ScopedRoot root_{dir_.file("root"), dir_.file("home")};
};

struct CountingObject {
    mutable int* calls;
    std::string description() const {
        ++*calls;
        return "counted";
    }
};

}  // namespace

TEST_F(PelLoggingTest, MessagesLoseQuotesAndDecodeEscapesWithoutLosingText) {
    struct {
        const char* in;
        const char* want;
    } cases[] = {
        {"say \"hi\"", "say hi"},
        {"a%20b", "a b"},
        {"caf%C3%A9", "caf\xC3\xA9"},
        {"\"%22\"", "\""},  // quotes go first, so an escaped quote survives
        // Texts whose escapes do not decode are logged undecoded.
        {"100% done", "100% done"},
        {"%zz and \"q\"", "%zz and q"},
        {"50%", "50%"},
        {"bad%2", "bad%2"},
        {"%FF not utf-8", "%FF not utf-8"},
        {"nul %00 byte", "nul %00 byte"},
        {"%20 fine but %G0 not", "%20 fine but %G0 not"},
    };
    PelLogChannel channel(config());
    for (const auto& c : cases) channel.logNoticeMessage(c.in);
    auto got = loggedMessages(userLog());
    ASSERT_EQ(got.size(), std::size(cases));
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], cases[i].want) << cases[i].in;
}

TEST_F(PelLoggingTest, LevelsAndFormatsReachTheFileButDebugNever) {
    int calls = 0;
    CountingObject counted{&calls};
    PelLogChannel channel(config());
    channel.logErrorMessageWithFormat("%s:File doesnt exist at path %@", "-[X y:]",
                                      std::string("/p"));
    channel.logWarningMessage("warn");
    channel.logDebugMessage("debug");
    channel.logDebugMessageWithFormat("debug %@", counted);
    channel.logMessageOfErrorType(platform::kLogInfo, "info");
    channel.logMessageOfErrorType(platform::kLogDebug, "debug 7");
    channel.logNoticeMessageWithFormat("%@ %d%%", counted, 5);
    EXPECT_EQ(calls, 1);  // only the notice described its argument
    EXPECT_THAT(loggedMessages(userLog()),
                ElementsAre("-[X y:]:File doesnt exist at path /p", "warn", "counted 5%"));
    std::ifstream in(userLog());
    std::string first;
    std::getline(in, first);
    EXPECT_THAT(first, ::testing::HasSubstr("<Error>: "));
}

TEST_F(PelLoggingTest, RootLogsToTheMachineFolderAndUsersToTheirOwn) {
    PelLogChannel asRoot(config(0));
    asRoot.logErrorMessage("as root");
    EXPECT_EQ(asRoot.logFilePath(), dir_.file("root/Library/Logs/PelInstall.log"));
    EXPECT_THAT(loggedMessages(asRoot.logFilePath()), ElementsAre("as root"));

    ASSERT_FALSE(std::filesystem::exists(dir_.file("home/Library/Logs")));
    PelLogChannel asUser(config(501));
    asUser.logErrorMessage("as user");
    EXPECT_EQ(asUser.logFilePath(), userLog());
    EXPECT_THAT(loggedMessages(userLog()), ElementsAre("as user"));
}

// Where another user got to make what root's log folder's name leads to
// (here "Library" is left writable by all), root logs to the system log
// alone: nothing is made in their folder or where their link points.
TEST_F(PelLoggingTest, RootLogsIntoNoFolderAnotherUserCouldChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    const std::string library = dir_.file("root/Library");
    const std::string target = dir_.file("target");
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "a link to a folder of root's" : "a folder of the other user's");
        std::filesystem::remove_all(library);
        std::filesystem::create_directories(library);
        std::filesystem::create_directories(target);
        std::filesystem::permissions(library, std::filesystem::perms::all);
        testsupport::letOthersEnter(dir_.path(), library);
        const std::string logs = library + "/Logs";
        ASSERT_EQ(testsupport::runUnprivileged([&] {
                      return (link ? ::symlink(target.c_str(), logs.c_str())
                                   : ::mkdir(logs.c_str(), 0777)) == 0
                                 ? 0
                                 : 1;
                  }),
                  0);
        PelLogChannel asRoot(config(0));
        asRoot.logErrorMessage("as root");
        EXPECT_TRUE(std::filesystem::is_empty(target));
        if (!link) {
            EXPECT_TRUE(std::filesystem::is_empty(logs));
        }
    }
}

TEST_F(PelLoggingTest, AppendsAcrossChannelsAndNeverTruncates) {
    dir_.write("home/Library/Logs/PelInstall.log", "earlier run\n");
    {
        PelLogChannel first(config());
        first.logNoticeMessage("one");
    }
    PelLogChannel second(config());
    PelLogChannel uninstall(
        {"PelUninstall", "PelUninstall Messages", "PelUninstall.log", false, false, false, 501});
    second.logNoticeMessage("two");
    uninstall.logNoticeMessage("kept \"as\" is%20");
    EXPECT_THAT(loggedMessages(userLog()), ElementsAre("earlier run", "one", "two"));
    EXPECT_THAT(loggedMessages(dir_.file("home/Library/Logs/PelUninstall.log")),
                ElementsAre("kept \"as\" is%20"));
}

TEST_F(PelLoggingTest, AnUnopenableFileDoesNotStopLogging) {
    dir_.write("home/Library", "a file where the folder should be");
    PelLogChannel channel(config());
    channel.logErrorMessage("still fine");
    EXPECT_FALSE(std::filesystem::exists(userLog()));
}

TEST_F(PelLoggingTest, ClassMethodsUseTheSharedChannel) {
    auto defaults = PelLogging::installChannelConfig();
    EXPECT_EQ(defaults.identity, "PelInstall");
    EXPECT_EQ(defaults.facility, "PelInstall Messages");
    EXPECT_EQ(defaults.fileName, "PelInstall.log");
    EXPECT_TRUE(defaults.decodeMessages && defaults.copyToStderr);

    PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config()));
    PelLogging::logWarningMessageWithFormat("%s:%@", "f", "a%20b");
    PelLogging::logDebugMessageWithFormat("%s", "never");
    PelLogging::setSharedChannel(nullptr);
    EXPECT_THAT(loggedMessages(userLog()), ElementsAre("f:a b"));
}

TEST_F(PelLoggingTest, DevelopmentKeysAreLoggedOnceAWarning) {
    PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config()));
    PelSignatureLogTrustedKeysOnce();
    PelSignatureLogTrustedKeysOnce();
    PelLogging::setSharedChannel(nullptr);
    if (PelSignatureTrustsDevelopmentKeys())
        EXPECT_THAT(loggedMessages(userLog()), ElementsAre(kPelDevelopmentKeysNotice));
    else
        EXPECT_THAT(loggedMessages(userLog()), ::testing::IsEmpty());
}
