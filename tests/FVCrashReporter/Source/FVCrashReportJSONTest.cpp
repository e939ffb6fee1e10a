// Report objects filled from JSON crash dictionaries.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/FVCrashReportTextFormatter.h"
#include "Platform/Values/Json.h"

namespace {

platform::Value parse(const std::string& text) {
    platform::Error error;
    auto value = platform::json::parse(text, &error);
    EXPECT_TRUE(value) << error.description();
    return value ? *value : platform::Value();
}

// A dictionary as crash tools write it; `extra` replaces or adds keys.
platform::Value crashDictionary(const std::string& extra = "") {
    return parse(R"json({
  "images": [
    {"uuid": "0123456789ABCDEF0123456789abcdef", "addr_start": 4096, "addr_end": 8192, "path": "/opt/app/bin/app"},
    {"uuid": "not a uuid", "addr_start": 12288, "addr_end": 16384, "path": "/usr/lib/libc.so"},
    {"uuid": "00112233-4455-6677-8899-AABBCCDDEEFF", "addr_start": 20480, "addr_end": 24576, "path": "/opt/app/lib/libx.so"},
    {"addr_start": 0, "addr_end": 4096, "path": "/zero"},
    {"addr_start": 65536, "addr_end": 32768, "path": "/backwards"},
    {"addr_start": 40960, "addr_end": 40960, "path": "/empty"}
  ],
  "states": {"rip": 4112, "rax": 7},
  "threads": [
    {"number": 0, "crashed": false, "stacktrace": [{"addr": 12300, "offset": 12}]},
    {"number": 3, "crashed": true, "stacktrace": [
      {"addr": 4112, "offset": 16, "symbol": "main"},
      {"addr": 20500, "offset": 20}]}
  ],
  "exception_type": "EXC_BAD_ACCESS (SIGSEGV)",
  "exception_codes": "EXC_I386_GPFLT, KERN_INVALID_ADDRESS at 0x0",
  "process": "Foo [123]",
  "parent_process": "launchd (1)",
  "path": "/opt/app/bin/app",
  "os_version": "10.12.6 (16G29)",
  "date_time": "2024-05-01 14:00:00.250 +0200")json" +
                 extra + "}");
}

double seconds(const FVCrashDate& date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}

}  // namespace

TEST(FVCrashReportJSON, FillsEverySection) {
    auto report = FVCrashReport::init();
    platform::Error error;
    ASSERT_TRUE(report->setValuesForPropertiesFromJSONProxy(crashDictionary(), &error))
        << error.description();

    // Zero addresses, an end below the start and an empty range are skipped.
    ASSERT_EQ(report->images().size(), 3u);
    const auto& app = report->images()[0];
    EXPECT_EQ(app.imageBaseAddress(), 4096u);
    EXPECT_EQ(app.imageSize(), 4096u);
    EXPECT_EQ(app.imageName(), "/opt/app/bin/app");
    EXPECT_FALSE(app.hasImageUUID());  // 32 digits without dashes is not a UUID text
    EXPECT_FALSE(report->images()[1].hasImageUUID());
    EXPECT_EQ(report->images()[2].imageUUID(), "00112233445566778899aabbccddeeff");
    ASSERT_TRUE(app.codeType());
    EXPECT_EQ(app.codeType()->type(), 0x1000007u);
    EXPECT_EQ(app.codeType()->subtype(), 3u);

    // No image claims the addresses of a skipped backwards entry.
    EXPECT_EQ(report->imageForAddress(0x10000), nullptr);
    EXPECT_EQ(report->imageForAddress(0x20000), nullptr);
    EXPECT_EQ(report->imageForAddress(8192), nullptr);  // base + size
    EXPECT_EQ(report->imageForAddress(8191), &report->images()[0]);

    ASSERT_EQ(report->threads().size(), 2u);
    const auto& crashed = report->threads()[1];
    EXPECT_TRUE(crashed.crashed());
    EXPECT_FALSE(report->threads()[0].crashed());
    EXPECT_EQ(crashed.threadNumber(), 3);
    ASSERT_EQ(crashed.stackFrames().size(), 2u);
    EXPECT_EQ(crashed.stackFrames()[0].instructionPointer(), 4112u);
    ASSERT_TRUE(crashed.stackFrames()[0].symbolInfo());
    EXPECT_EQ(crashed.stackFrames()[0].symbolInfo()->symbolName(), "main");
    EXPECT_EQ(crashed.stackFrames()[0].symbolInfo()->startAddress(), 4096u);
    EXPECT_EQ(crashed.stackFrames()[0].symbolInfo()->endAddress(), 0u);
    EXPECT_FALSE(crashed.stackFrames()[1].symbolInfo());
    // One register state, shared by every thread.
    for (const auto& thread : report->threads()) {
        ASSERT_EQ(thread.registers().size(), 2u);
        EXPECT_EQ(thread.registers()[0].registerName(), "rax");
        EXPECT_EQ(thread.registers()[1].registerValue(), 4112u);
    }

    ASSERT_TRUE(report->machExceptionInfo());
    EXPECT_EQ(report->machExceptionInfo()->type(), 1u);
    EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<uint64_t>{1, 13}));

    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processName(), "Foo");
    EXPECT_EQ(report->processInfo()->processID(), 123u);
    EXPECT_EQ(report->processInfo()->parentProcessName(), "launchd");
    EXPECT_EQ(report->processInfo()->parentProcessID(), 1u);
    EXPECT_EQ(report->processInfo()->processPath(), "/opt/app/bin/app");
    EXPECT_TRUE(report->processInfo()->native());

    const auto& system = *report->systemInfo();
    EXPECT_EQ(system.operatingSystem(), 0u);
    EXPECT_EQ(system.operatingSystemVersion(), "10.12.6");
    EXPECT_EQ(system.operatingSystemBuild(), "16G29");
    EXPECT_EQ(system.architecture(), 1u);
    ASSERT_TRUE(system.timestamp());
    EXPECT_DOUBLE_EQ(seconds(*system.timestamp()), 1714564800.25);  // 12:00:00.25 UTC

    EXPECT_FALSE(report->signalInfo());
    EXPECT_FALSE(report->hasMessage());

    // Such a report renders as text too, without application or signal.
    const std::string text =
        FVCrashReportTextFormatter::stringValueForCrashReport(*report, FVCrashReportTextFormatiOS);
    EXPECT_NE(text.find("Process:         Foo [123]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Identifier:      ???\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Exception Type:  ???\n"), std::string::npos) << text;
}

TEST(FVCrashReportJSON, ProcessAndVersionTexts) {
    struct Row {
        const char* process;
        const char* osVersion;
        const char* name;
        uint64_t id;
        const char* version;
        const char* build;
    };
    for (const Row& row : {
             Row{"Foo", "10.12.6", "Foo", 0, "10.12.6", ""},
             Row{"Foo Bar (77)", " 13.1 ( 22C65 ) ", "Foo Bar", 77, "13.1", "22C65"},
             Row{" Foo\n [12] (3)", "6.1.0-18-amd64 (#1 SMP)", "Foo", 12, "6.1.0-18-amd64",
                 "#1 SMP"},
             Row{"Foo [x]", "1.0 )odd(", "Foo", 0, "1.0 )odd(", ""},
         }) {
        auto json = crashDictionary();
        json.set("process", row.process);
        json.set("os_version", row.osVersion);
        auto report = FVCrashReport::init();
        ASSERT_TRUE(report->setValuesForPropertiesFromJSONProxy(json, nullptr)) << row.process;
        EXPECT_EQ(report->processInfo()->processName(), row.name) << row.process;
        EXPECT_EQ(report->processInfo()->processID(), row.id) << row.process;
        EXPECT_EQ(report->systemInfo()->operatingSystemVersion(), row.version) << row.osVersion;
        EXPECT_EQ(report->systemInfo()->operatingSystemBuild(), row.build) << row.osVersion;
    }
}

TEST(FVCrashReportJSON, DatesAndExceptionTexts) {
    struct Row {
        const char* date;
        std::optional<double> seconds;
    };
    for (const Row& row : {
             Row{"2024-05-01 12:00:00.000 +0000", 1714564800.0},
             Row{"2024-05-01 04:00:00.5 -0800", 1714564800.5},
             Row{"2024-05-01 13:00:00.000 GMT+01:00", 1714564800.0},
             Row{"2024-02-29 00:00:00.000 Z", 1709164800.0},
             Row{"2023-02-29 00:00:00.000 +0000", std::nullopt},
             Row{"2024-05-01 12:00:00 +0000", std::nullopt},
             Row{"2024-05-01 12:00:00.000 +0000 trailing", std::nullopt},
             Row{"yesterday", std::nullopt},
             Row{"4048-05-01 12:00:00.000 +0000", std::nullopt},  // beyond the clock
         }) {
        auto json = crashDictionary();
        json.set("date_time", row.date);
        auto report = FVCrashReport::init();
        ASSERT_TRUE(report->setValuesForPropertiesFromJSONProxy(json, nullptr)) << row.date;
        const auto& timestamp = report->systemInfo()->timestamp();
        ASSERT_EQ(timestamp.has_value(), row.seconds.has_value()) << row.date;
        if (row.seconds) {
            EXPECT_DOUBLE_EQ(seconds(*timestamp), *row.seconds) << row.date;
        }
    }

    // Without exception texts: no codes and a type with every bit set.
    auto json = crashDictionary();
    json.erase("exception_type");
    json.set("exception_codes", "KERN_PROTECTION_FAILURE KERN_FAILURE EXC_I386_ENOEXTFLT");
    auto report = FVCrashReport::init();
    ASSERT_TRUE(report->setValuesForPropertiesFromJSONProxy(json, nullptr));
    EXPECT_EQ(report->machExceptionInfo()->type(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<uint64_t>{2, 5, 32}));
}

// Each step that fails stops the fill; what earlier steps set stays set.
TEST(FVCrashReportJSON, FailingSteps) {
    struct Row {
        const char* what;
        std::function<void(platform::Value&)> change;
        bool images, threads, mach, process;
    };
    const Row rows[] = {
        {"only unusable images",
         [](platform::Value& j) {
             j.set("images", parse(R"([{"addr_start": 5, "addr_end": 5}, {"addr_end": 9}])"));
         },
         false, false, false, false},
        {"no dictionary", [](platform::Value& j) { j = parse("[1]"); }, false, false, false, false},
        {"no threads", [](platform::Value& j) { j.set("threads", platform::Array{}); }, true, false,
         false, false},
        {"bracket first", [](platform::Value& j) { j.set("process", "[123] Foo"); }, true, true,
         true, false},
        {"no process", [](platform::Value& j) { j.erase("process"); }, true, true, true, false},
        {"no OS version", [](platform::Value& j) { j.erase("os_version"); }, true, true, true,
         true},
    };
    for (const Row& row : rows) {
        auto json = crashDictionary();
        row.change(json);
        auto report = FVCrashReport::init();
        platform::Error error;
        EXPECT_FALSE(report->setValuesForPropertiesFromJSONProxy(json, &error)) << row.what;
        EXPECT_EQ(error.code(), 2) << row.what;
        EXPECT_EQ(!report->images().empty(), row.images) << row.what;
        EXPECT_EQ(!report->threads().empty(), row.threads) << row.what;
        EXPECT_EQ(report->machExceptionInfo() != nullptr, row.mach) << row.what;
        EXPECT_EQ(report->hasProcessInfo(), row.process) << row.what;
        EXPECT_FALSE(report->systemInfo()) << row.what;
    }
}
