#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "Foundation/PelSignatureSettings.h"
#include "Platform/Dispatch/Clock.h"
#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTLogicalError.h"
#include "VTErrorCreationLib/VTSettingsClient.h"
#include "VTErrorCreationLib/VTSettingsFile.h"
#include "support/FakeClock.h"
#include "support/ScopedVerificationKey.h"
#include "support/UnprivilegedChild.h"
#include "vtscdtool/VTSCDTool.h"

namespace fs = std::filesystem;

namespace {

using vtclienttest::ClientTree;
using vtclienttest::FakeCrashReporter;

std::shared_ptr<VTLogicalError> makeError(VTClient& client) {
    return client.createLogicalErrorInComponent("Test", reinterpret_cast<const void*>(&makeError),
                                                1, 0, false, nullptr);
}

TEST(VTClient, InstallersConfigurationHasNoCrashReportingAndNoThrottle) {
    ClientTree tree;
    auto first = tree.client();
    auto client = tree.client();
    EXPECT_EQ(VTClient::currentClient(), client) << "the client made last is current";
    EXPECT_TRUE(client->isEmbedded());
    EXPECT_EQ(client->crashReporter(), nullptr);
    EXPECT_EQ(client->autoThrottleLimit(), 0u);
    EXPECT_FALSE(client->isWatchingConfiguration()) << "the installer has no configuration file";

    platform::Error error;
    EXPECT_FALSE(client->beginReporting(&error));
    EXPECT_EQ(error.domain(), VTErrorDomain);
    EXPECT_EQ(error.code(), 5000);
    EXPECT_EQ(error.localizedDescription(), "Not configured with crash reporting");
    EXPECT_FALSE(client->liveDump());

    for (int i = 0; i < 20; ++i) EXPECT_TRUE(makeError(*client)) << i;
}

TEST(VTClient, CrashReporterFromTheFactoryWhenCrashDumpsAreEnabled) {
    ClientTree tree;
    auto reporter = std::make_shared<FakeCrashReporter>();
    reporter->reportPath = tree.temp().write("live_report.fvcrash", "crash");
    std::string dumpsSeen;
    VTClient::setCrashReporterFactory([&](const std::string& dumps) {
        dumpsSeen = dumps;
        return reporter;
    });
    auto configuration = tree.configuration();
    configuration.setEnableCrashDumps(true);
    auto client = tree.client(configuration);

    EXPECT_EQ(client->crashReporter(), reporter);
    EXPECT_EQ(dumpsSeen, tree.base() + "/CrashDumps");
    EXPECT_EQ(client->autoThrottleLimit(), 10u);
    EXPECT_EQ(client->liveDump(), reporter->liveReport);
    EXPECT_TRUE(client->beginReporting(nullptr));
    reporter->enableAnswer = false;
    EXPECT_EQ(client->beginReporting(nullptr), VTClient::isDebuggerAttached());

    // The report an earlier crash left is kept under a name of its own.
    EXPECT_FALSE(fs::exists(reporter->reportPath));
    int moved = 0;
    for (const auto& entry : fs::directory_iterator(tree.base() + "/CrashDumps")) {
        EXPECT_EQ(entry.path().filename().string().rfind(
                      std::string(program_invocation_short_name) + ".", 0),
                  0u);
        ++moved;
    }
    EXPECT_EQ(moved, 1);

    // A second report moved within the same second keeps the first.
    tree.temp().write("live_report.fvcrash", "crash again");
    auto second = tree.client(configuration);
    moved = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(tree.base() + "/CrashDumps"))
        ++moved;
    EXPECT_EQ(moved, 2);
}

// In the shared crash-dump folder only a report of root's own, with one
// name, is kept by a root client as its earlier crash; another user's file
// at the report's name, or a hard link there to a file of root's, goes, and
// what the link names is left as it was.
TEST(VTClient, RootKeepsOnlyItsOwnReportFromTheSharedCrashDumps) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    enum class Plant { RootsReport, OthersFile, HardLink };
    struct Case {
        const char* what;
        Plant plant;
        bool kept;
    } cases[] = {{"root's own report", Plant::RootsReport, true},
                 {"another user's file", Plant::OthersFile, false},
                 {"a hard link to a file of root's", Plant::HardLink, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClientTree tree;
        const std::string dumps = tree.base() + "/CrashDumps";
        fs::create_directories(dumps);
        fs::permissions(dumps, static_cast<fs::perms>(01777));
        testsupport::letOthersEnter(tree.temp().path(), dumps);
        auto reporter = std::make_shared<FakeCrashReporter>();
        reporter->reportPath = dumps + "/live_report.fvcrash";
        const std::string secret = tree.temp().write("secret", "root's secret");
        switch (c.plant) {
            case Plant::RootsReport:
                tree.temp().write("base/CrashDumps/live_report.fvcrash", "crash");
                break;
            case Plant::HardLink:
                ASSERT_EQ(::link(secret.c_str(), reporter->reportPath.c_str()), 0);
                break;
            case Plant::OthersFile:
                ASSERT_EQ(testsupport::runUnprivileged([&] {
                              const int fd = ::open(reporter->reportPath.c_str(),
                                                    O_WRONLY | O_CREAT | O_EXCL, 0644);
                              return fd >= 0 ? 0 : 1;
                          }),
                          0);
                break;
        }
        VTClient::setCrashReporterFactory([&](const std::string&) { return reporter; });
        auto configuration = tree.configuration();
        configuration.setEnableCrashDumps(true);
        auto client = tree.client(configuration);

        EXPECT_FALSE(fs::exists(fs::symlink_status(reporter->reportPath)));
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(dumps))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left.size(), c.kept ? 1u : 0u);
        std::ifstream in(secret);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "root's secret");
        EXPECT_EQ(fs::hard_link_count(secret), 1u);
    }
}

// A client that captures crashes puts the library's terminate handler in
// place for as long as it lives, and no longer.
TEST(VTClient, TerminateCallbackGoesWithTheClientThatAddedIt) {
    const std::terminate_handler before = std::get_terminate();
    {
        ClientTree tree;
        VTClient::setCrashReporterFactory(
            [](const std::string&) { return std::make_shared<FakeCrashReporter>(); });
        auto configuration = tree.configuration();
        configuration.setEnableCrashDumps(true);
        auto first = tree.client(configuration);
        EXPECT_NE(std::get_terminate(), before);
        auto second = tree.client(configuration);
        first.reset();
        EXPECT_NE(std::get_terminate(), before) << "the second client still needs it";
        second.reset();
        VTClient::clearCurrentClientForTesting();
        EXPECT_EQ(std::get_terminate(), before);
    }
    EXPECT_EQ(std::get_terminate(), before);
}

TEST(VTClient, ThrottleRefusesTheEleventhErrorOfABurst) {
    ClientTree tree;
    testsupport::ScopedFakeClock clock;
    unsetenv("VT_DISABLE_THROTTLING");
    auto configuration = tree.configuration();
    configuration.setEnableCrashDumps(true);  // the limit of 10 comes with crash dumps
    auto client = tree.client(configuration);

    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(client->autoThrottled()) << i;
        EXPECT_TRUE(makeError(*client)) << i;
        clock->advance(std::chrono::milliseconds(900));
    }
    EXPECT_TRUE(client->autoThrottled());
    EXPECT_FALSE(makeError(*client)) << "the eleventh within 10 seconds";
    clock->advance(std::chrono::seconds(10));
    EXPECT_TRUE(makeError(*client)) << "a quiet window starts a new burst";
}

TEST(VTClient, ThrottlingCanBeSwitchedOffFromTheEnvironment) {
    ClientTree tree;
    testsupport::ScopedFakeClock clock;
    setenv("VT_DISABLE_THROTTLING", "YES", 1);
    auto configuration = tree.configuration();
    configuration.setEnableCrashDumps(true);
    auto client = tree.client(configuration);
    for (int i = 0; i < 30; ++i) EXPECT_TRUE(client->shouldCreateError()) << i;
    unsetenv("VT_DISABLE_THROTTLING");
}

TEST(VTClient, SwitchTextsReadAsBooleans) {
    const std::pair<const char*, bool> cases[] = {
        {"1", true},  {"YES", true}, {"true", true},   {" +007", true}, {"-2", true},
        {"0", false}, {"NO", false}, {"false", false}, {"", false},     {"000", false},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(VTStringBoolValue(text), want) << text;
}

TEST(VTClient, CreationGateRefusesSilently) {
    ClientTree tree;
    auto client = tree.client();
    ASSERT_TRUE(makeError(*client));

    // The opt-out marker in the base folder.
    std::ofstream(tree.base() + "/ofgDisabled").put('\n');
    platform::Error untouched(std::string("untouched"), 1);
    EXPECT_FALSE(client->createLogicalErrorInComponent("Test", nullptr, 1, 0, false, &untouched));
    EXPECT_EQ(untouched.domain(), "untouched");
    fs::remove(tree.base() + "/ofgDisabled");
    EXPECT_TRUE(makeError(*client));

    // Inhibition nests.
    VTErrorInstance::inhibitErrorCreationForCurrentProcess();
    VTErrorInstance::inhibitErrorCreationForCurrentProcess();
    EXPECT_FALSE(makeError(*client));
    VTErrorInstance::uninhibitErrorCreationForCurrentProcess();
    EXPECT_FALSE(makeError(*client));
    VTErrorInstance::uninhibitErrorCreationForCurrentProcess();
    EXPECT_TRUE(makeError(*client));

    auto disabled = tree.configuration();
    disabled.setEnabled(false);
    client->setScdConfiguration(disabled);
    EXPECT_FALSE(makeError(*client));
}

TEST(VTClient, SettingsThatDisableErrorsStopCreation) {
    ClientTree tree;
    auto client = tree.client();
    EXPECT_TRUE(makeError(*client)) << "without a settings file creation is allowed";
    EXPECT_FALSE(client->settingsClient());

    VTSettings settings;
    settings.setEnabled(false);
    auto file = VTSettingsFile::initForWritingToURL(tree.base() + "/vtsettings.dat", {}, nullptr);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->writeSettings(settings, nullptr, nullptr));
    file.reset();
    EXPECT_FALSE(makeError(*client));
    ASSERT_TRUE(client->settingsClient());
    EXPECT_FALSE(client->settingsClient()->settings()->enabled());
}

TEST(VTClient, LogicalErrorsDisabledOrWithoutComponentAreErrors) {
    ClientTree tree;
    auto client = tree.client();
    platform::Error error;
    EXPECT_FALSE(client->createLogicalErrorInComponent(nullptr, nullptr, 1, 0, false, &error));
    EXPECT_EQ(error.code(), 5010);
    auto configuration = tree.configuration();
    configuration.setEnableLogicalErrors(false);
    client->setScdConfiguration(configuration);
    EXPECT_FALSE(client->createLogicalErrorInComponent("C", nullptr, 1, 0, false, &error));
    EXPECT_EQ(error.code(), 5004);
}

TEST(VTClient, ClientInformationFillsOnlyWhatTheSummaryLacks) {
    ClientTree tree;
    auto client = tree.client();
    client->setProductName("Ostrel");
    client->setProductVersion("1.0");
    client->setMachineID("not a uuid");
    client->setMid("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");

    VTErrorProperties summary;
    summary.setProductVersion("2.0");
    client->addClientInformationToErrorSummary(summary);
    EXPECT_EQ(summary.productName(), "Ostrel");
    EXPECT_EQ(summary.productVersion(), "2.0");
    EXPECT_FALSE(summary.machineId());
    ASSERT_TRUE(summary.mid());
    EXPECT_EQ(summary.mid()->UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
}

TEST(VTClient, SavedErrorsAreFoundByUUIDAndBucket) {
    ClientTree tree;
    auto client = tree.client();
    auto error = makeError(*client);
    ASSERT_TRUE(error);
    ASSERT_TRUE(error->save(nullptr));
    const VTUUID uuid = *error->summaryData().failureUUID();
    const std::uint64_t bucket = error->summaryData().bucketId();

    auto undetailed = client->errorWithFailureUUID(uuid, bucket, nullptr);
    ASSERT_TRUE(undetailed);
    EXPECT_FALSE(undetailed->isFinal());
    EXPECT_EQ(undetailed->summaryData().logicalComponentId(), "Test");

    ASSERT_TRUE(error->finalize(nullptr));
    auto detailed = client->errorWithFailureUUID(uuid, bucket, nullptr);
    ASSERT_TRUE(detailed);
    EXPECT_TRUE(detailed->isFinal());
    EXPECT_TRUE(detailed->save(nullptr));
    EXPECT_EQ(*detailed->fileURL(), *error->fileURL()) << "a finalized error stays in place";

    platform::Error missing;
    EXPECT_FALSE(client->errorWithFailureUUID(VTUUID(), bucket, &missing));
    EXPECT_EQ(missing.code(), 5005);
}

TEST(VTClient, SavedErrorOfAnUnknownKindCannotBeOpened) {
    ClientTree tree;
    auto client = tree.client();
    auto error = makeError(*client);
    ASSERT_TRUE(error->save(nullptr));
    error->summaryData().setFailureType(3);
    ASSERT_TRUE(error->save(nullptr));
    platform::Error failure;
    EXPECT_FALSE(client->createErrorFromPersistentData(*error->fileURL(), 1, &failure));
    EXPECT_EQ(failure.domain(), VTErrorDomain);
    EXPECT_EQ(failure.code(), 5010);
}

TEST(VTClient, CleanupRemovesWhatTheFlagsNameUntilAborted) {
    struct Case {
        std::uint64_t flags;
        int abortAfter;  // calls of the abort callback answered NO before a YES
        bool errors, crashDumps, settings, base;
    } cases[] = {
        {kVTCleanupErrorFolders, 99, false, false, true, true},
        {kVTCleanupErrorFolders, 0, true, false, true, true},  // crash dumps go first
        {kVTCleanupSettings, 99, true, true, false, true},
        {kVTCleanupErrorFolders | kVTCleanupSettings | kVTCleanupBasePath, 99, false, false, false,
         false},
        {kVTCleanupBasePath, 0, true, true, true, true},  // asked before the base folder
    };
    for (const Case& c : cases) {
        ClientTree tree;
        auto client = tree.client();
        std::ofstream(tree.base() + "/vtsettings.dat").put('x');
        int calls = 0;
        client->cleanup(c.flags, [&] { return calls++ >= c.abortAfter; });
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(fs::exists(tree.base() + "/Errors"), c.errors);
        EXPECT_EQ(fs::exists(tree.base() + "/CrashDumps"), c.crashDumps);
        EXPECT_EQ(fs::exists(tree.base() + "/vtsettings.dat"), c.settings);
        EXPECT_EQ(fs::exists(tree.base()), c.base);
    }
}

}  // namespace

namespace {

// Writes of the configuration file, signed with a key of the test's own.
class VTClientWatch : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        key_ = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(1024));
    }
    static void TearDownTestSuite() { delete key_; }
    // Made after SetUpTestSuite() has made key_.
    testsupport::ScopedVerificationKey trust_{key_->publicKeySPKI()};

    // The signed bytes of a configuration with `maxAgeDays`; the signature
    // goes to base/vtscd.sig at once, the bytes are returned.
    platform::Data signedConfiguration(std::uint32_t maxAgeDays) {
        VTSCDConfiguration configuration;
        configuration.setMaxAgeDays(maxAgeDays);
        platform::Data bytes = vtscdtool::encodeConfiguration(configuration);
        const std::string staging = tree_.temp().file("staging");
        fs::create_directories(staging);
        vtscdtool::writeSignedFiles(bytes, *key_, staging);
        fs::copy_file(staging + "/vtscd.sig", tree_.base() + "/vtscd.sig",
                      fs::copy_options::overwrite_existing);
        return bytes;
    }

    // Collects the change callback's configurations.
    struct Changes {
        std::mutex mutex;
        std::condition_variable arrived;
        std::vector<std::shared_ptr<const VTSCDConfiguration>> seen;

        VTClient::ConfigurationChangeCallback callback() {
            return [this](std::shared_ptr<const VTSCDConfiguration> c) {
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back(std::move(c));
                arrived.notify_all();
            };
        }
        bool waitFor(std::size_t count) {
            std::unique_lock<std::mutex> lock(mutex);
            return arrived.wait_for(lock, std::chrono::seconds(10),
                                    [&] { return seen.size() >= count; });
        }
    };

    static devsign::PrivateKey* key_;
    ClientTree tree_;
};

devsign::PrivateKey* VTClientWatch::key_ = nullptr;

TEST_F(VTClientWatch, CompletedRewritesReplaceTheConfiguration) {
    const std::string path = tree_.base() + "/vtscd.dat";
    fs::create_directories(tree_.base());
    {
        platform::Data bytes = signedConfiguration(3);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    platform::Error error;
    auto configuration =
        VTSCDConfiguration::configurationWithContentsOfPath(path, tree_.base(), &error);
    ASSERT_TRUE(configuration) << error.description();
    auto client = tree_.client(*configuration);
    ASSERT_TRUE(client->isWatchingConfiguration());
    Changes changes;
    client->setConfigurationChangeCallback(changes.callback());

    // Written in two pieces: nothing is read before the writer closes the file.
    platform::Data bytes = signedConfiguration(7);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const auto half = static_cast<long>(bytes.size() / 2);
        out.write(reinterpret_cast<const char*>(bytes.data()), half).flush();
        out.write(reinterpret_cast<const char*>(bytes.data()) + half,
                  static_cast<long>(bytes.size()) - half);
    }
    ASSERT_TRUE(changes.waitFor(1));
    {
        std::lock_guard<std::mutex> lock(changes.mutex);
        for (const auto& seen : changes.seen) ASSERT_TRUE(seen) << "a half-written file was read";
        EXPECT_EQ(changes.seen.back()->maxAgeDays(), 7u);
    }
    EXPECT_EQ(client->scdConfiguration()->maxAgeDays(), 7u);

    const std::size_t before = changes.seen.size();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "garbage";
    ASSERT_TRUE(changes.waitFor(before + 1));
    {
        std::lock_guard<std::mutex> lock(changes.mutex);
        EXPECT_EQ(changes.seen.back(), nullptr);
    }
    EXPECT_EQ(client->scdConfiguration()->maxAgeDays(), 7u) << "the old one stays";
    client->setConfigurationChangeCallback({});
}

}  // namespace
