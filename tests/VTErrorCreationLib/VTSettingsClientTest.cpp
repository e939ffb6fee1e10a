#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>

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
