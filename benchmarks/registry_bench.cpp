// Loading and querying a registry of 1,000 and 10,000 modules, next to the
// floor: listing the folder and reading the same property-list files the way
// the registry does, parsed with libplist alone.
//
//   build/benchmarks/registry_bench --benchmark_min_time=0.5
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Foundation/PelLogging.h"
#include "Foundation/PelRegistry.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;

namespace {

// One registry folder per size, made once and removed at exit. In every ten
// modules: a product with five features, five features, an SKU overlaying the
// product, and three shared components.
class Fixture {
  public:
    explicit Fixture(int modules) {
        root_ = fs::temp_directory_path() /
                ("registry_bench_" + std::to_string(getpid()) + "_" + std::to_string(modules));
        fs::path folder = root_ / "Library/Application Support/Pelgrave/Registry";
        fs::create_directories(folder);
        for (int i = 0; i < modules; ++i) {
            Dictionary d;
            std::string id = "com.pelgrave.m" + std::to_string(i);
            d["Identifier"] = id;
            d["Version"] = "1." + std::to_string(i % 50) + ".3f" + std::to_string(i % 600);
            switch (i % 10) {
                case 0: {
                    d["Type"] = "Product";
                    d["UnlocalizedName"] = "Product " + std::to_string(i);
                    Array features;
                    for (int f = 1; f <= 5; ++f)
                        features.emplace_back("com.pelgrave.m" + std::to_string(i + f));
                    d["Features"] = features;
                    products_.push_back(id);
                    break;
                }
                case 6:
                    d["Type"] = "SKU";
                    d["Products"] = Array{Dictionary{
                        {"Match",
                         Dictionary{{"Identifier", "com.pelgrave.m" + std::to_string(i - 6)}}},
                        {"Language", "de"}}};
                    break;
                case 7:
                case 8:
                case 9:
                    d["Type"] = "Component";
                    break;
                default:
                    d["Type"] = "Feature";
                    features_.push_back(id);
            }
            std::string path = (folder / (id + ".plist")).string();
            platform::PropertyList::toFile(platform::Value(d), path,
                                           platform::PropertyListFormat::XML, false, nullptr);
            files_.push_back(path);
        }
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string root() const { return root_.string(); }
    const std::vector<std::string>& files() const { return files_; }
    const std::vector<std::string>& products() const { return products_; }
    const std::vector<std::string>& features() const { return features_; }

  private:
    fs::path root_;
    std::vector<std::string> files_, products_, features_;
};

Fixture& fixture(int modules) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    static std::map<int, std::unique_ptr<Fixture>> made;
    auto& f = made[modules];
    if (!f) f = std::make_unique<Fixture>(modules);
    return *f;
}

void quietLogging() {
    PelLogChannel::Config config = PelLogging::installChannelConfig();
    config.copyToStderr = false;
    config.sendToSystemLog = false;
    PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config));
}

// Reads a whole file as the registry does: open, read in 64 KiB steps, close.
bool readWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return n == 0;
}

// The floor: list the registry folder, then read each module file the way the
// registry does and parse it with libplist, nothing more.
void BM_ReadAndParseFiles(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    const std::string folder = f.root() + "/Library/Application Support/Pelgrave/Registry";
    std::string bytes;
    for (auto _ : state) {
        std::vector<std::string> names;
        DIR* dir = opendir(folder.c_str());
        while (const dirent* entry = dir ? readdir(dir) : nullptr)
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        if (dir) closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (!readWholeFile(folder + "/" + name, bytes)) state.SkipWithError("unreadable");
            plist_t plist = nullptr;
            plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &plist);
            benchmark::DoNotOptimize(plist);
            plist_free(plist);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadAndParseFiles)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_LoadRegistry(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    quietLogging();
    platform::Paths::ScopedRoot root(f.root());
    for (auto _ : state) {
        PelRegistry::Registry registry("/");
        if (registry.moduleCount() != state.range(0)) state.SkipWithError("modules missing");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadRegistry)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_Synchronize(benchmark::State& state) {
    Fixture& f = fixture(static_cast<int>(state.range(0)));
    quietLogging();
    platform::Paths::ScopedRoot root(f.root());
    PelRegistry::Registry registry("/");
    for (auto _ : state) registry.synchronize();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Synchronize)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// One loaded registry per size, shared by the query benchmarks' threads.
PelRegistry::Registry& loadedRegistry(int modules) {
    static std::mutex mutex;
    static std::map<int, std::unique_ptr<PelRegistry::Registry>> registries;
    std::lock_guard lock(mutex);
    auto& registry = registries[modules];
    if (!registry) {
        quietLogging();
        platform::Paths::ScopedRoot root(fixture(modules).root());
        registry = std::make_unique<PelRegistry::Registry>("/");
    }
    return *registry;
}

// Queries on a loaded registry; items per second are queries per second.
template <class Query>
void runQueries(benchmark::State& state, Query query) {
    const int modules = static_cast<int>(state.range(0));
    PelRegistry::Registry& registry = loadedRegistry(modules);
    const Fixture& f = fixture(modules);
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919;
    for (auto _ : state) {
        PelRegistry::Module* m = query(registry, f, i++);
        if (!m) {
            state.SkipWithError("no module");
            break;
        }
        benchmark::DoNotOptimize(m);
        m->Release();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_CopyModuleWithId(benchmark::State& state) {
    runQueries(state, [](PelRegistry::Registry& r, const Fixture& f, std::size_t i) {
        return r.copyModuleWithId(f.products()[i % f.products().size()]);
    });
}
BENCHMARK(BM_CopyModuleWithId)->Arg(1000)->Arg(10000)->ThreadRange(1, 4);

// A feature's version and language come from its owning product and the SKU
// that owns the product.
void BM_InheritedKeysOfFeature(benchmark::State& state) {
    runQueries(state, [](PelRegistry::Registry& r, const Fixture& f, std::size_t i) {
        PelRegistry::Module* m = r.copyModuleWithId(f.features()[i % f.features().size()]);
        if (m) benchmark::DoNotOptimize(m->getLanguage());
        return m;
    });
}
BENCHMARK(BM_InheritedKeysOfFeature)->Arg(1000)->Arg(10000);

void BM_MatchIdentifierAndVersion(benchmark::State& state) {
    runQueries(state, [](PelRegistry::Registry& r, const Fixture& f, std::size_t i) {
        Dictionary match{{"Identifier", f.products()[i % f.products().size()]}, {"Version", "1.*"}};
        return r.copyModuleWithMatchDict(&match);
    });
}
BENCHMARK(BM_MatchIdentifierAndVersion)->Arg(1000)->Arg(10000)->ThreadRange(1, 4);

// Without an identifier every module is looked at; the last one matches.
void BM_MatchSKUScansAll(benchmark::State& state) {
    runQueries(state, [](PelRegistry::Registry& r, const Fixture& f, std::size_t) {
        Dictionary match{{"SKU", "com.pelgrave.m" + std::to_string(f.files().size() - 1)}};
        return r.copyModuleWithMatchDict(&match);
    });
}
BENCHMARK(BM_MatchSKUScansAll)->Arg(1000)->Arg(10000);

}  // namespace
