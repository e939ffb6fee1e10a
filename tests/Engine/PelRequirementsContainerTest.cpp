#include <gmock/gmock.h>

#include "Controllers/IFPluginProtocol.h"
#include "Engine/PelInstallError.h"
#include "Engine/PelRequirementsContainer.h"
#include "EngineTestSupport.h"

namespace enginetest {
namespace {

class ContainerTest : public EngineFixture {
  protected:
    std::shared_ptr<PelRequirementsContainer> load(const Array& requirements) {
        Dictionary list{{"PRODUCT_NAME", "Ostrel"},
                        {"PRODUCT_VERSION", "5.2"},
                        {"PRODUCT_ID", "com.pelgrave.brenmoor"},
                        {"Requirements", requirements}};
        platform::Error error;
        auto container = PelRequirementsContainer::createContainerWithRequirements(
            writePlist(dir_.file("Requirements.plist"), Value(list)), &error);
        EXPECT_TRUE(container) << error.description();
        return container;
    }
    static std::vector<std::string> ids(const PelRequirementsContainer::Requirements& list) {
        std::vector<std::string> out;
        for (const auto& r : list) out.push_back(r->reqID().description());
        return out;
    }
};

// Checks that pass or fail by themselves, whatever the machine.
const Value kPass = Dictionary{{"MIN_OS", "1.0"}};
const Value kFail = Dictionary{{"MIN_OS", "99.0"}};
const Value kPassPath = Dictionary{{"Path", "/nowhere/App.app"}};
const Value kFailPath = Dictionary{{"Path", "/"}};
const Value kFailCompetitive = Dictionary{{"IMType", "INSTALL_COMPETITIVE"}, {"Path", Array{"/"}}};

TEST_F(ContainerTest, CreationErrors) {
    std::string missingFields =
        writePlist(dir_.file("partial.plist"),
                   Value(Dictionary{{"PRODUCT_NAME", "n"}, {"PRODUCT_VERSION", "1"}}));
    std::string notDictionary = writePlist(dir_.file("array.plist"), Value(Array{"x"}));
    std::string garbage = dir_.write("garbage.plist", "not a property list");
    struct Case {
        std::optional<std::string> path;
        long code;
        std::string message;
    } cases[] = {
        {std::nullopt, -390,
         "Failed to create container with requirements. RequirementsPlistPath is nil"},
        {dir_.file("none.plist"), -377,
         "Failed to create container with requirements. RequirementsPlistPath does not exist at "
         "path: " +
             dir_.file("none.plist")},
        {missingFields, -389,
         "Failed to create container with requirements. Unable to load requirements plist"},
        {notDictionary, -389,
         "Failed to create container with requirements. Unable to load requirements plist"},
        {garbage, -389,
         "Failed to create container with requirements. Unable to load requirements plist"},
    };
    for (const auto& c : cases) {
        platform::Error error;
        EXPECT_FALSE(PelRequirementsContainer::createContainerWithRequirements(c.path, &error));
        EXPECT_EQ(error.domain(), "InstallErrorDomain");
        EXPECT_EQ(error.code(), c.code);
        ASSERT_TRUE(error.userInfoValue("InstallErrorInformation"));
        EXPECT_EQ(error.userInfoValue("InstallErrorInformation")->stringValue(), c.message);
        EXPECT_FALSE(PelRequirementsContainer::createContainerWithRequirements(c.path, nullptr));
    }
}

TEST_F(ContainerTest, ProductFieldsAndAListWithoutRequirementsPasses) {
    Dictionary list{{"PRODUCT_NAME", "Ostrel"}, {"PING_PRODUCT_NAME", "OST"},
                    {"PRODUCT_VERSION", "5.2"}, {"PRODUCT_ID", "com.pelgrave.x"},
                    {"SKU_ID", "sku1"},         {"Layout", "GenericQRB"}};
    auto container = PelRequirementsContainer::createContainerWithRequirements(
        writePlist(dir_.file("r.plist"), Value(list)), nullptr);
    ASSERT_TRUE(container);
    EXPECT_EQ(container->productName(), "Ostrel");
    EXPECT_EQ(container->pingProductName(), "OST");
    EXPECT_EQ(container->productVersion(), "5.2");
    EXPECT_EQ(container->productID(), "com.pelgrave.x");
    EXPECT_EQ(container->skuID(), "sku1");
    EXPECT_EQ(container->layout(), "GenericQRB");
    EXPECT_TRUE(container->requirementsArray().empty());
    std::shared_ptr<PelRequirement> failed;
    EXPECT_TRUE(container->runRequirements(&failed, nullptr));
    EXPECT_FALSE(failed);
}

TEST_F(ContainerTest, EntriesThatCannotBeMadeAreLeftOut) {
    auto container = load({
        entry(1, "Misc", Dictionary{}, {{"PelIE", record("a")}}),
        Dictionary{{"ReqID", 2}, {"PelIE", record("no check")}},         // no check key
        Dictionary{{"Misc", Dictionary{}}, {"PelIE", record("no id")}},  // no ReqID
        entry(4, "PathCheck", kPassPath),                                // APP without record
        entry(5, "PathCheck", kPassPath, {{"Handler", "plugin"}}),       // plug-in may lack one
        entry(6, "Hardware", Dictionary{{"MAX_OS", "11"}}),              // default record
        entry(7, "Hardware", Dictionary{{"BlockOnK32Bit", true}}),       // no default record
        entry(8, "Misc", Dictionary{},
              {{"PelIE", Dictionary{{"title", "t"}}}}),  // incomplete record
        entry("nine", "Misc", Dictionary{}, {{"PelIE", record("n", "warning")}}),
    });
    ASSERT_TRUE(container);
    const auto& list = container->requirementsArray();
    EXPECT_THAT(ids(list), ::testing::ElementsAre("1", "5", "6", "nine"));
    EXPECT_EQ(list[1]->handler(), "PLUGIN");
    EXPECT_FALSE(list[1]->pelIE());
    ASSERT_TRUE(list[2]->pelIE());
    EXPECT_EQ(list[2]->pelIE()->title(), "MAX_OS_title");
    EXPECT_EQ(list[2]->pelIE()->message(), "MAX_OS_body");
    EXPECT_EQ(list[2]->pelIE()->type(), "ERROR");
    EXPECT_EQ(list[3]->pelIE()->type(), "ERROR");  // only "WARNING" exactly makes a warning
}

TEST_F(ContainerTest, FactoryErrorsInOrder) {
    auto ie = std::make_shared<PelIE>("t", "m", "ERROR");
    Value check = Dictionary{};
    struct Case {
        std::string handler;
        std::shared_ptr<PelIE> ie;
        std::optional<std::string> type;
        Value reqID;
        Value check;
        long code;
    } cases[] = {
        {"APP", nullptr, std::nullopt, Value(), Value(), -387},
        {"APP", nullptr, "Misc", Value(), Value(), -376},
        {"APP", nullptr, "Bogus", 1, Value(), -386},
        {"APP", nullptr, "Misc", 1, Value(), -384},
        {"PLUGIN", nullptr, "Misc", 1, Value(), -385},
        {"APP", ie, "Misc", 1, Value(), -385},
    };
    for (const auto& c : cases) {
        platform::Error error;
        EXPECT_FALSE(PelRequirement::createRequirement(c.handler, c.ie, Value(), c.type, c.reqID,
                                                       c.check, &error));
        EXPECT_EQ(error.code(), c.code);
    }
    auto made = PelRequirement::createRequirement("APP", ie, Value(), "PartialInstall", 3,
                                                  Value(Array{}), nullptr);
    ASSERT_TRUE(made);
    EXPECT_TRUE(dynamic_cast<PelPartialInstallRequirement*>(made.get()));
    EXPECT_EQ(made->toString(),
              "Requirement Type:APP\nRequirement Dictionary(\n)\nRequirement Install Exception;tm");
}

TEST_F(ContainerTest, HandlerText) {
    for (const char* plugin : {"PLUGIN", "plugin", "PlugIn"}) {
        Value text(plugin);
        EXPECT_EQ(PelRequirementsContainer::getHandler(&text), "PLUGIN") << plugin;
    }
    Value app("App"), empty(""), number(1);
    for (const Value* v : std::initializer_list<const Value*>{&app, &empty, &number, nullptr})
        EXPECT_EQ(PelRequirementsContainer::getHandler(v), "APP");
}

TEST_F(ContainerTest, GroupsRunInFixedOrder) {
    // File order is rest, competitive, hardware; the hardware failure is the one reported.
    auto container = load({
        entry("rest", "PathCheck", kFailPath, {{"PelIE", record("rest")}}),
        entry("competitive", "InstallMatrix", kFailCompetitive, {{"PelIE", record("competitive")}}),
        entry("hardware", "Hardware", kFail),
    });
    std::shared_ptr<PelRequirement> failed;
    EXPECT_FALSE(container->runRequirements(&failed, nullptr));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->reqID(), Value("hardware"));

    container = load({
        entry("rest", "PathCheck", kFailPath, {{"PelIE", record("rest")}}),
        entry("competitive", "InstallMatrix", kFailCompetitive, {{"PelIE", record("competitive")}}),
        entry("hardware", "Hardware", kPass),
    });
    EXPECT_FALSE(container->runRequirements(&failed, nullptr));
    EXPECT_EQ(failed->reqID(), Value("competitive"));

    // A null out-pointer is allowed.
    EXPECT_FALSE(container->runRequirements(nullptr, nullptr));
}

TEST_F(ContainerTest, FailedWarningIsSkippedOnTheNextRunButAnErrorIsNot) {
    auto container = load({
        entry(1, "PathCheck", kFailPath, {{"PelIE", record("w", "WARNING")}}),
        entry(2, "Hardware", kPass),
    });
    std::shared_ptr<PelRequirement> failed;
    EXPECT_FALSE(container->runRequirements(&failed, nullptr));
    EXPECT_EQ(failed->reqID(), Value(1));
    failed.reset();
    EXPECT_TRUE(container->runRequirements(&failed, nullptr));
    EXPECT_FALSE(failed);

    container = load({entry(1, "PathCheck", kFailPath, {{"PelIE", record("e")}})});
    EXPECT_FALSE(container->runRequirements(&failed, nullptr));
    EXPECT_FALSE(container->runRequirements(&failed, nullptr));
}

TEST_F(ContainerTest, PassedRequirementSkipsALaterOneInALaterGroup) {
    auto container = load({
        entry(10, "PathCheck", kFailPath, {{"PelIE", record("later")}}),
        entry(1, "Hardware", kPass, {{"SkipReqID", 10}}),
    });
    EXPECT_TRUE(container->runRequirements(nullptr, nullptr));
    EXPECT_THAT(container->skipReqTable(), ::testing::ElementsAre(Value(10)));

    // Identifiers compare by value: 10 as a real number is the same identifier.
    PelRequirementsContainer table;
    table.addSkipReqID(Value(10.0));
    table.addSkipReqID(Value(10));
    EXPECT_EQ(table.skipReqTable().size(), 1u);
    EXPECT_FALSE(table.shouldSkipRequirement(Value("10")));
}

class RecordingPlugin : public IFPluginProtocol {
  public:
    bool offersRequirements = true;
    bool answer = true;
    std::vector<std::string> received;
    bool respondsTo(IFPluginOperation op) const override {
        return op == IFPluginOperation::setProgressStatus ||
               (offersRequirements && op == IFPluginOperation::runRequirementsWithPlugin);
    }
    void setProgressStatus(unsigned) override {}
    bool runRequirementsWithPlugin(const Requirements& list) override {
        for (const auto& r : list) received.push_back(r->reqID().description());
        return answer;
    }
};

TEST_F(ContainerTest, PluginRunsItsOwnGroupAfterCompetitiveAndBeforeTheRest) {
    Array list{
        entry("p1", "Hardware", kFail, {{"Handler", "PLUGIN"}}),
        entry("rest", "PathCheck", kFailPath, {{"PelIE", record("rest")}}),
        entry("p2", "Misc", Dictionary{}, {{"Handler", "plugin"}}),
    };
    RecordingPlugin plugin;
    plugin.answer = false;
    std::shared_ptr<PelRequirement> failed;
    auto container = load(list);
    EXPECT_FALSE(container->runRequirements(&failed, &plugin));
    EXPECT_THAT(plugin.received, ::testing::ElementsAre("p1", "p2"));
    EXPECT_FALSE(failed);  // a plug-in failure names no requirement

    // A plug-in that does not offer the operation, or none at all, is passed over.
    plugin.offersRequirements = false;
    plugin.received.clear();
    EXPECT_FALSE(container->runRequirements(&failed, &plugin));
    EXPECT_TRUE(plugin.received.empty());
    EXPECT_EQ(failed->reqID(), Value("rest"));
    EXPECT_FALSE(container->runRequirements(&failed, nullptr));
    EXPECT_EQ(failed->reqID(), Value("rest"));
}

}  // namespace
}  // namespace enginetest
