// Packing an error's payload next to the floor: the 7-Zip program `7zz`
// packing the same files with the same settings (LZMA2 at level 6 on one
// thread, libarchive's defaults; or stored). The error holds a summary, its
// data file and about 4 MB of logs: 3 MB of syslog-like text, 1 MB of JSON
// and one tiny file. At the end the ratios (ours / 7zz) of time and size are
// printed (means over repetitions).
//
//   build/benchmarks/payload_bench --benchmark_min_time=1 --benchmark_repetitions=3
#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTErrorPayload.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Deterministic text that compresses like real logs: recurring shapes with
// varying numbers, names and words.
class Words {
  public:
    std::uint32_t next() {
        state_ = state_ * 1664525u + 1013904223u;
        return state_ >> 8;
    }
    const char* pick(const std::vector<const char*>& list) { return list[next() % list.size()]; }

  private:
    std::uint32_t state_ = 12345;
};

std::string syslogText(std::size_t size) {
    static const std::vector<const char*> processes = {
        "kernel", "systemd", "NetworkManager", "pelinstaller", "dbus-daemon", "cron", "sshd"};
    static const std::vector<const char*> words = {
        "started",  "stopped",  "connection", "from",     "to",        "failed",
        "retrying", "session",  "opened",     "closed",   "for",       "user",
        "root",     "download", "package",    "verified", "signature", "bytes",
        "received", "timeout",  "after",      "seconds",  "state",     "changed"};
    Words w;
    std::string text;
    char line[512];
    while (text.size() < size) {
        int n = std::snprintf(
            line, sizeof line, "Dec %2u %02u:%02u:%02u host %s[%u]: ", 1 + w.next() % 28,
            w.next() % 24, w.next() % 60, w.next() % 60, w.pick(processes), 100 + w.next() % 30000);
        text.append(line, static_cast<std::size_t>(n));
        const int count = 4 + static_cast<int>(w.next() % 10);
        for (int i = 0; i < count; ++i) {
            text += w.pick(words);
            if (w.next() % 5 == 0) text += " 0x" + std::to_string(w.next());
            text += ' ';
        }
        text += "\n";
    }
    text.resize(size);
    return text;
}

std::string jsonText(std::size_t size) {
    static const std::vector<const char*> keys = {"id",   "name", "state",    "progress",
                                                  "path", "size", "checksum", "retries"};
    Words w;
    std::string text = "[\n";
    char item[512];
    while (text.size() < size) {
        int n = std::snprintf(item, sizeof item,
                              "  {\"%s\": %u, \"%s\": \"item-%u\", \"%s\": %u.%02u, "
                              "\"%s\": \"/var/tmp/pel/%08x.pkg\"},\n",
                              w.pick(keys), w.next() % 100000, w.pick(keys), w.next() % 5000,
                              w.pick(keys), w.next() % 100, w.next() % 100, w.pick(keys), w.next());
        text.append(item, static_cast<std::size_t>(n));
    }
    text.resize(size);
    return text;
}

// One saved error with its logs, made once and removed at exit.
class Fixture {
  public:
    Fixture() {
        root_ = fs::temp_directory_path() / ("payload_bench_" + std::to_string(getpid()));
        fs::create_directories(root_);
        configuration_ =
            VTSCDConfiguration::hardcodedConfigurationUsingPath((root_ / "base").string());
        configuration_.setMaxFileAttachmentSizeBytes(0);
        client_ = VTClient::embeddedClientWithConfig(configuration_, nullptr);
        error_ = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, client_);
        error_->summaryData().setFailureUUID(VTUUID::UUID());
        error_->summaryData().setBucketId(0xbe9c);
        add("system.log", syslogText(3 << 20));
        add("state.json", jsonText(1 << 20));
        add("marker", "done\n");
        if (!error_->save(nullptr)) std::fprintf(stderr, "payload_bench: cannot save the error\n");
        folder_ = *error_->fileURL();
        for (const auto& entry : fs::directory_iterator(folder_))
            files_.push_back(entry.path().filename().string());
    }
    ~Fixture() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    const std::shared_ptr<VTErrorInstance>& error() const { return error_; }
    VTSCDConfiguration configuration(bool compress) const {
        VTSCDConfiguration copy = configuration_;
        copy.setCompressPayload(compress);
        return copy;
    }
    const std::string& folder() const { return folder_; }
    const std::vector<std::string>& files() const { return files_; }
    std::string scratch(const std::string& name) const { return (root_ / name).string(); }

  private:
    void add(const std::string& identifier, const std::string& text) {
        if (!error_->addDetailData(platform::Data(text.begin(), text.end()), identifier,
                                   std::nullopt, nullptr))
            std::fprintf(stderr, "payload_bench: cannot add %s\n", identifier.c_str());
    }

    fs::path root_;
    VTSCDConfiguration configuration_;
    std::shared_ptr<VTClient> client_;
    std::shared_ptr<VTErrorInstance> error_;
    std::string folder_;
    std::vector<std::string> files_;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Payload(benchmark::State& state) {
    const bool compress = state.range(0) != 0;
    const VTSCDConfiguration configuration = fixture().configuration(compress);
    std::size_t size = 0;
    for (auto _ : state) {
        std::optional<platform::DispatchData> data;
        VTErrorPayload::payloadDataWithError(fixture().error(), configuration, &data, nullptr);
        if (!data) {
            state.SkipWithError("payload failed");
            return;
        }
        size = data->size();
        benchmark::DoNotOptimize(size);
    }
    state.counters["archive_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_Payload)
    ->ArgName("compress")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SevenZip(benchmark::State& state) {
    const bool compress = state.range(0) != 0;
    const std::string out = fixture().scratch("floor.7z");
    // Level 0 makes 7zz store the entries (method Copy).
    std::vector<std::string> args = {"7zz", "a", "-t7z"};
    if (compress)
        args.insert(args.end(), {"-m0=lzma2", "-mx=6"});
    else
        args.push_back("-mx=0");
    args.insert(args.end(), {"-mmt=1", "-bd", "-bso0", "-bsp0", out});
    for (const auto& name : fixture().files()) args.push_back(name);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, fixture().folder().c_str());
    std::size_t size = 0;
    for (auto _ : state) {
        fs::remove(out);
        pid_t pid = 0;
        int status = 0;
        if (posix_spawnp(&pid, "7zz", &actions, nullptr, argv.data(), environ) != 0 ||
            waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("7zz failed (is the Debian package 7zip installed?)");
            break;
        }
        size = fs::file_size(out);
    }
    posix_spawn_file_actions_destroy(&actions);
    state.counters["archive_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_SevenZip)
    ->ArgName("compress")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The layer's own floor: plain libarchive calls writing the same files into
// memory with the same format and compression.
void BM_Libarchive(benchmark::State& state) {
    const bool compress = state.range(0) != 0;
    std::size_t size = 0;
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        std::vector<std::vector<std::uint8_t>> out;
        struct archive* a = archive_write_new();
        archive_write_set_format_7zip(a);
        archive_write_set_format_option(a, "7zip", "compression", compress ? "lzma2" : "copy");
        archive_write_set_bytes_per_block(a, 0);
        archive_write_open(
            a, &out, nullptr,
            [](struct archive*, void* context, const void* bytes,
               std::size_t length) -> la_ssize_t {
                auto* chunks = static_cast<std::vector<std::vector<std::uint8_t>>*>(context);
                const auto* begin = static_cast<const std::uint8_t*>(bytes);
                chunks->emplace_back(begin, begin + length);
                return static_cast<la_ssize_t>(length);
            },
            nullptr);
        for (const auto& name : fixture().files()) {
            const std::string path = fixture().folder() + "/" + name;
            struct archive_entry* entry = archive_entry_new();
            archive_entry_set_pathname(entry, name.c_str());
            archive_entry_set_mode(entry, AE_IFREG | 0644);
            archive_entry_set_size(entry, static_cast<la_int64_t>(fs::file_size(path)));
            archive_write_header(a, entry);
            archive_entry_free(entry);
            const int fd = ::open(path.c_str(), O_RDONLY);
            ssize_t n;
            while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
                archive_write_data(a, buffer.data(), static_cast<std::size_t>(n));
            ::close(fd);
        }
        archive_write_close(a);
        archive_write_free(a);
        size = 0;
        for (const auto& chunk : out) size += chunk.size();
    }
    state.counters["archive_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_Libarchive)
    ->ArgName("compress")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Prints the table as usual, then the ratios against the floor.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                // Repetitions: the mean of them.
                auto& [sum, count] = times_[run.benchmark_name()];
                sum += run.GetAdjustedRealTime();
                ++count;
                if (auto size = run.counters.find("archive_bytes"); size != run.counters.end())
                    sizes_[run.benchmark_name()] = size->second.value;
            }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* arg : {"1", "0"}) {
            const std::string ours = std::string("BM_Payload/compress:") + arg + "/real_time";
            const std::string floor = std::string("BM_SevenZip/compress:") + arg + "/real_time";
            if (!times_.count(ours) || !times_.count(floor) || mean(floor) <= 0) continue;
            std::printf("compress=%s: time %.2fx, size %.3fx of 7zz", arg, mean(ours) / mean(floor),
                        sizes_[ours] / sizes_[floor]);
            const std::string plain = std::string("BM_Libarchive/compress:") + arg + "/real_time";
            if (times_.count(plain) && mean(plain) > 0)
                std::printf("; time %.2fx of plain libarchive", mean(ours) / mean(plain));
            std::printf("\n");
        }
    }

  private:
    double mean(const std::string& name) {
        const auto& [sum, count] = times_[name];
        return count ? sum / count : 0;
    }

    std::map<std::string, std::pair<double, int>> times_;
    std::map<std::string, double> sizes_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
