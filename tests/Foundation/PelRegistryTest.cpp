#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <latch>
#include <thread>
#include <vector>

#include "Foundation/PelException.h"
#include "Foundation/PelRegistry.h"
#include "Foundation/ZReadWriteLockTesting.h"
#include "RegistryTestSupport.h"

using namespace registrytest;
using namespace PelRegistry;

namespace {

class PelRegistryTest : public RegistryFixture {
  protected:
    /// The identifiers of every module, in list order.
    static std::vector<std::string> identifiers(Registry& registry) {
        Module** all = nullptr;
        unsigned n = registry.copyModules(&all);
        std::vector<std::string> out;
        for (unsigned i = 0; i < n; ++i) {
            out.push_back(text(all[i]->getIdentifier()));
            all[i]->Release();
        }
        delete[] all;
        return out;
    }
};

}  // namespace

TEST_F(PelRegistryTest, MissingFolderGivesAnEmptyRegistry) {
    Registry registry("/");
    Module** all = reinterpret_cast<Module**>(&all);
    EXPECT_EQ(registry.copyModules(&all), 0u);
    EXPECT_EQ(all, nullptr);
    EXPECT_EQ(registry.copyModuleWithId("x"), nullptr);
    EXPECT_EQ(registry.copyModuleWithId(static_cast<const std::string*>(nullptr)), nullptr);
    Dictionary empty;
    EXPECT_EQ(registry.copyModuleWithMatchDict(&empty), nullptr);
    EXPECT_TRUE(reports_.records().empty());
}

// Queries give the empty answer when the lock cannot be taken; loading and
// synchronising report or throw as before.
TEST_F(PelRegistryTest, QueriesAnswerNothingWhenTheLockCannotBeTaken) {
    writeModule("p.plist", module("Product", "p"));
    Registry registry("/");
    ASSERT_EQ(registry.moduleCount(), 1u);
    Dictionary match{{"Identifier", "p"}};

    ZReadWriteLockFailNextHoldsForTesting(EINVAL, 100);
    Module* found = reinterpret_cast<Module*>(&match);
    Module** all = reinterpret_cast<Module**>(&all);
    EXPECT_NO_THROW(found = registry.copyModuleWithId("p"));
    EXPECT_EQ(found, nullptr);
    EXPECT_NO_THROW(EXPECT_FALSE(registry.isModuleWithIdInstalled("p")));
    EXPECT_NO_THROW(EXPECT_EQ(registry.copyModules(&all), 0u));
    EXPECT_EQ(all, nullptr);
    EXPECT_NO_THROW(EXPECT_EQ(registry.copyModuleWithMatchDict(&match), nullptr));
    EXPECT_NO_THROW(EXPECT_EQ(registry.moduleCount(), 0u));
    EXPECT_THROW(registry.synchronize(), PelException::RuntimeError);
    ZReadWriteLockFailNextHoldsForTesting(0, 0);

    Held again(registry.copyModuleWithId("p"));
    EXPECT_TRUE(again);
}

TEST_F(PelRegistryTest, FileRules) {
    writeModule("b.plist", module("Product", "b"));
    writeModule("B.plist", module("Product", "same", {{"Version", "1.0"}}));
    writeModule("a.plist", module("Product", "same", {{"Version", "2.0"}}));
    writeModule(".hidden.plist", module("Product", "hidden"));
    writeModule("upper.PLIST", module("Product", "upper"));
    writeModule("text.txt", module("Product", "text"));
    writeModule("noext", module("Product", "noext"));
    writeModule("plist", module("Product", "bare"));
    writeModule("no-type.plist", Dictionary{{"Identifier", "no-type"}});
    std::string array =
        writeRaw("array.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>");
    std::string garbage = writeRaw("garbage.plist", "not a property list");
    std::filesystem::create_directories(folder() + "/sub.plist");
    writeModule("sub.plist/inner.plist", module("Product", "inner"));

    Registry registry("/");

    // Bytewise name order: "B" before "a" before "b".
    EXPECT_EQ(identifiers(registry), (std::vector<std::string>{"same", "same", "b"}));
    Held first(registry.copyModuleWithId("same"));
    EXPECT_EQ(text(first->getVersion()), "1.0");
    EXPECT_TRUE(registry.isModuleWithIdInstalled("b"));
    EXPECT_FALSE(registry.isModuleWithIdInstalled("hidden"));

    // Files that cannot be read as a dictionary are reported with their path.
    std::vector<std::string> reported;
    for (const PelErrReportingRecord& r : reports_.records()) {
        EXPECT_EQ(r.component, "PelRegistry");
        EXPECT_EQ(r.failureCode, 0);
        EXPECT_EQ(r.severity, 0);
        const Array* failures = r.data.at("failures").asArray();
        ASSERT_NE(failures, nullptr);
        EXPECT_EQ(*failures->at(0).get("failure"), "PelCFDictionaryCreateWithContentsOfURL");
        reported.push_back(r.data.at("URL").stringValue());
    }
    EXPECT_EQ(reported, (std::vector<std::string>{array, garbage, folder() + "/sub.plist"}));
}

TEST_F(PelRegistryTest, UnreadableFileIsReported) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
    std::string path = writeModule("locked.plist", module("Product", "locked"));
    chmod(path.c_str(), 0);
    Registry registry("/");
    EXPECT_EQ(registry.moduleCount(), 0u);
    auto records = reports_.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].data.at("URL"), path);
}

TEST_F(PelRegistryTest, GenericSOSLeavesTheFirstLayoutOut) {
    const Dictionary layout = module("Layout", "", {{"Products", Array{}}});
    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::vector<std::string> want;
    } cases[] = {
        {"layout alone stays", {"a.layout.plist"}, {"a.layout.plist", "x.plist"}},
        {"genericsos drops it",
         {"a.layout.plist", "Z-GenericSOS.plist"},
         {"x.plist", "Z-GenericSOS.plist"}},
        {"only the first layout",
         {"a.LAYOUT.plist", "b.layout.plist", "genericsos.plist"},
         {"b.layout.plist", "genericsos.plist", "x.plist"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder());
        writeModule("x.plist", module("Product", "x.plist"));
        for (const std::string& f : c.files) {
            Dictionary d =
                f.find("ayout") != std::string::npos || f.find("AYOUT") != std::string::npos
                    ? layout
                    : module("Product", "");
            d["Identifier"] = f;
            writeModule(f, d);
        }
        Registry registry("/");
        std::vector<std::string> got = identifiers(registry);
        std::vector<std::string> want = c.want;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
    }
}

TEST_F(PelRegistryTest, OnlyFileNamesCountForTheLayoutRule) {
    // The registry's own path holds both words; its files hold neither.
    std::string root = dir_.file("genericsos.layout-root");
    platform::Paths::ScopedRoot inner(root, dir_.file("home"));
    std::string registryFolder = root + "/Library/Application Support/Pelgrave/Registry";
    std::filesystem::create_directories(registryFolder);
    platform::PropertyList::toFile(Value(module("Layout", "l", {{"Products", Array{}}})),
                                   registryFolder + "/l.plist", platform::PropertyListFormat::XML,
                                   false, nullptr);
    Registry registry("/");
    EXPECT_TRUE(registry.isModuleWithIdInstalled("l"));
}

TEST_F(PelRegistryTest, MatchDictionaries) {
    writeModule("1.plist", module("Product", "X", {{"Version", "1.5"}, {"SKU", "s"}}));
    writeModule("2.plist", module("Product", "X", {{"Version", "2.0"}, {"Language", "fr"}}));
    writeModule("3.plist", module("Feature", "Y", {{"Version", "1.5b3"}}));
    writeModule("4.plist", module("Feature", "Z", {{"Version", "not a version"}}));
    Registry registry("/");

    struct Case {
        const char* name;
        Dictionary match;
        std::vector<std::string> want;  // identifier:version of every match
    } cases[] = {
        {"empty matches all", {}, {"X:1.5", "X:2.0", "Y:1.5b3", "Z:not a version"}},
        {"identifier", matchId("X"), {"X:1.5", "X:2.0"}},
        {"unknown identifier", matchId("W"), {}},
        {"identifier not a string", {{"Identifier", 5}}, {}},
        {"version wildcard", {{"Identifier", "X"}, {"Version", "1.*"}}, {"X:1.5"}},
        {"later parts left out match any", {{"Version", "1.5"}}, {"X:1.5", "Y:1.5b3"}},
        {"stage", {{"Version", "1.5b*"}}, {"Y:1.5b3"}},
        {"any version", {{"Version", "*.*"}}, {"X:1.5", "X:2.0", "Y:1.5b3"}},
        {"bad match version", {{"Version", "1"}}, {}},
        {"version not a string", {{"Version", 1}}, {}},
        {"sku", {{"SKU", "s"}}, {"X:1.5"}},
        {"sku defaults to identifier", {{"SKU", "Y"}}, {"Y:1.5b3"}},
        {"language", {{"Language", "fr"}}, {"X:2.0"}},
        {"all-languages is no wildcard",
         {{"Language", "PelAllLanguages"}},
         {"X:1.5", "Y:1.5b3", "Z:not a version"}},
        {"language not a string", {{"Language", 1}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Module** found = nullptr;
        unsigned long count = 0;
        bool ok = registry.copyModulesWithMatchDictLocked(&c.match, &found, count);
        std::vector<std::string> got;
        for (unsigned long i = 0; i < count; ++i) {
            got.push_back(text(found[i]->getIdentifier()) + ":" + text(found[i]->getVersion()));
            found[i]->Release();
        }
        delete[] found;
        EXPECT_EQ(ok, !c.want.empty());
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(found == nullptr, c.want.empty());

        Held first(registry.copyModuleWithMatchDict(&c.match));
        EXPECT_EQ(first ? text(first->getIdentifier()) + ":" + text(first->getVersion()) : "",
                  c.want.empty() ? "" : c.want.front());
    }

    // The count limits the results.
    Dictionary all;
    Module** found = nullptr;
    unsigned long count = 2;
    EXPECT_TRUE(registry.copyModulesWithMatchDictLocked(&all, &found, count));
    EXPECT_EQ(count, 2u);
    for (unsigned long i = 0; i < count; ++i) found[i]->Release();
    delete[] found;
    EXPECT_EQ(registry.copyModuleWithMatchDict(nullptr), nullptr);
}

// A module kept across a reload still answers through its owners; the
// replaced graph is freed once nobody holds it (the sanitizer build checks
// that nothing leaks).
TEST_F(PelRegistryTest, SynchronizeReplacesTheGraph) {
    writeModule("p.plist", module("Product", "p", {{"Version", "1.0"}, {"Features", Array{"f"}}}));
    writeModule("f.plist", module("Feature", "f"));
    writeModule(
        "s.plist",
        module("SKU", "s",
               {{"Products", Array{Dictionary{{"Match", matchId("p")}, {"Language", "de"}}}}}));
    writeModule(
        "loop.plist",
        module("SKU", "loop", {{"Products", Array{Dictionary{{"Match", matchId("loop")}}}}}));
    Registry registry("/");
    Held oldFeature(registry.copyModuleWithId("f"));
    ASSERT_TRUE(oldFeature);

    writeModule("p.plist", module("Product", "p", {{"Version", "2.0"}, {"Features", Array{"f"}}}));
    registry.synchronize();
    Held newFeature(registry.copyModuleWithId("f"));
    EXPECT_NE(newFeature.module, oldFeature.module);
    EXPECT_EQ(text(newFeature->getVersion()), "2.0");
    EXPECT_EQ(text(oldFeature->getVersion()), "1.0");
    EXPECT_EQ(text(oldFeature->getLanguage()), "de");

    registry.synchronize();
    registry.synchronize();
    EXPECT_EQ(text(newFeature->getLanguage()), "de");
    EXPECT_EQ(registry.moduleCount(), 4u);
}

TEST_F(PelRegistryTest, QueriesRunWhileAnotherThreadReloads) {
    for (int i = 0; i < 20; ++i) {
        std::string id = "f" + std::to_string(i);
        writeModule(id + ".plist", module("Feature", id));
    }
    writeModule(
        "p.plist",
        module("Product", "p", {{"Version", "1.0"}, {"Features", Array{"f0", "f1", "f2", "f3"}}}));
    Registry registry("/");
    constexpr int kReaders = 4;
    constexpr int kRounds = 200;
    std::latch start(kReaders + 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kReaders; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            std::string id = "f" + std::to_string(t);
            Dictionary match{{"Identifier", id}, {"Version", "1.*"}};
            for (int i = 0; i < kRounds; ++i) {
                Held m(registry.copyModuleWithMatchDict(&match));
                if (!m || text(m->getVersion()) != "1.0") ++wrong;
            }
        });
    }
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds / 10; ++i) registry.synchronize();
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The process-wide registry is made once even when threads race for it. It
// lives for the rest of the process, so the race runs in a child.
TEST_F(PelRegistryTest, ThreadsRacingTheFirstGetShareOneRegistry) {
    writeModule("p.plist", module("Product", "com.pelgrave.brenmoor", {{"Layout", "l"}}));
    writeModule("q.plist", module("Product", "q", {{"Layout", "f"}}));
    writeModule(
        "l.plist",
        module("Layout", "l", {{"BuildName", "QRB"}, {"Channel", "beta"}, {"Products", Array{}}}));
    writeModule("f.plist", module("Feature", "f"));

    auto result = foundationtest::runInChild(
        [] {
            constexpr int kThreads = 8;
            std::latch start(kThreads);
            Registry* seen[kThreads] = {};
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i) {
                threads.emplace_back([&, i] {
                    start.arrive_and_wait();
                    seen[i] = Registry::get();
                });
            }
            for (auto& t : threads) t.join();
            for (Registry* r : seen)
                if (r != seen[0] || !r) return std::string("different registries");
            if (Registry::get() != seen[0]) return std::string("changed");

            std::string out = std::to_string(seen[0]->moduleCount());
            for (const char* id : {kPelRegistryBrenmoorProductID, "q"}) {
                Held m(seen[0]->copyModuleWithId(id));
                auto* product = dynamic_cast<Product*>(m.module);
                if (!product) return std::string("no product");
                Layout* layout = product->copyLayout();
                out += layout
                           ? " " + text(layout->getBuildName()) + "/" + text(layout->getChannel())
                           : std::string(" none");
                if (layout) layout->Release();
            }
            return out;
        },
        false);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "4 QRB/beta none");
}
