#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Engine/KextAssistantXPCClient.h"
#include "EngineTestSupport.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Xpc/XpcRemoteObject.h"
#include "Platform/Xpc/XpcServiceName.h"
#include "Platform/Xpc/XpcWire.h"
#include "support/FakeClock.h"
#include "support/FakeHelperProcess.h"
#include "support/FakeKernelModuleWatch.h"
#include "support/QueueHelpers.h"
#include "support/UnprivilegedChild.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;
using platform::RunLoop;

class RecordingKextDelegate : public KextAssistantXPCClientDelegate {
  public:
    void finshedInstallation(bool) override {}
    void preferenceUpdated() override { ++updates; }
    int updates = 0;
};

class KextAssistantXPCClientTest : public EngineFixture {
  protected:
    std::shared_ptr<KextAssistantXPCClient> makeClient(
        std::shared_ptr<platform::KernelModuleWatch> watch = nullptr) {
        auto client = std::make_shared<KextAssistantXPCClient>(nullptr, std::move(watch));
        client->setDelegate(&delegate_);
        return client;
    }
    // Asks for a load and runs the main queue until the answer came; then a
    // little longer, to see that no second answer follows.
    std::vector<int> load(KextAssistantXPCClient& client) {
        auto answers = std::make_shared<std::vector<int>>();
        client.loadPelKextWithReply([answers](KextLoadStatus s) { answers->push_back(int(s)); });
        RunLoop::runUntil([&] { return !answers->empty(); }, std::chrono::seconds(15));
        RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(100));
        return *answers;
    }
    void moduleLoads() { fs::create_directories(rooted("/sys/module/com_pelgrave_PelKorvex")); }

    testsupport::MainQueueGuard mainGuard_;
    testsupport::ScopedFakeClock clock_;
    RecordingKextDelegate delegate_;
};

TEST_F(KextAssistantXPCClientTest, HelperCodesMapToStatusesAndAFailureStopsEverything) {
    struct Case {
        std::int64_t code;
        KextLoadStatus status;
        bool keepsRunning;
    } cases[] = {{3691020315LL, kKextLoadStatusNeedsApproval, true},
                 {-603946981LL, kKextLoadStatusNeedsApproval, true},  // the same code, signed,
                 {0, kKextLoadStatusLoaded, true},
                 {5, kKextLoadStatusFailed, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::vector<std::string> steps = {
            R"(expect {"method": "loadKext:withReply:", "arguments": ["/Library/Extensions/PelKorvex.kext"]})",
            "reply {\"arguments\": [" + std::to_string(c.code) + "]}", "close"};
        if (!c.keepsRunning) steps.push_back(R"(expect {"method": "shutdownHelper"})");
        testsupport::FakeHelperProcess helper;
        ASSERT_TRUE(helper.start({kKextHelperLabel, platform::XpcServiceScope::System, steps, {}}));
        auto watch = std::make_shared<testsupport::FakeKernelModuleWatch>();
        auto client = makeClient(watch);
        ASSERT_TRUE(client->observingIOKitService(nullptr));
        EXPECT_EQ(load(*client), std::vector<int>{c.status});
        EXPECT_EQ(client->kextLoadTimer() != nullptr, c.keepsRunning);
        EXPECT_EQ(watch->watching(), c.keepsRunning);
        const auto status = helper.wait();
        ASSERT_TRUE(status) << helper.errorOutput();
        EXPECT_EQ(*status, 0) << helper.errorOutput();
    }
}

TEST_F(KextAssistantXPCClientTest, AHelperThatDiesOrIsAbsentAnswersFailedOnce) {
    for (bool present : {true, false}) {
        SCOPED_TRACE(present ? "dies before replying" : "absent");
        testsupport::FakeHelperProcess helper;
        if (present) {
            ASSERT_TRUE(helper.start({kKextHelperLabel,
                                      platform::XpcServiceScope::System,
                                      {"expect-any", "crash"},
                                      {}}));
        }
        auto client = makeClient(std::make_shared<testsupport::FakeKernelModuleWatch>());
        EXPECT_EQ(load(*client), std::vector<int>{kKextLoadStatusFailed});
    }
}

TEST_F(KextAssistantXPCClientTest, TheModuleAppearingEndsTheWatchOnce) {
    fs::create_directories(rooted("/sys/module"));
    auto client = makeClient();
    ASSERT_TRUE(client->observingIOKitService(nullptr));
    auto timer = client->kextLoadTimer();
    ASSERT_TRUE(timer);
    client->startTimer();
    EXPECT_EQ(client->kextLoadTimer(), timer);  // at most one timer
    EXPECT_FALSE(KextAssistantXPCClient::findService(nullptr));
    const auto begin = std::chrono::steady_clock::now();
    moduleLoads();
    ASSERT_TRUE(RunLoop::runUntil([&] { return delegate_.updates > 0; }));
    RecordProperty("module_to_update_us",
                   std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - begin)
                                      .count()));
    RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(delegate_.updates, 1);
    EXPECT_FALSE(client->kextLoadTimer());
    EXPECT_FALSE(client->isObserving());
    EXPECT_TRUE(KextAssistantXPCClient::findService(nullptr));

    // Already there: reported before observing returns.
    auto second = makeClient();
    ASSERT_TRUE(second->observingIOKitService(nullptr));
    EXPECT_EQ(delegate_.updates, 2);
    EXPECT_FALSE(second->kextLoadTimer());
}

TEST_F(KextAssistantXPCClientTest, AWatchThatCannotStartLeavesNothingBehind) {
    auto watch = std::make_shared<testsupport::FakeKernelModuleWatch>();
    watch->failStart = true;
    auto client = makeClient(watch);
    EXPECT_FALSE(client->observingIOKitService(nullptr));
    EXPECT_FALSE(client->kextLoadTimer());
    EXPECT_FALSE(client->isObserving());
    EXPECT_GE(watch->stops, 2);  // before observing, and after the failure
}

TEST_F(KextAssistantXPCClientTest, ShowsTheApprovalScreensOnlyWhereTheyMatter) {
    // A product that ships a module: its bundle and the helper that loads it.
    auto shipModule = [&](bool module, bool helper) {
        fs::remove_all(rooted("/Library/Extensions"));
        fs::remove_all(rooted("/Library/PrivilegedHelperTools"));
        if (module) touch(rooted("/Library/Extensions/PelKorvex.kext/Contents/Info.plist"));
        if (helper) touch(rooted("/Library/PrivilegedHelperTools/com.pelgrave.kexthelper.TLW"));
    };
    struct Case {
        const char* os;
        bool module, helper, loaded, show;
    } cases[] = {{"10.12.6", true, true, false, false}, {"10.13", true, true, false, true},
                 {"12", true, true, false, true},       {"12", false, true, false, false},
                 {"12", true, false, false, false},     {"12", false, false, false, false},
                 {"11.2", true, true, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.os) + (c.module ? " module" : "") + (c.helper ? " helper" : ""));
        system_->os = c.os;
        shipModule(c.module, c.helper);
        if (c.loaded) moduleLoads();
        EXPECT_EQ(makeClient()->shouldShowKextMessage(), c.show);
    }
    system_->os = std::nullopt;
    EXPECT_FALSE(makeClient()->shouldShowKextMessage());
}

// The real helper, started directly in the test's root.
class KextHelperTest : public KextAssistantXPCClientTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
        const std::string contents = rooted("/Library/Extensions/PelKorvex.kext/Contents");
        fs::create_directories(contents);
        touch(contents + "/Info.plist");
        fs::create_directories(rooted("/sys/module"));
        start({});
    }
    void TearDown() override { stop(); }
    void start(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), PEL_KEXT_HELPER_PATH);
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setenv("PEL_PATH_ROOT", root_.c_str(), 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    void approvals(platform::Array approved) {
        writePlist(rooted("/var/db/pelgrave/kext-approvals.plist"),
                   Value(Dictionary{{"Approved", Value(std::move(approved))}}));
    }
    // The helper's answer to a load of `path`, asked as root on a
    // connection of its own; nullopt when none comes.
    std::optional<std::int64_t> loadCode(const std::string& path) {
        auto connection = platform::XpcRemoteConnection::createMachService(
            kKextHelperLabel, platform::kXpcConnectionPrivileged, kextHelperInterface());
        if (!connection) return std::nullopt;
        connection->resume();
        auto code = std::make_shared<std::optional<std::int64_t>>();
        auto mutex = std::make_shared<std::mutex>();
        auto proxy = connection->remoteObjectProxy(nullptr);
        proxy.call("loadKext:withReply:", {platform::XpcObject::makeString(path)},
                   [code, mutex](const platform::XpcArray& reply) {
                       std::lock_guard lock(*mutex);
                       *code = *reply[0].asInt64();
                   });
        RunLoop::runUntil([&] {
            std::lock_guard lock(*mutex);
            return code->has_value();
        });
        connection->invalidate();
        std::lock_guard lock(*mutex);
        return *code;
    }
    pid_t pid_ = -1;
};

TEST_F(KextHelperTest, HeldBackThenLoadedByModprobeThenShutDown) {
    auto client = makeClient();
    ASSERT_TRUE(client->observingIOKitService(nullptr));
    approvals({"com.pelgrave.Other"});
    EXPECT_EQ(load(*client), std::vector<int>{kKextLoadStatusNeedsApproval});
    EXPECT_EQ(delegate_.updates, 0);

    approvals({"com.pelgrave.Other", "com.pelgrave.PelKorvex"});
    const std::string modprobe = rooted("/usr/sbin/modprobe");
    fs::create_directories(fs::path(modprobe).parent_path());
    std::ofstream(modprobe) << "#!/bin/sh\nmkdir -p \"$PEL_PATH_ROOT/sys/module/$1\"\n";
    chmod(modprobe.c_str(), 0755);
    EXPECT_EQ(load(*client), std::vector<int>{kKextLoadStatusLoaded});
    ASSERT_TRUE(RunLoop::runUntil([&] { return delegate_.updates > 0; }));
    EXPECT_EQ(delegate_.updates, 1);

    // The module's appearance shut the helper down.
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pid_ = -1;
}

TEST_F(KextHelperTest, AnotherPathOrAForeignModuleFails) {
    std::vector<std::int64_t> codes;
    auto ask = [&](const std::string& path) {
        const auto code = loadCode(path);
        ASSERT_TRUE(code);
        codes.push_back(*code);
    };
    ask("/Library/Extensions/Other.kext");
    ask("/Library/Extensions/../Extensions/PelKorvex.kext");
    // An approval list that others could have written approves nothing.
    approvals({"com.pelgrave.PelKorvex"});
    chmod(rooted("/var/db/pelgrave/kext-approvals.plist").c_str(), 0666);
    EXPECT_EQ(loadCode(kPelKorvexPath), std::int64_t(kOSKextReturnSystemPolicy));
    fs::remove(rooted("/var/db/pelgrave/kext-approvals.plist"));
    // A module file that others may change is not loaded.
    const std::string module =
        rooted("/Library/Extensions/PelKorvex.kext/Contents/Linux/com_pelgrave_PelKorvex.ko");
    fs::create_directories(fs::path(module).parent_path());
    touch(module);
    chmod(module.c_str(), 0666);
    ask(kPelKorvexPath);
    for (std::int64_t code : codes) EXPECT_EQ(kextLoadStatusForCode(code), kKextLoadStatusFailed);
}

// Any user may ask for the load, but only root or the client the helper
// was started for may stop it: another user's request to stop ends that
// user's connection and the helper keeps serving.
TEST_F(KextHelperTest, OnlyRootOrItsClientMayShutItDown) {
    std::vector<std::uint8_t> frame;
    ASSERT_TRUE(
        platform::encodeXpcFrame(platform::XpcFrameKind::Message, 0,
                                 platform::XpcObject::makeDictionary(
                                     {{"method", platform::XpcObject::makeString("shutdownHelper")},
                                      {"arguments", platform::XpcObject::makeArray()}}),
                                 frame, nullptr));
    platform::Error error;
    const std::string socketPath = platform::xpcSocketPathForService(
        kKextHelperLabel, platform::XpcServiceScope::System, &error);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    // As the other user: connect, ask to stop, and wait until the helper
    // ends the connection (0) or 10 s pass (2).
    auto askToStop = [&] {
        return testsupport::runUnprivileged([&] {
            const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0 ||
                connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                return 1;
            if (write(fd, frame.data(), frame.size()) != ssize_t(frame.size())) return 1;
            pollfd ready{fd, POLLIN, 0};
            char byte;
            while (poll(&ready, 1, 10000) == 1)
                if (read(fd, &byte, 1) <= 0) return 0;
            return 2;
        });
    };
    auto exited = [&] {
        int status = 0;
        for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    ASSERT_TRUE(loadCode("/Library/Extensions/Other.kext"));  // it listens
    testsupport::letOthersEnter(dir_.path(), fs::path(socketPath).parent_path());

    EXPECT_EQ(askToStop(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int status;
    EXPECT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "the helper stopped for another user";
    EXPECT_EQ(loadCode("/Library/Extensions/Other.kext"), std::int64_t(EINVAL));

    stop();
    start({"--client-uid", std::to_string(testsupport::kUnprivilegedId)});
    ASSERT_TRUE(loadCode("/Library/Extensions/Other.kext"));
    EXPECT_EQ(askToStop(), 0);
    EXPECT_TRUE(exited()) << "the helper's own client could not stop it";
    pid_ = -1;
}

}  // namespace
}  // namespace enginetest
