#include "Engine/PelRequirementsContainer.h"
#include "EngineTestSupport.h"

namespace enginetest {
namespace {

class ProductCheckTest : public EngineFixture {
  protected:
    PelProductCheckUtils& products = PelProductCheckUtils::sharedProductCheck();
    void product(const std::string& file, const std::string& identifier, Dictionary more) {
        more["Type"] = "Product";
        more["Identifier"] = identifier;
        writeModule(file, more);
    }
    bool run(const Dictionary& check) const {
        auto requirement =
            PelRequirement::createRequirement("APP", std::make_shared<PelIE>("t", "m", "ERROR"),
                                              Value(), "InstallMatrix", 1, Value(check), nullptr);
        return requirement->runRequirement();
    }
};

TEST_F(ProductCheckTest, ExistenceVersionAndSKU) {
    product("a.plist", "com.pelgrave.brenmoor", {{"Version", "5.1.0"}, {"SKU", "retail"}});
    // The registry is synchronised on every query, so a module written now counts.
    struct Case {
        std::optional<std::string> id, sku;
        bool with, without;
    } cases[] = {
        {"com.pelgrave.brenmoor", std::nullopt, true, true},
        {"com.pelgrave.brenmoor", "retail", true, false},
        {"com.pelgrave.brenmoor", "ret", false, true},
        {"com.pelgrave.brenmoor", "trial", false, true},
        {"com.pelgrave.other", std::nullopt, false, false},
        {std::nullopt, "retail", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(products.doesProductExistWithSKUID(c.id, c.sku), c.with)
            << c.id.value_or("nil") << c.sku.value_or("");
        EXPECT_EQ(products.doesProductExistWithoutSKUID(c.id, c.sku), c.without)
            << c.id.value_or("nil");
    }
    EXPECT_EQ(products.getVersionForProductID("com.pelgrave.brenmoor"), "5.1.0");
    EXPECT_EQ(products.getSKUForProductID("com.pelgrave.brenmoor"), "retail");
    EXPECT_EQ(products.getVersionForProductID("com.pelgrave.other"), std::nullopt);
    EXPECT_EQ(products.getVersionForProductID(std::nullopt), std::nullopt);
}

TEST_F(ProductCheckTest, SKUFollowedBySkuCountsAsTheSameSKU) {
    product("a.plist", "com.pelgrave.x", {{"SKU", "retailsku"}});
    EXPECT_TRUE(products.doesProductExistWithSKUID("com.pelgrave.x", "retail"));
    EXPECT_FALSE(products.doesProductExistWithoutSKUID("com.pelgrave.x", "retail"));
}

TEST_F(ProductCheckTest, UpgradeAndOverRequirements) {
    product("a.plist", "com.pelgrave.x", {{"Version", "1.0"}, {"SKU", "retail"}});
    struct Case {
        const char* name;
        Dictionary check;
        bool passes;
    } cases[] = {
        {"upgrade installed",
         {{"IMType", "INSTALL_UPGRADE"}, {"PRODUCT_ID", "com.pelgrave.x"}},
         false},
        {"upgrade other sku",
         {{"IMType", "INSTALL_UPGRADE"}, {"PRODUCT_ID", "com.pelgrave.x"}, {"SKU_ID", "trial"}},
         true},
        {"upgrade empty sku is absent",
         {{"IMType", "INSTALL_UPGRADE"}, {"PRODUCT_ID", "com.pelgrave.x"}, {"SKU_ID", ""}},
         false},
        {"upgrade not installed",
         {{"IMType", "INSTALL_UPGRADE"}, {"PRODUCT_ID", "com.pelgrave.y"}},
         true},
        {"over same sku",
         {{"IMType", "INSTALL_OVER"}, {"PRODUCT_ID", "com.pelgrave.x"}, {"SKU_ID", "retail"}},
         false},
        {"over sku must not exist, other installed",
         {{"IMType", "INSTALL_OVER"},
          {"PRODUCT_ID", "com.pelgrave.x"},
          {"SKU_ID", "trial"},
          {"SKU_EXISTS", false}},
         false},
        {"over sku must not exist, same installed",
         {{"IMType", "INSTALL_OVER"},
          {"PRODUCT_ID", "com.pelgrave.x"},
          {"SKU_ID", "retail"},
          {"SKU_EXISTS", false}},
         true},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.check), c.passes) << c.name;
}

TEST_F(ProductCheckTest, GenericLayoutMapsTheOlderFamilysSKU) {
    product("a.plist", "com.pelgrave.brenmoor", {{"SKU", "com.pelgrave.quillonby.retail"}});
    Dictionary upgrade{{"IMType", "INSTALL_UPGRADE"},
                       {"PRODUCT_ID", "com.pelgrave.brenmoor"},
                       {"SKU_ID", "com.pelgrave.brenmoor.Retail"},
                       {"Layout", "GenericQRB"}};
    EXPECT_FALSE(run(upgrade));  // maps to the installed, lower-cased SKU
    upgrade["Layout"] = "Standard";
    EXPECT_TRUE(run(upgrade));

    Dictionary over{{"IMType", "INSTALL_OVER"},
                    {"PRODUCT_ID", "com.pelgrave.brenmoor"},
                    {"LAYOUT_ID", "COM.PELGRAVE.BRENMOOR.layout"},
                    {"SKU_ID", "com.pelgrave.brenmoor.retail"},
                    {"Layout", "GenericQRB"}};
    EXPECT_FALSE(run(over));
    over.erase("LAYOUT_ID");  // without a layout identifier the SKU stays as written
    EXPECT_TRUE(run(over));
}

}  // namespace
}  // namespace enginetest
