#include <gtest/gtest.h>
#include <pwd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "Platform/Dispatch/OperationQueue.h"
#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/VTDataCollection.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTSummaryFillers.h"
#include "support/WaitFlag.h"

using vtclienttest::ClientTree;

namespace {

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};

std::shared_ptr<VTErrorInstance> newError(const std::shared_ptr<VTClient>& client) {
    auto error = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, client);
    error->summaryData().setFailureUUID(VTUUID::UUID());
    error->summaryData().setBucketId(0xabc);
    EXPECT_TRUE(error->save(nullptr));
    return error;
}

constexpr const char* kCpuInfo =
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 158\n"
    "model name\t: Test CPU @ 3.00GHz\nstepping\t: 10\nphysical id\t: 0\ncore id\t\t: 0\n\n"
    "processor\t: 1\ncpu family\t: 6\nmodel\t\t: 158\nstepping\t: 10\nphysical id\t: 0\n"
    "core id\t\t: 1\n\n"
    "processor\t: 2\ncpu family\t: 6\nmodel\t\t: 158\nstepping\t: 10\nphysical id\t: 0\n"
    "core id\t\t: 0\n\n"
    "processor\t: 3\ncpu family\t: 6\nmodel\t\t: 158\nstepping\t: 10\nphysical id\t: 0\n"
    "core id\t\t: 1\n";

}  // namespace

TEST(VTSummaryFillersTest, LocaleFactsFromICU) {
    struct Case {
        const char* locale;
        int lcid;
        const char* tag;
        const char* language;
        const char* country;
    };
    for (const Case& c : {Case{"en_US", 1033, "en-US", "English", "United States"},
                          Case{"de_DE.UTF-8", 1031, "de-DE", "German", "Germany"},
                          Case{"pt_BR", 1046, "pt-BR", "Portuguese", "Brazil"}}) {
        SCOPED_TRACE(c.locale);
        const auto facts = vtsystem::localeFacts(c.locale);
        EXPECT_EQ(facts.windowsLocaleId, c.lcid);
        EXPECT_EQ(facts.languageTag, c.tag);
        EXPECT_EQ(facts.languageName, c.language);
        EXPECT_EQ(facts.countryName, c.country);
    }
}

TEST(VTSummaryFillersTest, SystemFieldsFromTheMachineFiles) {
    ClientTree tree;
    VTResetSystemSummaryCacheForTesting();
    const auto& t = tree.temp();
    t.write("etc/os-release", "NAME=\"Debian\"\nVERSION_ID=\"12\"\nBUILD_ID=rolling-7\n");
    t.write("etc/machine-id", "0123456789abcdef0123456789abcdef\n");
    t.write("etc/default/locale", "LANG=pt_BR.UTF-8\n");
    t.write("proc/cpuinfo", kCpuInfo);
    t.write("sys/class/dmi/id/product_name", "Test Machine 9000\n");
    ScopedEnv all("LC_ALL", "de_DE.UTF-8");

    VTErrorProperties record;
    EXPECT_TRUE(VTFillSystemSummaryProperties(record));
    EXPECT_FALSE(record.isOSXServer());
    EXPECT_EQ(record.osVersion(), "12");
    EXPECT_EQ(record.osBuild(), "rolling-7");
    EXPECT_EQ(record.windowsLocaleId(), 1031);
    EXPECT_EQ(record.localeName(), "de-DE");
    EXPECT_EQ(record.country(), "Germany");
    EXPECT_EQ(record.language(), "Portuguese");  // process uid 0: the global setting
    EXPECT_EQ(record.processorCount(), 2);       // two cores, two threads each
    EXPECT_EQ(record.processorBrandString(), "Test CPU @ 3.00GHz");
    EXPECT_EQ(record.processorName(), "x86 Family 6 Model 158 Stepping 10");
    EXPECT_EQ(record.systemProductName(), "Test Machine 9000");
    // The machine id never goes out as it is: a keyed hash of it does.
    ASSERT_TRUE(record.machineId());
    EXPECT_EQ(record.machineId(), vtsystem::uuidFromMachineId("0123456789abcdef0123456789abcdef"));
    EXPECT_EQ(record.machineId()->UUIDString().find("01234567"), std::string::npos);
    EXPECT_TRUE(record.mid());

    // A user of their own: their locale file.
    struct passwd* nobody = ::getpwnam("nobody");
    ASSERT_TRUE(nobody);
    t.write(std::string(nobody->pw_dir + 1) + "/.config/locale.conf", "LANG=fr_FR.UTF-8\n");
    record.setProcessUID(nobody->pw_uid);
    VTFillSystemSummaryProperties(record);
    EXPECT_EQ(record.language(), "French");
}

TEST(VTSummaryFillersTest, FallBacksWhenTheMachineSaysNothing) {
    ClientTree tree;
    VTResetSystemSummaryCacheForTesting();
    VTErrorProperties record;
    VTFillSystemSummaryProperties(record);
    EXPECT_EQ(record.processorCount(), 1);
    EXPECT_EQ(record.processorBrandString(), "Unknown");
    EXPECT_EQ(record.systemProductName(), "Unknown");
    EXPECT_FALSE(record.processorName());
    EXPECT_FALSE(record.osVersion());
    EXPECT_EQ(record.machineId(), VTUUID(VTUUID::Bytes{}));
    VTResetSystemSummaryCacheForTesting();

    EXPECT_TRUE(VTFillProductSummaryProperties(record));
    EXPECT_EQ(record.productBuildName(), "Pelgrave");
    EXPECT_EQ(record.clientVersion(), "8.4.2f21");
}

TEST(VTDataCollectionTest, WithoutActionsFillsCollectsAndFinalizesOnce) {
    ClientTree tree;
    auto client = tree.client();
    auto configuration = client->scdConfiguration();
    VTDataCollection collection(configuration, nullptr);
    EXPECT_FALSE(collection.actionsManager());
    auto queue = platform::OperationQueue::create("collection");

    EXPECT_FALSE(collection.startCollectingForError(nullptr, std::nullopt, queue, {}));

    auto error = newError(client);
    std::atomic<int> calls{0};
    testsupport::WaitFlag done;
    std::optional<platform::Error> finalizeError;
    ASSERT_TRUE(collection.startCollectingForError(
        error, std::string("{}"), queue,
        [&](std::shared_ptr<VTError> finished, std::optional<platform::Error> failure) {
            EXPECT_EQ(finished, error);
            finalizeError = failure;
            ++calls;
            done.set();
        }));
    ASSERT_TRUE(done.wait());
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(finalizeError) << finalizeError->description();
    EXPECT_TRUE(error->isFinal());
    EXPECT_EQ(error->summaryData().clientVersion(), "8.4.2f21");
    EXPECT_EQ(error->summaryData().productBuildName(), "Pelgrave");
    EXPECT_EQ(error->summaryData().productLayoutType(), "Retail");
    EXPECT_GE(error->summaryData().processorCount(), 1);
}

namespace {

class FakeRunner : public VTActionRunner {
  public:
    void setDelegate(VTActionRunnerDelegate* delegate) override { delegate_ = delegate; }
    bool executeActions(platform::Error*) override {
        // Finishes later, on a thread of its own.
        std::thread([this] { delegate_->actionRunnerDidFinish(*this); }).detach();
        return true;
    }
    std::int64_t dataMask() const override { return 0x24; }

  private:
    VTActionRunnerDelegate* delegate_ = nullptr;
};

class FakeManager : public VTActionsManager {
  public:
    std::shared_ptr<VTActionRunner> actionRunnerForPhase(std::int64_t phase, VTError&) override {
        phases.push_back(phase);
        return std::make_shared<FakeRunner>();
    }
    std::shared_ptr<VTActionRunner> actionRunnerForGroup(const platform::Value& group,
                                                         std::int64_t phase, VTError&) override {
        std::lock_guard<std::mutex> lock(mutex);
        groups.push_back(group.get("name")->stringValue() + "@" + std::to_string(phase));
        return std::make_shared<FakeRunner>();
    }
    std::mutex mutex;
    std::vector<std::int64_t> phases;
    std::vector<std::string> groups;
};

// Reads "name" or "empty" manifests into an action group.
class FakeParser : public VTActionsJSONParser {
  public:
    std::optional<platform::Dictionary> parseManifest(const platform::Data& manifest,
                                                      const platform::Dictionary&,
                                                      platform::Error*) override {
        const std::string text(manifest.begin(), manifest.end());
        if (text == "unparsable") return std::nullopt;
        platform::Array actions;
        if (text != "empty") actions.push_back(platform::Value("collect"));
        platform::Dictionary group{{"name", text}, {"actions", actions}};
        return platform::Dictionary{{"VTActionsParserActions", group}};
    }
};

}  // namespace

TEST(VTDataCollectionTest, ActionRunnersFinishBeforeFinalizationAndMergeTheirMask) {
    ClientTree tree;
    auto client = tree.client();
    auto manager = std::make_shared<FakeManager>();
    VTDataCollection collection(client->scdConfiguration(), nullptr, manager);
    auto queue = platform::OperationQueue::create("collection");
    auto error = newError(client);
    error->summaryData().setDetailedDataMask(0x1);
    testsupport::WaitFlag done;
    std::int64_t maskAtFinalize = 0;
    ASSERT_TRUE(collection.startCollectingForError(
        error, std::nullopt, queue, [&](std::shared_ptr<VTError> finished, auto) {
            maskAtFinalize = finished->summaryData().detailedDataMask();
            done.set();
        }));
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(manager->phases, std::vector<std::int64_t>{2});
    EXPECT_EQ(maskAtFinalize, 0x25);
}

TEST(VTDataCollectionTest, ManifestsOfTheConfigurationAndTheCallerBecomeOperations) {
    ClientTree tree;
    VTActionsRegistry::setJSONParserMaker([] { return std::make_shared<FakeParser>(); });
    auto client = tree.client();
    auto configuration = tree.configuration();
    configuration.setLogicalActionManifests(
        platform::Array{"first", "empty", "unparsable", "second"});
    configuration.setCrashActionManifests(platform::Array{"crash-only"});
    auto manager = std::make_shared<FakeManager>();
    VTDataCollection collection(std::make_shared<const VTSCDConfiguration>(configuration), nullptr,
                                manager);
    auto queue = platform::OperationQueue::create("collection");
    testsupport::WaitFlag done;
    ASSERT_TRUE(collection.startCollectingForError(newError(client), std::string("extra"), queue,
                                                   [&](auto, auto) { done.set(); }));
    ASSERT_TRUE(done.wait());
    std::sort(manager->groups.begin(), manager->groups.end());
    EXPECT_EQ(manager->groups, (std::vector<std::string>{"extra@2", "first@2", "second@2"}));
    VTActionsRegistry::setJSONParserMaker({});

    // Without a parser, manifests give nothing.
    EXPECT_FALSE(collection.operationToExecuteJSON("first", newError(client)));
}
