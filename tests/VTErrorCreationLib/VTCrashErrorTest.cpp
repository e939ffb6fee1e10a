// Crash errors made from packed crash reports.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/FVCrashReporterError.h"
#include "Platform/Values/Json.h"
#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTCrashError.h"

using vtclienttest::ClientTree;

namespace {

std::string le64(std::uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

std::uint64_t crcOf(const std::string& bytes) {
    return crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

// A report whose crashed thread runs through libc, a library in
// /usr/local/lib and a program in /usr/bin.
struct CrashMessage {
    Fvcrash__CrashReport report = FVCRASH__CRASH_REPORT__INIT;
    Fvcrash__CrashReport__SystemInfo system = FVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Fvcrash__CrashReport__ApplicationInfo application =
        FVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Fvcrash__CrashReport__Signal signal = FVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Fvcrash__CrashReport__Signal__MachException mach =
        FVCRASH__CRASH_REPORT__SIGNAL__MACH_EXCEPTION__INIT;
    Fvcrash__CrashReport__ProcessInfo process = FVCRASH__CRASH_REPORT__PROCESS_INFO__INIT;
    Fvcrash__CrashReport__Thread thread = FVCRASH__CRASH_REPORT__THREAD__INIT;
    Fvcrash__CrashReport__Thread* threads[1] = {&thread};
    Fvcrash__CrashReport__Thread__StackFrame frames[3];
    Fvcrash__CrashReport__Thread__StackFrame* framePointers[3] = {&frames[0], &frames[1],
                                                                  &frames[2]};
    Fvcrash__CrashReport__Exception exception = FVCRASH__CRASH_REPORT__EXCEPTION__INIT;
    Fvcrash__CrashReport__BinaryImage images[3];
    Fvcrash__CrashReport__BinaryImage* imagePointers[3] = {&images[0], &images[1], &images[2]};
    std::vector<std::uint64_t> codes;

    CrashMessage() {
        system.os_version = const_cast<char*>("6.1.0");
        system.architecture = FVCRASH__ARCHITECTURE__X86_64;
        system.timestamp = 1714564800;
        application.identifier = const_cast<char*>("prog");
        application.version = const_cast<char*>("1");
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("11x");
        process.process_name = const_cast<char*>("prog");
        process.process_id = 42;
        process.process_path = const_cast<char*>("/usr/bin/prog");
        const char* paths[3] = {"/lib/x86_64-linux-gnu/libc.so.6", "/usr/local/lib/libdemo.so",
                                "/usr/bin/prog"};
        for (int i = 0; i < 3; ++i) {
            fvcrash__crash_report__binary_image__init(&images[i]);
            images[i].base_address = 0x1000 + 0x2000 * static_cast<std::uint64_t>(i);
            images[i].size = 0x1000;
            images[i].name = const_cast<char*>(paths[i]);
            fvcrash__crash_report__thread__stack_frame__init(&frames[i]);
            frames[i].pc = images[i].base_address + 0x10 * static_cast<std::uint64_t>(i + 1);
        }
        thread.crashed = 1;
        thread.thread_number = 3;
        thread.n_frames = 3;
        thread.frames = framePointers;
        report.system_info = &system;
        report.application_info = &application;
        report.signal = &signal;
        report.process_info = &process;
        report.n_threads = 1;
        report.threads = threads;
        report.n_binary_images = 3;
        report.binary_images = imagePointers;
    }

    std::vector<std::uint8_t> pack() const {
        std::vector<std::uint8_t> bytes(8 + fvcrash__crash_report__get_packed_size(&report));
        std::memcpy(bytes.data(), "fvcrash\x01", 8);
        fvcrash__crash_report__pack(&report, bytes.data() + 8);
        return bytes;
    }

    std::shared_ptr<FVCrashReport> decode() const {
        const auto bytes = pack();
        return FVCrashReport::initWithData(bytes.data(), bytes.size(), nullptr);
    }
};

}  // namespace

TEST(VTCrashErrorTest, SystemImageRule) {
    struct Row {
        const char* path;
        bool system;
    };
    for (const Row& row :
         {Row{"/lib/x86_64-linux-gnu/libc.so.6", true},
          Row{"/usr/lib/x86_64-linux-gnu/libm.so.6", true}, Row{"/usr/local/lib/libdemo.so", false},
          Row{"/usr/bin/prog", false}, Row{"/opt/pelgrave/bin/app", false}})
        EXPECT_EQ(VTCrashError::isOperatingSystemImage(row.path), row.system) << row.path;
}

TEST(VTCrashErrorTest, ModulesBucketAndStackHash) {
    ClientTree tree;
    auto client = tree.client();
    CrashMessage m;
    auto crash = VTCrashError::initWithCrashReport(m.decode(), "", client);
    ASSERT_TRUE(crash);
    const VTErrorProperties& summary = crash->summaryData();
    EXPECT_EQ(summary.failureType(), kVTFailureTypeCrash);
    EXPECT_EQ(summary.failureSeverity(), 1);
    EXPECT_EQ(summary.exceptionCode(), 11u);
    EXPECT_EQ(summary.threadNumber(), 3);
    EXPECT_EQ(summary.threadName(), "Thread 3");
    EXPECT_EQ(summary.processID(), 42);
    EXPECT_EQ(summary.failureTime()->secondsSince1970, 1714564800.0);
    EXPECT_EQ(summary.moduleName(), "libc.so.6");
    EXPECT_EQ(summary.moduleOffset(), 0x10u);
    EXPECT_EQ(summary.failureAddress(), 0x1010u);
    EXPECT_EQ(summary.pelgraveModuleName(), "libdemo.so");
    EXPECT_EQ(summary.pelgraveModuleOffset(), 0x20u);
    EXPECT_EQ(summary.pelgraveProcessName(), "prog");
    EXPECT_EQ(summary.stackHash(), crcOf("libdemo.so" + le64(0x20) + "prog" + le64(0x30)));
    EXPECT_EQ(summary.bucketId(), crcOf(le64(11) + "libdemo.so" + le64(0x20)));
}

TEST(VTCrashErrorTest, ExceptionCodes) {
    ClientTree tree;
    auto client = tree.client();
    struct Row {
        const char* signalCode;
        bool mach;
        std::uint64_t expected;
    };
    for (const Row& row :
         {Row{"11x", true, 0x10002}, Row{"11x", false, 11}, Row{"SEGV_MAPERR", false, 0}}) {
        CrashMessage m;
        m.signal.code = const_cast<char*>(row.signalCode);
        m.codes = {0x10002};
        if (row.mach) {
            m.mach.type = 1;
            m.mach.n_codes = 1;
            m.mach.codes = m.codes.data();
            m.signal.mach_exception = &m.mach;
        }
        auto crash = VTCrashError::initWithCrashReport(m.decode(), "", client);
        ASSERT_TRUE(crash);
        EXPECT_EQ(crash->summaryData().exceptionCode(), row.expected) << row.signalCode;
    }
}

TEST(VTCrashErrorTest, SystemOnlyBacktraceWalksTheCrashedThreadAgain) {
    ClientTree tree;
    auto client = tree.client();
    CrashMessage m;
    Fvcrash__CrashReport__Thread__StackFrame* systemFrame[1] = {&m.frames[0]};
    m.exception.name = const_cast<char*>("E");
    m.exception.reason = const_cast<char*>("R");
    m.exception.n_frames = 1;
    m.exception.frames = systemFrame;
    m.report.exception = &m.exception;
    auto crash = VTCrashError::initWithCrashReport(m.decode(), "", client);
    ASSERT_TRUE(crash);
    EXPECT_EQ(crash->summaryData().moduleName(), "libc.so.6");
    EXPECT_EQ(crash->summaryData().pelgraveModuleName(), "libdemo.so");
    EXPECT_EQ(crash->summaryData().stackHash(),
              crcOf("libdemo.so" + le64(0x20) + "prog" + le64(0x30)));
}

TEST(VTCrashErrorTest, FromADumpFileSavedAndReopened) {
    ClientTree tree;
    auto client = tree.client();
    const auto bytes = CrashMessage().pack();
    const std::string path = tree.temp().write(
        "report.fvcrash", std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    platform::Error error;
    auto crash = client->createErrorFromCrashDumpURL(path, &error);
    ASSERT_TRUE(crash) << error.description();
    EXPECT_TRUE(crash->infoForDetailDataWithIdentifier("FVCrashReport"));
    ASSERT_TRUE(crash->save(&error)) << error.description();
    auto reopened = client->createErrorFromPersistentData(*crash->fileURL(), 1, &error);
    ASSERT_TRUE(reopened) << error.description();
    EXPECT_TRUE(std::dynamic_pointer_cast<VTCrashError>(reopened));
    EXPECT_EQ(reopened->summaryData().bucketId(), crash->summaryData().bucketId());

    // A truncated file gives the decoding error.
    const std::string truncated = tree.temp().write("short.fvcrash", "fvcrash");
    platform::Error decoding;
    EXPECT_FALSE(client->createErrorFromCrashDumpURL(truncated, &decoding));
    EXPECT_EQ(decoding.code(), 2);
}

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

platform::Value parseJSON(const std::string& text) {
    auto value = platform::json::parse(text, nullptr);
    EXPECT_TRUE(value) << text;
    return value ? *value : platform::Value();
}

// The search seams set for one test and restored after it.
struct SearchSeams {
    double failureTime = 1000000.0;
    std::map<std::string, double> offsets;  // by file name; others lie at 0 s
    std::vector<double> sleeps;

    SearchSeams() {
        VTCrashError::resetCrashDirectories();
        VTCrashError::setCollectSleeper(
            [this](std::chrono::duration<double> seconds) { sleeps.push_back(seconds.count()); });
        VTCrashError::setCreationDateReader([this](const std::string& path) {
            const auto it = offsets.find(std::filesystem::path(path).filename().string());
            return std::optional<double>(failureTime + (it == offsets.end() ? 0.0 : it->second));
        });
    }
    ~SearchSeams() {
        VTCrashError::setCollectSleeper({});
        VTCrashError::setCreationDateReader({});
        VTCrashError::resetCrashDirectories();
    }
};

}  // namespace

TEST(VTCrashErrorTest, FromAJSONDictionary) {
    ClientTree tree;
    auto client = tree.client();

    platform::Error error;
    EXPECT_FALSE(VTCrashError::errorFromCrashJSONData(platform::Value(), client, &error));
    EXPECT_EQ(error.domain(), VTErrorDomain);
    EXPECT_EQ(error.code(), kVTErrorMissingIdentity);
    EXPECT_FALSE(
        VTCrashError::errorFromCrashJSONData(parseJSON(R"({"images": []})"), client, &error));
    EXPECT_EQ(error.domain(), FVCrashReporterErrorDomain);
    EXPECT_EQ(error.code(), 2);

    // The packed report's stack as a dictionary, with a Mach part.
    const std::string text = R"json({
      "images": [
        {"uuid": "00112233-4455-6677-8899-AABBCCDDEEFF", "addr_start": 4096, "addr_end": 8192, "path": "/lib/x86_64-linux-gnu/libc.so.6"},
        {"uuid": "", "addr_start": 12288, "addr_end": 16384, "path": "/usr/local/lib/libdemo.so"},
        {"uuid": "", "addr_start": 20480, "addr_end": 24576, "path": "/usr/bin/prog"}],
      "states": {"rip": 4112},
      "threads": [{"number": 3, "crashed": true, "stacktrace": [
        {"addr": 4112, "offset": 16}, {"addr": 12320, "offset": 32, "symbol": "demo"},
        {"addr": 20528, "offset": 48}]}],
      "exception_type": "EXC_BAD_ACCESS (SIGSEGV)",
      "exception_codes": "KERN_INVALID_ADDRESS at 0x0000000000000000",
      "process": "prog [42]", "parent_process": "sh [1]", "path": "/usr/bin/prog",
      "os_version": "6.1.0 (Debian)", "date_time": "2024-05-01 12:00:00.000 +0000"})json";
    auto crash = VTCrashError::errorFromCrashJSONData(parseJSON(text), client, &error);
    ASSERT_TRUE(crash);
    const VTErrorProperties& summary = crash->summaryData();
    EXPECT_EQ(summary.exceptionCode(), 0x10001u);
    EXPECT_EQ(summary.processID(), 42);
    EXPECT_EQ(summary.failureTime()->secondsSince1970, 1714564800.0);
    EXPECT_EQ(summary.moduleName(), "libc.so.6");
    EXPECT_EQ(summary.moduleGUID()->UUIDString(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(summary.pelgraveModuleName(), "libdemo.so");
    EXPECT_EQ(summary.stackHash(), crcOf("libdemo.so" + le64(0x20) + "prog" + le64(0x30)));
    EXPECT_EQ(summary.bucketId(), crcOf(le64(0x10001) + "libdemo.so" + le64(0x20)));

    // The dictionary travels with the error.
    ASSERT_TRUE(crash->infoForDetailDataWithIdentifier("CrashJSON"));
    EXPECT_EQ(parseJSON(readText(*crash->fileURL() + "/CrashJSON")), parseJSON(text));
}

TEST(VTCrashErrorTest, ARefusedCrashErrorLeavesNoCopyBehind) {
    ClientTree tree;
    auto client = tree.client();
    const auto bytes = CrashMessage().pack();
    const std::string path = tree.temp().write(
        "report.fvcrash", std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    std::ofstream(tree.base() + "/ofgDisabled").put('\n');
    EXPECT_FALSE(client->createErrorFromCrashDumpURL(path, nullptr));
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(platform::Paths::temporaryDirectory()))
        EXPECT_NE(entry.path().filename(), "FVCrashReport") << entry.path();
    EXPECT_TRUE(std::filesystem::exists(path));
}

// The operating system's crash logs: name, extension, time window, and
// nothing reached through a link or owned by another account.
TEST(VTCrashErrorTest, CrashLogSearchInAFolder) {
    namespace fs = std::filesystem;
    ClientTree tree;
    SearchSeams seams;
    auto crash = VTCrashError::initWithCrashReport(CrashMessage().decode(), "", tree.client());
    ASSERT_TRUE(crash);
    crash->summaryData().setProcessName(std::string("ABCDEFGHIJKLMNOPQRS"));
    crash->summaryData().setFailureTime(platform::Date{seams.failureTime});

    const std::string dir = tree.temp().file("DiagnosticReports");
    const std::string prefix = "ABCDEFGHIJKLMNOP_";
    // Decoys, each at 0 s unless placed otherwise.
    tree.temp().write("DiagnosticReports/.ABCDEFGHIJKLMNOP_hidden.crash", "x");
    tree.temp().write("DiagnosticReports/.cache/ABCDEFGHIJKLMNOP_inhidden.crash", "x");
    tree.temp().write("DiagnosticReports/ABCDEFGHIJKLMNOP_notes.txt", "x");
    tree.temp().write("DiagnosticReports/Other_2016-01-01-120000_host.crash", "x");
    tree.temp().write("DiagnosticReports/" + prefix + "eight.crash", "x");
    tree.temp().write("DiagnosticReports/" + prefix + "early.crash", "x");
    seams.offsets[prefix + "eight.crash"] = 8.0;
    seams.offsets[prefix + "early.crash"] = -8.5;
    const std::string secret = tree.temp().write("secret.txt", "another user's file");
    fs::create_symlink(secret, dir + "/" + prefix + "link.crash");
    tree.temp().write("elsewhere/" + prefix + "outside.crash", "x");
    fs::create_directory_symlink(tree.temp().file("elsewhere"), dir + "/linked");
    fs::create_directory_symlink(dir, dir + "/loop");
    ASSERT_EQ(mkfifo((dir + "/" + prefix + "fifo.crash").c_str(), 0600), 0);
    if (geteuid() == 0) {
        const std::string foreign =
            tree.temp().write("DiagnosticReports/" + prefix + "foreign.crash", "x");
        ASSERT_EQ(chown(foreign.c_str(), 4242, 4242), 0);
    }
    EXPECT_EQ(crash->URLForAppleCrashReportInDirectory(dir), std::nullopt);

    // 5 s in a subfolder, then 3 s, then 2 s away: the closest wins.
    const std::string five = tree.temp().write(
        "DiagnosticReports/sub/deeper/" + prefix + "2016-01-01-120000_host.crash", "5");
    seams.offsets[prefix + "2016-01-01-120000_host.crash"] = -5.0;
    EXPECT_EQ(crash->URLForAppleCrashReportInDirectory(dir), five);
    const std::string three = tree.temp().write("DiagnosticReports/" + prefix + "three.crash", "3");
    seams.offsets[prefix + "three.crash"] = 3.0;
    EXPECT_EQ(crash->URLForAppleCrashReportInDirectory(dir), three);
    const std::string two = tree.temp().write("DiagnosticReports/" + prefix + "two.crash", "2");
    seams.offsets[prefix + "two.crash"] = -2.0;
    EXPECT_EQ(crash->URLForAppleCrashReportInDirectory(dir), two);

    // A folder that is itself a link is not searched; no process name, no match.
    fs::create_directory_symlink(dir, tree.temp().file("alias"));
    EXPECT_EQ(crash->URLForAppleCrashReportInDirectory(tree.temp().file("alias")), std::nullopt);
    crash->summaryData().setProcessName(std::nullopt);
    EXPECT_EQ(crash->URLForAppleCrashReportInDirectory(dir), std::nullopt);
}

TEST(VTCrashErrorTest, CollectAttachesTheSystemCrashLogOnce) {
    ClientTree tree;
    SearchSeams seams;

    // The search folders: the user's and the machine's, then every account's.
    const auto homes = VTCrashError::allHomeLibraryDirectories();
    const auto folders = VTCrashError::allCrashDirectories();
    ASSERT_GE(homes.size(), 2u);
    EXPECT_EQ(homes[0], platform::Paths::userLibrary(""));
    EXPECT_EQ(homes[1], platform::Paths::resolve("/Library"));
    ASSERT_EQ(folders.size(), homes.size());
    for (size_t i = 0; i < homes.size(); ++i)
        EXPECT_EQ(folders[i], homes[i] + "/Logs/DiagnosticReports");
    if (const passwd* rootAccount = getpwuid(0)) {
        EXPECT_NE(std::find(homes.begin(), homes.end(),
                            platform::Paths::resolve(rootAccount->pw_dir) + "/Library"),
                  homes.end());
    }

    auto crash = VTCrashError::initWithCrashReport(CrashMessage().decode(), "", tree.client());
    ASSERT_TRUE(crash);
    seams.failureTime = crash->summaryData().failureTime()->secondsSince1970 + 1;
    const std::string log =
        platform::Paths::userLibrary("Logs/DiagnosticReports/prog_2024-05-01-120001_host.crash");
    std::filesystem::create_directories(std::filesystem::path(log).parent_path());
    std::ofstream(log) << "Process: prog [42]\n";

    EXPECT_EQ(crash->collect(nullptr), 1);
    EXPECT_EQ(seams.sleeps, std::vector<double>{10.0});
    auto info = crash->infoForDetailDataWithIdentifier("AppleCrashReport");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("description").stringValue(), "Apple CrashReport file");
    EXPECT_EQ(info->at("originalPath").stringValue(), log);
    EXPECT_EQ(readText(*crash->fileURL() + "/AppleCrashReport"), "Process: prog [42]\n");

    // Attached already: no second wait.
    EXPECT_EQ(crash->collect(nullptr), 0);
    EXPECT_EQ(seams.sleeps.size(), 1u);

    // No log of this process.
    crash->summaryData().setProcessName(std::string("other"));
    crash->removeDetailDataWithIdentifier("AppleCrashReport", nullptr);
    EXPECT_EQ(crash->collect(nullptr), 0);
    EXPECT_EQ(seams.sleeps.size(), 2u);
}
