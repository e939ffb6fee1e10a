#include <gtest/gtest.h>

#include <memory>

#include "Foundation/PelRegistryModule.h"
#include "Foundation/ZCFObject.h"
#include "RegistryTestSupport.h"

using namespace registrytest;
using namespace PelRegistry;

namespace {

class PelRegistryModuleTest : public RegistryFixture {};

}  // namespace

TEST_F(PelRegistryModuleTest, MakeBuildsEachKindAndRefusesIncompleteFiles) {
    const Value products = Array{};
    struct Case {
        const char* name;
        Value file;
        ModuleType want;  // kModuleTypeUnknown: no module
    } cases[] = {
        {"product", module("Product", "p"), kModuleTypeProduct},
        {"feature", module("Feature", "f"), kModuleTypeFeature},
        {"component", module("Component", "c"), kModuleTypeComponent},
        {"sku", module("SKU", "s", {{"Products", products}}), kModuleTypeSKU},
        {"suite", module("Suite", "u", {{"Products", products}}), kModuleTypeSuite},
        {"layout", module("Layout", "l", {{"Products", products}}), kModuleTypeLayout},
        {"sku without Products", module("SKU", "s"), kModuleTypeUnknown},
        {"suite without Products", module("Suite", "u"), kModuleTypeUnknown},
        {"layout without Products", module("Layout", "l"), kModuleTypeUnknown},
        {"unknown type", module("Gadget", "g"), kModuleTypeUnknown},
        {"type not a string", Dictionary{{"Type", 2}, {"Identifier", "x"}}, kModuleTypeUnknown},
        {"no type", Dictionary{{"Identifier", "x"}}, kModuleTypeUnknown},
        {"no identifier", Dictionary{{"Type", "Product"}}, kModuleTypeUnknown},
        {"not a dictionary", Array{"Product"}, kModuleTypeUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Held m(Module::make(&c.file, nullptr));
        if (c.want == kModuleTypeUnknown) {
            EXPECT_FALSE(m);
            continue;
        }
        ASSERT_TRUE(m);
        EXPECT_EQ(m->getType(), c.want);
        bool isProduct = dynamic_cast<Product*>(m.module) != nullptr;
        bool isSKU = dynamic_cast<SKU*>(m.module) != nullptr;
        EXPECT_EQ(isProduct, c.want == kModuleTypeProduct || c.want == kModuleTypeSuite);
        EXPECT_EQ(isSKU, c.want == kModuleTypeSKU || c.want == kModuleTypeSuite ||
                             c.want == kModuleTypeLayout);
        EXPECT_EQ(dynamic_cast<Layout*>(m.module) != nullptr, c.want == kModuleTypeLayout);
        EXPECT_EQ(dynamic_cast<Feature*>(m.module) != nullptr, c.want == kModuleTypeFeature);
        EXPECT_EQ(dynamic_cast<SharedComponent*>(m.module) != nullptr,
                  c.want == kModuleTypeComponent);
    }
    EXPECT_EQ(Module::make(nullptr, nullptr), nullptr);
}

TEST_F(PelRegistryModuleTest, GettersAndTheirDefaults) {
    Value bare = module("Product", "com.bare");
    Held m(Module::make(&bare, nullptr));
    ASSERT_TRUE(m);
    EXPECT_EQ(*m->getLanguage(), "PelAllLanguages");
    EXPECT_EQ(text(m->getSKU()), "com.bare");
    EXPECT_EQ(m->getVersion(), nullptr);
    EXPECT_EQ(m->copyName(), nullptr);
    EXPECT_TRUE(m->isActive());

    Value full = module("Product", "com.full",
                        {{"SKU", "sku1"},
                         {"Language", "fr"},
                         {"Version", "2.1"},
                         {"Active", false},
                         {"UnlocalizedName", "Full"}});
    Held f(Module::make(&full, nullptr));
    ASSERT_TRUE(f);
    EXPECT_EQ(text(f->getSKU()), "sku1");
    EXPECT_EQ(text(f->getLanguage()), "fr");
    EXPECT_EQ(text(f->getVersion()), "2.1");
    EXPECT_FALSE(f->isActive());
    ZCFObject<std::string> name(f->copyName());
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, "Full");

    // Overlays merge, later values winning; null and empty ones change nothing.
    f->addOverlayInfo(nullptr);
    Dictionary empty;
    f->addOverlayInfo(&empty);
    EXPECT_EQ(text(f->getLanguage()), "fr");
    Dictionary first{{"Language", "de"}, {"Version", "3.0"}};
    Dictionary second{{"Language", "it"}};
    f->addOverlayInfo(&first);
    f->addOverlayInfo(&second);
    EXPECT_EQ(text(f->getLanguage()), "it");
    EXPECT_EQ(text(f->getVersion()), "3.0");
}

// Lookups through overlays, the module's own file and its owners, in a small
// registry:
//   P  product (features F and C, a component) matched by the active SKU S1,
//      whose entry overlays it;
//   F  feature owned by P, matched by the inactive SKU S2 and the active SKU S3.
TEST_F(PelRegistryModuleTest, LookupPrecedence) {
    writeModule("p.plist", module("Product", "com.p",
                                  {{"Version", "1.0"},
                                   {"UnlocalizedName", "P own"},
                                   {"Edition", "pro"},
                                   {"Color", "p"},
                                   {"Features", Array{"com.f", "com.c", 5}}}));
    writeModule("f.plist", module("Feature", "com.f", {{"Flavor", 7}}));
    writeModule("c.plist", module("Component", "com.c"));
    writeModule("s1.plist", module("SKU", "com.s1",
                                   {{"Region", "s1"},
                                    {"Products", Array{Dictionary{{"Match", matchId("com.p")},
                                                                  {"UnlocalizedName", "P from S1"},
                                                                  {"Language", "de"},
                                                                  {"Edition", 3}}}}}));
    writeModule("s2.plist",
                module("SKU", "com.s2",
                       {{"Active", false},
                        {"Channel", "beta"},
                        {"UnlocalizedName", "S2 name"},
                        {"Flavor", "sweet"},
                        {"Products", Array{"not an entry", Dictionary{{"Match", matchId("com.f")},
                                                                      {"Language", "xx"}}}}}));
    writeModule("s3.plist", module("SKU", "com.s3",
                                   {{"Color", "s3"},
                                    {"Products", Array{Dictionary{{"Match", matchId("com.f")}}}}}));
    PelRegistry::Registry registry("/");
    Held p(registry.copyModuleWithId("com.p"));
    Held f(registry.copyModuleWithId("com.f"));
    Held c(registry.copyModuleWithId("com.c"));
    ASSERT_TRUE(p && f && c);

    using T = platform::Value::Type;
    struct Case {
        const char* name;
        Module* m;
        const char* key;
        std::string untyped;
        T type;
        std::string typed;
    } cases[] = {
        {"overlay over own", p.module, "UnlocalizedName", "P from S1", T::String, "P from S1"},
        {"own", p.module, "Version", "1.0", T::String, "1.0"},
        {"overlay of another type falls to own", p.module, "Edition", "3", T::String, "pro"},
        {"active SKU before product", f.module, "Color", "s3", T::String, "s3"},
        {"product when SKUs lack it", f.module, "Version", "1.0", T::String, "1.0"},
        {"owner's overlay", f.module, "Language", "de", T::String, "de"},
        // Only the typed lookup asks the inactive SKU.
        {"inactive SKU", f.module, "Channel", "(none)", T::String, "beta"},
        {"inactive SKU first when typed", f.module, "UnlocalizedName", "P from S1", T::String,
         "S2 name"},
        {"own of another type hides owners", f.module, "Flavor", "7", T::String, "(none)"},
        {"number types are one type", f.module, "Flavor", "7", T::Real, "7"},
        {"owners of owners", f.module, "Region", "s1", T::String, "s1"},
        {"found of another type", f.module, "Region", "s1", T::Bool, "(none)"},
        {"missing", f.module, "Nothing", "(none)", T::String, "(none)"},
        {"component not linked", c.module, "Version", "(none)", T::String, "(none)"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(text(k.m->getKey(k.key)), k.untyped);
        EXPECT_EQ(text(k.m->getKey(k.key, k.type)), k.typed);
    }
    // The inactive SKU gave no overlay, and its own activity is its file's.
    EXPECT_EQ(text(f->getLanguage()), "de");
    Held s2(registry.copyModuleWithId("com.s2"));
    EXPECT_FALSE(s2->isActive());
    EXPECT_EQ(text(c->getLanguage()), "PelAllLanguages");
}

// SKUs whose matches find themselves or each other make owner cycles; every
// lookup must still end (a cycle used to recurse until the stack ran out).
TEST_F(PelRegistryModuleTest, OwnerCyclesEndLookups) {
    auto sku = [](const char* id, const char* matches, Dictionary more = {}) {
        more["Products"] = Array{Dictionary{{"Match", matchId(matches)}}};
        return module("SKU", id, std::move(more));
    };
    writeModule("self.plist", sku("self", "self"));
    writeModule("a.plist", sku("a", "b"));
    writeModule("b.plist", sku("b", "a", {{"Active", false}}));
    // Three SKUs in a ring: asking whether an owner is active comes back round.
    writeModule("x.plist", sku("x", "y"));
    writeModule("y.plist", sku("y", "z"));
    writeModule("z.plist", sku("z", "x", {{"Channel", "z"}}));
    writeModule("suite.plist", module("Suite", "suite",
                                      {{"Features", Array{"suite"}},
                                       {"Products", Array{Dictionary{{"Match", Dictionary{}}}}}}));
    PelRegistry::Registry registry("/");
    ASSERT_EQ(registry.moduleCount(), 7u);

    Module** all = nullptr;
    unsigned n = registry.copyModules(&all);
    ASSERT_EQ(n, 7u);
    for (unsigned i = 0; i < n; ++i) {
        Held m(all[i]);
        SCOPED_TRACE(text(m->getIdentifier()));
        EXPECT_EQ(m->getKey("Missing"), nullptr);
        EXPECT_EQ(m->getKey("Missing", platform::Value::Type::String), nullptr);
        EXPECT_EQ(*m->getLanguage(), "PelAllLanguages");
        m->isActive();
    }
    delete[] all;

    Held a(registry.copyModuleWithId("a"));
    Held x(registry.copyModuleWithId("x"));
    EXPECT_FALSE(a->isActive());  // inherits "Active" from b, which it owns and is owned by
    EXPECT_EQ(text(x->getKey("Channel")), "z");
}
