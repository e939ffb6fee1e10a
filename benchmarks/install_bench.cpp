// Installing a sample package and blessing the install helper, next to their
// floors: extracting the same payload with libarchive alone, and starting a
// program and waiting for it.
//
//   build/benchmarks/install_bench --benchmark_min_time=0.5
// The blessing benchmarks need root and are skipped otherwise.
#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "Foundation/PelLogging.h"
#include "Platform/System/Paths.h"
#include "Platform/System/ServiceManagement.h"
#include "installer/PelPkgInstall.h"
#include "mkpkg/MkPkg.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLabel = "com.pelgrave.PelInstallHelper";

// A root folder with a signed sample package: 40 files of 16 KiB in 4 folders.
class Fixture {
  public:
    Fixture() {
        base_ = fs::temp_directory_path() / ("install_bench_" + std::to_string(getpid()));
        fs::create_directories(base_ / "root");
        platform::Paths::setRoot((base_ / "root").string());
        mkpkg::Component component;
        component.identifier = "com.pelgrave.bench";
        for (int d = 0; d < 4; ++d) {
            const std::string folder = "./opt/bench/d" + std::to_string(d);
            if (d == 0) {
                component.payload.push_back(
                    {"./opt", mkpkg::PayloadEntry::Kind::Directory, "", "", 0755});
                component.payload.push_back(
                    {"./opt/bench", mkpkg::PayloadEntry::Kind::Directory, "", "", 0755});
            }
            component.payload.push_back(
                {folder, mkpkg::PayloadEntry::Kind::Directory, "", "", 0755});
            for (int f = 0; f < 10; ++f)
                component.payload.push_back({folder + "/f" + std::to_string(f),
                                             mkpkg::PayloadEntry::Kind::File,
                                             std::string(16384, char('a' + f)), "", 0644});
        }
        const auto key = devsign::PrivateKey::loadPEM(PEL_DEV_KEYS_DIR
                                                      "/package-signing.DEVELOPMENT-ONLY.key.pem");
        devsign::XarSigning signing{
            &key,
            {devsign::loadCertificatePEM(PEL_DEV_KEYS_DIR "/package-signing.cert.pem"),
             devsign::loadCertificatePEM(PEL_DEV_KEYS_DIR "/root-ca.cert.pem")}};
        const auto package = mkpkg::buildComponentPackage(component, signing);
        packagePath_ = (base_ / "sample.pkg").string();
        devsign::writeFile(packagePath_, std::string(package.begin(), package.end()));
        const auto payload = mkpkg::buildPayload(component.payload);
        payloadPath_ = (base_ / "payload").string();
        devsign::writeFile(payloadPath_, std::string(payload.begin(), payload.end()));

        bundle_ = (base_ / "Bench.app").string();
        fs::create_directories(bundle_ + "/Contents/Library/LaunchServices");
        fs::copy_file(PEL_INSTALL_HELPER_PATH,
                      bundle_ + "/Contents/Library/LaunchServices/" + kLabel);
    }
    ~Fixture() {
        if (geteuid() == 0) platform::SMRemoveJobAsRoot(kLabel, nullptr);
        std::error_code ec;
        fs::remove_all(base_, ec);
    }
    const std::string& packagePath() const { return packagePath_; }
    const std::string& payloadPath() const { return payloadPath_; }
    const std::string& bundle() const { return bundle_; }
    fs::path root() const { return base_ / "root"; }

  private:
    fs::path base_;
    std::string packagePath_, payloadPath_, bundle_;
};

Fixture& fixture() {
    static Fixture* f = [] {
        PelLogChannel::Config config = PelLogging::installChannelConfig();
        config.copyToStderr = false;
        config.sendToSystemLog = false;
        PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config));
        return new Fixture();
    }();
    return *f;
}

void BM_SampleInstall(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        const auto result = pkginstall::installPackage(f.packagePath(), "/", {});
        if (result.status != 0) state.SkipWithError("the install failed");
    }
}
BENCHMARK(BM_SampleInstall)->Unit(benchmark::kMillisecond);

// Floor: the payload alone, extracted by libarchive with no checks at all.
void BM_SampleInstallFloor(benchmark::State& state) {
    Fixture& f = fixture();
    const fs::path target = f.root() / "floor";
    fs::create_directories(target);
    for (auto _ : state) {
        const fs::path saved = fs::current_path();
        fs::current_path(target);
        archive* reader = archive_read_new();
        archive_read_support_filter_all(reader);
        archive_read_support_format_all(reader);
        archive* writer = archive_write_disk_new();
        archive_write_disk_set_options(writer, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME);
        archive_read_open_filename(reader, f.payloadPath().c_str(), 1 << 16);
        archive_entry* entry;
        while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
            archive_write_header(writer, entry);
            const void* block;
            size_t size;
            la_int64_t offset;
            while (archive_read_data_block(reader, &block, &size, &offset) == ARCHIVE_OK)
                archive_write_data_block(writer, block, size, offset);
            archive_write_finish_entry(writer);
        }
        archive_read_free(reader);
        archive_write_free(writer);
        fs::current_path(saved);
    }
}
BENCHMARK(BM_SampleInstallFloor)->Unit(benchmark::kMillisecond);

void BM_Bless(benchmark::State& state) {
    if (geteuid() != 0) {
        state.SkipWithError("needs root");
        return;
    }
    Fixture& f = fixture();
    for (auto _ : state) {
        platform::Error error;
        if (!platform::SMBlessHelperAsRoot(f.bundle(), kLabel, 0, &error))
            state.SkipWithError(error.description().c_str());
    }
}
BENCHMARK(BM_Bless)->Unit(benchmark::kMillisecond);

// Floor: starting a program and waiting for it to end.
void BM_BlessFloor(benchmark::State& state) {
    for (auto _ : state) {
        pid_t pid;
        char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
        if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) == 0) {
            int status;
            waitpid(pid, &status, 0);
        }
    }
}
BENCHMARK(BM_BlessFloor)->Unit(benchmark::kMillisecond);

}  // namespace
