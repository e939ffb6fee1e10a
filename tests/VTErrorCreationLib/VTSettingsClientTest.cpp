#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTLocalSettingsClient.h"
#include "VTErrorCreationLib/VTRemoteSettingsClient.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"
#include "VTErrorInstanceTestSupport.h"
#include "VTSettingsTestSupport.h"
#include "support/FakeXpcService.h"
#include "support/QueueHelpers.h"

namespace {

using vttest::SettingsTree;

// Change notifications are handled on a queue of the test's own instead of
// the main queue, which nothing drains here.
class VTSettingsClientTest : public ::testing::Test {
  protected:
    void SetUp() override { VTSettingsClient::setNotificationQueueForTesting(notifications); }
    void TearDown() override {
        testsupport::flushSerialQueue(notifications);
        VTSettingsClient::setNotificationQueueForTesting(nullptr);
    }

    std::shared_ptr<platform::SerialQueue> notifications =
        platform::SerialQueue::create("settings-notifications");
    SettingsTree tree;
};

TEST_F(VTSettingsClientTest, ALocalClientNeedsASettingsPath) {
    auto configuration = std::make_shared<VTSCDConfiguration>();
    platform::Error e;
    EXPECT_FALSE(VTSettingsClient::clientWithSettingsFromConfig(configuration, &e));
    EXPECT_EQ(e.domain(), VTErrorDomain);
    EXPECT_EQ(e.code(), kVTErrorNotConfigured);
    EXPECT_FALSE(VTSettingsClient::clientWithSettingsFromConfig(nullptr, nullptr));
}

TEST_F(VTSettingsClientTest, SavingCreatesTheFileAndAnotherClientLoadsTheSameSettings) {
    auto first = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->settings()) << "no file yet, so no settings";

    ASSERT_TRUE(first->save(nullptr));
    ASSERT_TRUE(first->localSettings());
    EXPECT_EQ(vttest::modeOf(tree.path()), 0664u);

    first->localSettings()->setConsentLevel(5);
    VTBucketSettings bucket;
    bucket.timesSeen = 2;
    first->localSettings()->setSettings(bucket, 0x42);
    ASSERT_TRUE(first->save(nullptr));

    auto second = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(second && second->localSettings());
    EXPECT_EQ(second->localSettings()->description(), first->localSettings()->description());
    EXPECT_EQ(second->localSettings()->client().lock(), second);
}

TEST_F(VTSettingsClientTest, OnlyOtherClientsReloadOnAChange) {
    tree.write(VTSettings());
    auto writer = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    auto reader = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(writer && reader);
    std::atomic<int> writerCalls{0};
    testsupport::Event readerCalled;
    std::shared_ptr<VTSettingsProtocol> delivered;
    writer->setSettingsChangeCallback([&](std::shared_ptr<VTSettingsProtocol>) { ++writerCalls; });
    reader->setSettingsChangeCallback([&](std::shared_ptr<VTSettingsProtocol> settings) {
        delivered = settings;
        readerCalled.notify();
    });

    writer->localSettings()->setEnabled(false);
    ASSERT_TRUE(writer->save(nullptr));
    ASSERT_TRUE(readerCalled.waitFor(1));
    // Both handlers run in turn on one queue, the writer's first: by now it
    // has seen its own notification and ignored it.
    testsupport::flushSerialQueue(notifications);
    EXPECT_EQ(writerCalls.load(), 0);
    ASSERT_TRUE(delivered);
    EXPECT_FALSE(delivered->enabled());
    EXPECT_FALSE(reader->settings()->enabled());
}

TEST_F(VTSettingsClientTest, ACorruptFileIsReplacedByDefaults) {
    tree.writeRaw("this is not a settings file");
    auto client = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->localSettings());
    EXPECT_TRUE(client->localSettings()->enabled());
    auto onDisk = tree.read();
    ASSERT_TRUE(onDisk) << "the file holds readable settings again";
    EXPECT_TRUE(onDisk->enabled());
}

TEST_F(VTSettingsClientTest, AWriterWaitingOnACorruptFileKeepsItsChange) {
    tree.writeRaw("corrupt");
    // Another process opened the file to write and waits for its lock
    // while this client finds the file corrupt.
    int waitingWriter = open(tree.path().c_str(), O_RDWR);
    ASSERT_GE(waitingWriter, 0);
    auto client = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(client);

    VTSettings change;
    change.setConsentLevel(9);
    platform::Data bytes;
    ASSERT_TRUE(VTEncodeScrambledArchive(&change, &bytes, kVTSettingsKeyTable, nullptr));
    ASSERT_EQ(flock(waitingWriter, LOCK_EX), 0);
    ASSERT_EQ(pwrite(waitingWriter, bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(ftruncate(waitingWriter, static_cast<off_t>(bytes.size())), 0);
    close(waitingWriter);

    ASSERT_TRUE(client->load(nullptr));
    EXPECT_EQ(client->localSettings()->consentLevel(), 9) << "the change reached the settings file";
}

TEST_F(VTSettingsClientTest, SavingWithoutSettingsStartsFromTheFileOrFromDefaults) {
    VTSettings stored;
    stored.setConsentLevel(4);
    tree.write(stored);
    auto client = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(client);
    client->setSettings(nullptr);
    ASSERT_TRUE(client->save(nullptr));
    EXPECT_EQ(tree.read()->consentLevel(), 4);
}

namespace {

constexpr int kCountsPerProcess = 150;

bool countOne(VTSubmissionStats& stats) {
    ++stats.submissionCount;
    return true;
}

}  // namespace

// One of the two processes of the test below (the test program started
// again): counts pings in the settings file as a submission does, and
// uploads in memory only, saved when it closes.
TEST(VTSettingsCountingProcess, CountsWhenStartedByTheTwoProcessTest) {
    const char* base = std::getenv("VT_TEST_COUNTING_BASE");
    const char* ready = std::getenv("VT_TEST_COUNTING_READY");
    const char* go = std::getenv("VT_TEST_COUNTING_GO");
    if (!base || !ready || !go) GTEST_SKIP() << "started only by VTSettingsAcrossProcesses";
    auto configuration = std::make_shared<const VTSCDConfiguration>(
        VTSCDConfiguration::hardcodedConfigurationUsingPath(base));
    auto client = VTLocalSettingsClient::initWithConfiguration(configuration, nullptr);
    ASSERT_TRUE(client && client->localSettings());
    // Both processes have read the file before either counts.
    char byte = 'r';
    ASSERT_EQ(write(std::atoi(ready), &byte, 1), 1);
    ASSERT_EQ(read(std::atoi(go), &byte, 1), 1);
    for (int i = 0; i < kCountsPerProcess; ++i) {
        platform::Error e;
        ASSERT_TRUE(client->updateStats(kVTGatewayTypePing, countOne, &e)) << e.description();
        ASSERT_TRUE(e.empty()) << e.description();
        client->localSettings()->updateStats(kVTGatewayTypeUpload, countOne);
    }
    platform::Error e;
    ASSERT_TRUE(client->save(&e)) << e.description();
}

TEST(VTSettingsAcrossProcesses, TwoProcessesCountingAtOnceLoseNoCount) {
    SettingsTree tree;
    VTSettings start;
    VTSubmissionStats stats;
    stats.submissionCount = 5;
    stats.lastReset = platform::Date::now();
    start.setStats(stats, kVTGatewayTypePing);
    start.setStats(stats, kVTGatewayTypeUpload);
    tree.write(start);

    // The children keep only their own ends (cleared of close-on-exec).
    int ready[2], go[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    std::vector<std::string> envStrings = {
        "VT_TEST_COUNTING_BASE=" + *tree.configuration()->basePath(),
        "VT_TEST_COUNTING_READY=" + std::to_string(ready[1]),
        "VT_TEST_COUNTING_GO=" + std::to_string(go[0])};
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter = "--gtest_filter=VTSettingsCountingProcess.*";
    char* argv[] = {program.data(), filter.data(), nullptr};

    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            fcntl(ready[1], F_SETFD, 0);
            fcntl(go[0], F_SETFD, 0);
            execve(argv[0], argv, envp.data());
            _exit(127);
        }
    }
    close(ready[1]);
    close(go[0]);
    char bytes[2];
    std::size_t got = 0;
    while (got < 2) {
        pollfd wait{ready[0], POLLIN, 0};
        if (poll(&wait, 1, 60000) <= 0) break;  // a hang guard only
        ssize_t n = read(ready[0], bytes + got, 2 - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, 2u) << "both processes read the settings";
    EXPECT_EQ(write(go[1], "gg", 2), 2);
    close(ready[0]);
    close(go[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    auto stored = tree.read();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->statsForGatewayType(kVTGatewayTypePing).submissionCount,
              5 + 2 * kCountsPerProcess)
        << "counted in the file";
    EXPECT_EQ(stored->statsForGatewayType(kVTGatewayTypeUpload).submissionCount,
              5 + 2 * kCountsPerProcess)
        << "counted in memory, added up when saved";
}

TEST(VTSettingsMerge, EachProcessKeepsOnlyItsOwnChanges) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    auto at = [](double seconds) { return platform::Date{seconds}; };
    auto counts = [](std::int64_t count, std::optional<platform::Date> reset) {
        VTSubmissionStats s;
        s.submissionCount = count;
        s.lastReset = reset;
        return s;
    };
    struct Case {
        const char* what;
        VTSubmissionStats stored, base, mine, expected;
    } cases[] = {
        {"unchanged here", counts(9, at(100)), counts(3, at(100)), counts(3, at(100)),
         counts(9, at(100))},
        {"increments add up", counts(9, at(100)), counts(3, at(100)), counts(5, at(100)),
         counts(11, at(100))},
        {"a new period begun here only", counts(9, at(100)), counts(3, at(100)),
         counts(1, at(90000)), counts(1, at(90000))},
        {"new periods begun in both", counts(2, at(90100)), counts(3, at(100)),
         counts(1, at(90000)), counts(3, at(90100))},
        // Counts from a damaged or hostile file stop at the ends of the range.
        {"increments past the largest count", counts(kMax, at(100)), counts(3, at(100)),
         counts(5, at(100)), counts(kMax, at(100))},
        {"increments on the smallest count", counts(kMin, at(100)), counts(kMin, at(100)),
         counts(kMin + 1, at(100)), counts(0, at(100))},
        {"a change from the smallest to the largest", counts(1, at(100)), counts(kMin, at(100)),
         counts(kMax, at(100)), counts(kMax, at(100))},
        {"new periods begun in both, past the largest count", counts(kMax, at(90100)),
         counts(3, at(100)), counts(1, at(90000)), counts(kMax, at(90100))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(VTSettings::mergedStats(c.stored, c.base, c.mine), c.expected);
    }

    VTSettings base;
    VTBucketSettings seen;
    seen.timesSeen = 2;
    base.setSettings(seen, 0x42);
    VTSettings stored = base;
    stored.setConsentLevel(7);  // another process's change
    seen.timesSeen = 5;
    stored.setSettings(seen, 0x42);
    VTSettings mine = base;
    mine.setEnabled(false);
    seen.timesSeen = 3;
    mine.setSettings(seen, 0x42);
    VTSettings result = VTSettings::merged(stored, base, mine);
    EXPECT_EQ(result.consentLevel(), 7);
    EXPECT_FALSE(result.enabled());
    EXPECT_EQ(result.settingsForBucket(0x42)->timesSeen, 6u);

    // A bucket counter stops at its largest value too.
    seen.timesSeen = std::numeric_limits<std::uint32_t>::max();
    stored.setSettings(seen, 0x42);
    result = VTSettings::merged(stored, base, mine);
    EXPECT_EQ(result.settingsForBucket(0x42)->timesSeen, std::numeric_limits<std::uint32_t>::max());
}

class VTRemoteSettingsClientTest : public VTSettingsClientTest {
  protected:
    void SetUp() override {
        VTSettingsClientTest::SetUp();
        // The fake service runs as the test's user, not as root.
        platform::XpcConnection::setPrivilegedPeerPolicy(
            [](const platform::XpcPeerCredentials& peer) { return peer.uid == geteuid(); });
    }
    void TearDown() override {
        platform::XpcConnection::setPrivilegedPeerPolicy(nullptr);
        VTSettingsClientTest::TearDown();
    }
};

TEST_F(VTRemoteSettingsClientTest, ChangesGoToTheSettingsService) {
    EXPECT_EQ(VTRemoteSettingsClient::serviceName(), "com.pelgrave.vantrel.settings-xpc.TLW");
    testsupport::FakeXpcService service(VTRemoteSettingsClient::serviceName());
    VTSettings stored;
    stored.setConsentLevel(2);
    tree.write(stored);

    auto client = VTRemoteSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->settings());
    EXPECT_TRUE(client->settings()->enabled()) << "loaded from the settings file";
    EXPECT_EQ(client->settings()->consentLevel(), 2);

    client->settings()->setEnabled(false);
    client->settings()->setConsentLevel(3);
    ASSERT_TRUE(client->save(nullptr));
    auto received = service.nextMessage();
    ASSERT_TRUE(received);
    const platform::XpcObject& message = received->message;
    ASSERT_TRUE(message.getString("_command"));
    EXPECT_EQ(*message.getString("_command"), "_change");
    ASSERT_TRUE(message.getString("_uuid"));
    EXPECT_EQ(*message.getString("_uuid"), client->clientID().UUIDString());
    ASSERT_TRUE(message.getData("_new"));
    auto sent = VTKeyedUnarchiver::unarchivedObjectOfClass<VTRemoteSettings>(
        *message.getData("_new"), nullptr);
    ASSERT_TRUE(sent);
    EXPECT_FALSE(sent->enabled());
    EXPECT_EQ(sent->consentLevel(), 3);
    EXPECT_EQ(tree.read()->consentLevel(), 2) << "the client itself never writes the file";
}

TEST_F(VTRemoteSettingsClientTest, ARemoteClientNeedsAReadableSettingsFile) {
    testsupport::FakeXpcService service(VTRemoteSettingsClient::serviceName());
    platform::Error e;
    EXPECT_FALSE(VTRemoteSettingsClient::initWithConfiguration(tree.configuration(), &e));
    EXPECT_EQ(e.code(), platform::kFileReadNoSuchFileError);
    EXPECT_FALSE(VTSettingsClient::clientWithSettingsFromServerUsingConfiguration(
        std::make_shared<VTSCDConfiguration>(), &e));
    EXPECT_EQ(e.code(), kVTErrorNotConfigured);
}

TEST_F(VTRemoteSettingsClientTest, ARemoteClientReloadsWhenALocalClientSaves) {
    testsupport::FakeXpcService service(VTRemoteSettingsClient::serviceName());
    tree.write(VTSettings());
    auto remote = VTRemoteSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    auto local = VTLocalSettingsClient::initWithConfiguration(tree.configuration(), nullptr);
    ASSERT_TRUE(remote && local);
    testsupport::Event changed;
    remote->setSettingsChangeCallback(
        [&](std::shared_ptr<VTSettingsProtocol>) { changed.notify(); });
    local->localSettings()->setConsentLevel(7);
    ASSERT_TRUE(local->save(nullptr));
    ASSERT_TRUE(changed.waitFor(1));
    EXPECT_EQ(remote->settings()->consentLevel(), 7);
}

}  // namespace
