#include <gtest/gtest.h>

#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/InstallEngine.h"
#include "Controllers/Core/PluginRegistry.h"
#include "Controllers/IFPluginProtocol.h"

namespace {

class NamedPlugin : public IFPluginProtocol {
  public:
    explicit NamedPlugin(int id) : id(id) {}
    bool respondsTo(IFPluginOperation) const override { return false; }
    void setProgressStatus(unsigned) override {}
    int id;
};

TEST(PluginRegistry, MakesANewInstanceByClassName) {
    int made = 0;
    PluginRegistry::registerPlugin("SeamPlugin",
                                   [&] { return std::make_shared<NamedPlugin>(++made); });
    PluginRegistry::registerPlugin("EmptyPlugin", [] { return nullptr; });
    auto first = PluginRegistry::create("SeamPlugin");
    auto second = PluginRegistry::create("SeamPlugin");
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(static_cast<NamedPlugin&>(*second).id, 2);
    EXPECT_EQ(PluginRegistry::create("EmptyPlugin"), nullptr);
    EXPECT_EQ(PluginRegistry::create("NoSuchPlugin"), nullptr);
    EXPECT_EQ(PluginRegistry::create(""), nullptr);
    PluginRegistry::unregisterPlugin("SeamPlugin");
    PluginRegistry::unregisterPlugin("EmptyPlugin");
    EXPECT_EQ(PluginRegistry::create("SeamPlugin"), nullptr);
}

TEST(FSDFacade, FactoryIsReplaceable) {
    platform::Error error;
    int calls = 0;
    FSDFacade::setFactory([&](const std::optional<std::string>& manifest,
                              const std::optional<std::string>&, const std::string& folder,
                              PelFSDProtocol*, const std::shared_ptr<PelFSDPingUtils>&,
                              platform::Error* out) -> std::shared_ptr<FSDFacade> {
        ++calls;
        EXPECT_EQ(manifest, "m.js");
        EXPECT_EQ(folder, "/downloads");
        *out = platform::Error("FSDErrorDomain", -97);
        return nullptr;
    });
    EXPECT_EQ(FSDFacade::createFSD("m.js", "s.txt", "/downloads", nullptr, nullptr, &error),
              nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(error.code(), -97);
    FSDFacade::setFactory(nullptr);
    // Back to this build's own downloader (none until the downloader's facade
    // is part of it): no crash, no downloader made from nothing.
    (void)FSDFacade::createFSD(std::nullopt, std::nullopt, "", nullptr, nullptr, nullptr);
    InstallEngine::setShared(nullptr);
    (void)InstallEngine::shared();
}

}  // namespace
