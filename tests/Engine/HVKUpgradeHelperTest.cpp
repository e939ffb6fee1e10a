#include "Engine/HVKUpgradeHelper.h"
#include "Engine/PelInstallerFramework.h"
#include "Engine/PelRequirementsContainer.h"
#include "EngineTestSupport.h"

namespace enginetest {
namespace {

using Products = std::optional<std::vector<std::string>>;

constexpr const char* kBrenmoor = "com.pelgrave.brenmoor";

class HVKUpgradeHelperTest : public EngineFixture {
  protected:
    ~HVKUpgradeHelperTest() override {
        PelInstallerFramework::sharedInstallerFramework().setPelReqContainer(nullptr);
    }

    // The offered product: a requirement list read into the facade's container.
    std::shared_ptr<PelRequirementsContainer> offer(const std::string& version,
                                                    const std::string& sku) {
        const std::string path = writePlist(dir_.file("Requirements.plist"),
                                            Value(Dictionary{{"PRODUCT_NAME", "Brenmoor"},
                                                             {"PRODUCT_VERSION", version},
                                                             {"PRODUCT_ID", kBrenmoor},
                                                             {"SKU_ID", sku}}));
        platform::Error error;
        auto container = PelRequirementsContainer::createContainerWithRequirements(path, &error);
        EXPECT_TRUE(container) << error.description();
        PelInstallerFramework::sharedInstallerFramework().setPelReqContainer(container);
        return container;
    }
    void installBrenmoor(const std::string& version, const std::string& sku,
                         const std::string& name = "Brenmoor") {
        writeModule("brenmoor.plist", {{"Type", "Product"},
                                       {"Identifier", kBrenmoor},
                                       {"Version", version},
                                       {"SKU", sku},
                                       {"Name", Value(Dictionary{{"en", name}})}});
    }
    static std::shared_ptr<PelRequirement> upgrade(const std::string& product, int id = 1) {
        return PelRequirement::createRequirement(
            "PLUGIN", nullptr, Value("skip-" + std::to_string(id)), "InstallMatrix", Value(id),
            Value(Dictionary{{"IMType", "INSTALL_UPGRADE"}, {"PRODUCT_ID", product}}), nullptr);
    }
    // A partial-install check whose value is not a list always fails.
    static std::shared_ptr<PelRequirement> brokenPartialInstall() {
        return PelRequirement::createRequirement("PLUGIN", nullptr, Value(), "PartialInstall",
                                                 Value(9), Value(Dictionary{}), nullptr);
    }
};

TEST_F(HVKUpgradeHelperTest, VersionAndSKURules) {
    constexpr const char* Q = "com.pelgrave.quillonby";
    constexpr const char* L = "com.pelgrave.lunmark";
    struct Case {
        const char* name;
        std::string installed, installedSKU, offered, offeredSKU;
        bool answer;
        Products products;
        bool newer, reboot, skipped;
        std::string layoutName = "Brenmoor";
    } cases[] = {
        {"newer installed blocks",
         "8.1.0",
         kBrenmoor,
         "8.0.0",
         kBrenmoor,
         false,
         {},
         true,
         false,
         false},
        {"lower major removed without restart", "7.2.0", kBrenmoor, "8.0.0", kBrenmoor, false,
         std::vector<std::string>{kBrenmoor}, false, false, false},
        {"Quillonby over to an endpoint product", "8.0.0", Q, "8.1.0", L, false,
         std::vector<std::string>{kBrenmoor}, false, true, false},
        {"6.0 to 6.1 is removed first", "6.0.3", kBrenmoor, "6.1.0", kBrenmoor, false,
         std::vector<std::string>{kBrenmoor}, false, true, false},
        {"same version settles the requirement",
         "8.0.0",
         kBrenmoor,
         "8.0.0",
         kBrenmoor,
         true,
         {},
         false,
         false,
         true},
        {"same version to the beta counts as newer",
         "8.0.0",
         kBrenmoor,
         "8.0.0",
         "com.pelgrave.brenmoor-beta",
         false,
         {},
         true,
         false,
         false},
        // A version without a build part is not newer than one with it.
        {"7.2 against 7.2.1 is older",
         "7.2",
         kBrenmoor,
         "7.2.1",
         kBrenmoor,
         true,
         {},
         false,
         false,
         true},
        {"installed beta goes", "8.0.0", "com.pelgrave.brenmoor-beta", "8.0.0", kBrenmoor, false,
         std::vector<std::string>{kBrenmoor}, false, true, false},
        // QRB edition (a 5.x Brenmoor with a foreign SKU): settled only for the same layout.
        {"QRB of another layout",
         "5.1.0",
         "xBrenmoorOEM",
         "5.1.0",
         kBrenmoor,
         true,
         {},
         false,
         false,
         false,
         "Brenmoor Home"},
        {"QRB of the same layout",
         "5.1.0",
         "xBrenmoorOEM",
         "5.1.0",
         kBrenmoor,
         true,
         {},
         false,
         false,
         true,
         "Brenmoor OEM Edition"},
    };
    writePlist(platform::Paths::userLibrary("Application Support/Pelgrave/FSD/Requirements.plist"),
               Value(Dictionary{{"PRODUCT_NAME", "OEM Edition for Mac"}}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        installBrenmoor(c.installed, c.installedSKU, c.layoutName);
        auto container = offer(c.offered, c.offeredSKU);
        auto requirement = upgrade(kBrenmoor);
        Products products;
        bool newer = false, reboot = false;
        std::shared_ptr<PelRequirement> failed;
        EXPECT_EQ(HVKUpgradeHelper::productsToUninstall({requirement}, &products, &newer, &reboot,
                                                        &failed),
                  c.answer);
        EXPECT_EQ(products, c.products);
        EXPECT_EQ(newer, c.newer);
        EXPECT_EQ(reboot, c.reboot);
        EXPECT_EQ(failed == requirement, c.newer && !c.answer && c.offeredSKU == kBrenmoor);
        EXPECT_EQ(container->shouldSkipRequirement(Value("skip-1")), c.skipped);
    }
}

TEST_F(HVKUpgradeHelperTest, RemovalsCollectInOrderAndANewerProductThenChangesNothing) {
    installBrenmoor("9.0.0", kBrenmoor);
    writeModule("fennick.plist", {{"Type", "Product"}, {"Identifier", "com.pelgrave.fennick"}});
    offer("8.0.0", kBrenmoor);
    Products products;
    bool newer = false;
    EXPECT_FALSE(HVKUpgradeHelper::productsToUninstall(
        {upgrade("com.pelgrave.fennick"), brokenPartialInstall(), upgrade(kBrenmoor, 2),
         brokenPartialInstall()},
        &products, &newer, nullptr, nullptr));
    EXPECT_EQ(products, (std::vector<std::string>{"com.pelgrave.fennick", kBrenmoor}));
    EXPECT_FALSE(newer);

    // Newer installed first: blocks at once; a null requirement pointer is not written.
    products.reset();
    EXPECT_FALSE(
        HVKUpgradeHelper::productsToUninstall({upgrade(kBrenmoor), upgrade("com.pelgrave.fennick")},
                                              &products, &newer, nullptr, nullptr));
    EXPECT_TRUE(newer);
    EXPECT_FALSE(products);

    // Passing or unrelated requirements, and an empty list, decide nothing.
    products.reset();
    EXPECT_TRUE(HVKUpgradeHelper::productsToUninstall({}, &products, nullptr, nullptr, nullptr));
    EXPECT_TRUE(HVKUpgradeHelper::productsToUninstall(
        {upgrade("com.pelgrave.absent"), upgrade("com.pelgrave.tessvale")}, &products, nullptr,
        nullptr, nullptr));
    EXPECT_FALSE(products);
}

TEST_F(HVKUpgradeHelperTest, WithoutAContainerNothingIsDecided) {
    installBrenmoor("9.0.0", kBrenmoor);
    Products products;
    bool newer = false;
    EXPECT_TRUE(HVKUpgradeHelper::productsToUninstall({upgrade(kBrenmoor), brokenPartialInstall()},
                                                      &products, &newer, nullptr, nullptr));
    EXPECT_FALSE(products);
    EXPECT_FALSE(newer);
}

TEST_F(HVKUpgradeHelperTest, SameQRBLayoutMatchesTheProductNameAndNeverAnEmptyOne) {
    writeModule("brenmoor.plist", {{"Type", "Product"},
                                   {"Identifier", kBrenmoor},
                                   {"Version", "5.2.0"},
                                   {"SKU", "BrenmoorOEM"},
                                   {"Name", Value(Dictionary{{"en", "Brenmoor Home Edition"}})}});
    EXPECT_TRUE(HVKUpgradeHelper::isQRB());
    const std::string list =
        platform::Paths::userLibrary("Application Support/Pelgrave/FSD/Requirements.plist");
    struct Case {
        const char* productName;
        bool same;
    } cases[] = {
        {"home edition for Mac", true}, {"Brenmoor Pro", false}, {"", false}, {" for Mac", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.productName);
        writePlist(list, Value(Dictionary{{"PRODUCT_NAME", c.productName}}));
        EXPECT_EQ(HVKUpgradeHelper::isSameQRBLayoutInstalled(), c.same);
    }
}

TEST_F(HVKUpgradeHelperTest, ComparableVersions) {
    EXPECT_EQ(HVKUpgradeHelper::comparableVersion("7.2"), "7.2.0");
    EXPECT_EQ(HVKUpgradeHelper::comparableVersion("8.1.3f2"), "8.1.3");
    EXPECT_EQ(HVKUpgradeHelper::comparableVersion("0.9"), "0.9");  // outside the grammar: as is
    EXPECT_EQ(HVKUpgradeHelper::comparableVersion(std::nullopt), "0");
}

}  // namespace
}  // namespace enginetest
