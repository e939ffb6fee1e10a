// Report objects built from packed report messages.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/FVCrashReportTextFormatter.h"

namespace {

// A complete report message with one thread and one image; tests change
// parts of it before packing.
struct MessageFixture {
    Fvcrash__CrashReport report = FVCRASH__CRASH_REPORT__INIT;
    Fvcrash__CrashReport__SystemInfo system = FVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Fvcrash__CrashReport__ApplicationInfo application =
        FVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Fvcrash__CrashReport__Signal signal = FVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Fvcrash__CrashReport__Signal__MachException mach =
        FVCRASH__CRASH_REPORT__SIGNAL__MACH_EXCEPTION__INIT;
    Fvcrash__CrashReport__Thread thread = FVCRASH__CRASH_REPORT__THREAD__INIT;
    Fvcrash__CrashReport__Thread* threads[1] = {&thread};
    Fvcrash__CrashReport__Thread__StackFrame frame =
        FVCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
    Fvcrash__CrashReport__Thread__StackFrame* frames[1] = {&frame};
    Fvcrash__CrashReport__Symbol symbol = FVCRASH__CRASH_REPORT__SYMBOL__INIT;
    Fvcrash__CrashReport__Thread__RegisterValue reg =
        FVCRASH__CRASH_REPORT__THREAD__REGISTER_VALUE__INIT;
    Fvcrash__CrashReport__Thread__RegisterValue* regs[1] = {&reg};
    Fvcrash__CrashReport__BinaryImage image = FVCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
    Fvcrash__CrashReport__BinaryImage* images[1] = {&image};
    Fvcrash__CrashReport__ReportInfo info = FVCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    Fvcrash__CrashReport__MachineInfo machine = FVCRASH__CRASH_REPORT__MACHINE_INFO__INIT;
    Fvcrash__CrashReport__Processor processor = FVCRASH__CRASH_REPORT__PROCESSOR__INIT;
    uint8_t uuidBytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                             0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    std::vector<uint64_t> codes;

    MessageFixture() {
        system.os_version = const_cast<char*>("6.1.0");
        system.architecture = FVCRASH__ARCHITECTURE__X86_64;
        system.timestamp = 1714564800;
        application.identifier = const_cast<char*>("com.example.app");
        application.version = const_cast<char*>("1.0");
        signal.name = const_cast<char*>("SIGSEGV");
        signal.code = const_cast<char*>("SEGV_MAPERR");
        signal.address = 0x10;
        symbol.name = const_cast<char*>("main");
        symbol.start_address = 0x1000;
        frame.pc = 0x1010;
        frame.symbol = &symbol;
        reg.name = const_cast<char*>("rip");
        reg.value = 0x1010;
        thread.n_frames = 1;
        thread.frames = frames;
        thread.n_registers = 1;
        thread.registers = regs;
        thread.crashed = 1;
        image.base_address = 0x1000;
        image.size = 0x100;
        image.name = const_cast<char*>("/usr/bin/app");
        image.has_uuid = 1;
        image.uuid = {16, uuidBytes};
        report.system_info = &system;
        report.application_info = &application;
        report.signal = &signal;
        report.n_threads = 1;
        report.threads = threads;
        report.n_binary_images = 1;
        report.binary_images = images;
    }

    std::vector<uint8_t> pack() const {
        std::vector<uint8_t> bytes(8 + fvcrash__crash_report__get_packed_size(&report));
        memcpy(bytes.data(), "fvcrash\x01", 8);
        fvcrash__crash_report__pack(&report, bytes.data() + 8);
        return bytes;
    }
};

std::string decodeFailure(const std::vector<uint8_t>& bytes) {
    platform::Error error;
    auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), &error);
    if (report) return "";
    EXPECT_EQ(error.code(), 2);
    return error.localizedDescription();
}

}  // namespace

TEST(FVCrashReportObjects, DecodingAndBuildingFailures) {
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"eight bytes", [] { return std::vector<uint8_t>{'f', 'v', 'c', 'r', 'a', 's', 'h', 1}; },
         "Could not decode truncated crash log"},
        {"bad header",
         [] {
             auto b = MessageFixture().pack();
             b[0] = 'x';
             return b;
         },
         "Could not decode invalid crash log header"},
        {"version 2", [] { return std::vector<uint8_t>{'f', 'v', 'c', 'r', 'a', 's', 'h', 2, 0}; },
         "Could not decode unsupported crash report version: 2"},
        {"missing required field",
         [] {
             MessageFixture f;
             f.report.signal = nullptr;
             return f.pack();
         },
         "An unknown error occured decoding the crash report"},
        {"15-byte report uuid",
         [] {
             MessageFixture f;
             f.info.has_uuid = 1;
             f.info.uuid = {15, f.uuidBytes};
             f.report.report_info = &f.info;
             return f.pack();
         },
         "Report UUID value is not a standard 16 bytes"},
        {"no threads",
         [] {
             MessageFixture f;
             f.report.n_threads = 0;
             return f.pack();
         },
         "Crash report is missing thread state information"},
        {"no images",
         [] {
             MessageFixture f;
             f.report.n_binary_images = 0;
             return f.pack();
         },
         "Crash report is missing binary image information"},
        {"256 mach codes",
         [] {
             MessageFixture f;
             f.codes.assign(256, 1);
             f.mach.n_codes = f.codes.size();
             f.mach.codes = f.codes.data();
             f.signal.mach_exception = &f.mach;
             return f.pack();
         },
         "Crash report includes too many Mach Exception codes"},
        {"unknown architecture without machine",
         [] {
             MessageFixture f;
             f.system.architecture = FVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN;
             return f.pack();
         },
         "Crash report has an unknown architecture"},
    };
    for (const Case& c : cases) EXPECT_EQ(decodeFailure(c.bytes()), c.message) << c.name;
}

TEST(FVCrashReportObjects, BuildsEverySection) {
    MessageFixture f;
    f.info.has_uuid = 1;
    f.info.uuid = {16, f.uuidBytes};
    f.report.report_info = &f.info;
    f.codes = {1, 0x10};
    f.mach.type = 1;
    f.mach.n_codes = 2;
    f.mach.codes = f.codes.data();
    f.signal.mach_exception = &f.mach;
    const auto bytes = f.pack();
    platform::Error error;
    auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), &error);
    ASSERT_TRUE(report) << error.localizedDescription();

    ASSERT_TRUE(report->uuidRef());
    EXPECT_EQ((*report->uuidRef())[15], 0xff);
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->hasExceptionInfo());
    // Without machine information the processor comes from the architecture.
    const auto& processor = report->systemInfo()->processorInfo();
    ASSERT_TRUE(processor);
    EXPECT_EQ(processor->typeEncoding(), 1u);
    EXPECT_EQ(processor->type(), 0x1000007u);
    EXPECT_EQ(processor->subtype(), 3u);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(*report->systemInfo()->timestamp()), 1714564800);
    EXPECT_EQ(report->signalInfo()->code(), "SEGV_MAPERR");
    ASSERT_TRUE(report->machExceptionInfo());
    EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<uint64_t>{1, 0x10}));
    ASSERT_EQ(report->threads().size(), 1u);
    const auto& frame = report->threads()[0].stackFrames().at(0);
    EXPECT_EQ(frame.instructionPointer(), 0x1010u);
    EXPECT_EQ(frame.symbolInfo()->symbolName(), "main");
    EXPECT_EQ(frame.symbolInfo()->endAddress(), 0u);
    EXPECT_EQ(report->threads()[0].registers().at(0).registerName(), "rip");
    EXPECT_EQ(report->images().at(0).imageUUID(), "00112233445566778899aabbccddeeff");

    EXPECT_EQ(report->imageForAddress(0x1000), &report->images()[0]);
    EXPECT_EQ(report->imageForAddress(0x10ff), &report->images()[0]);
    EXPECT_EQ(report->imageForAddress(0x1100), nullptr);
    EXPECT_EQ(report->imageForAddress(0xfff), nullptr);
}

TEST(FVCrashReportObjects, MachineProcessorWinsOverArchitecture) {
    MessageFixture f;
    f.processor.has_encoding = 1;
    f.processor.encoding = FVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    f.processor.type = 12;
    f.processor.subtype = 9;
    f.machine.processor = &f.processor;
    f.machine.processor_count = 4;
    f.report.machine_info = &f.machine;
    f.image.has_uuid = 0;
    const auto bytes = f.pack();
    auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), nullptr);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->systemInfo()->processorInfo()->type(), 12u);
    EXPECT_EQ(report->machineInfo()->processorCount(), 4u);
    EXPECT_FALSE(report->images()[0].hasImageUUID());

    // A time centuries away (a damaged report) gives no date.
    f.system.timestamp = int64_t{1} << 40;
    const auto far = f.pack();
    report = FVCrashReport::initWithData(far.data(), far.size(), nullptr);
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->systemInfo()->timestamp());
}

// A report file can carry any int32 in an enum field; values the enum does
// not know read as its "unknown" value (and never as an enum out of range).
TEST(FVCrashReportObjects, EnumFieldsOutsideTheirTypeReadAsUnknown) {
    const auto store = [](auto* field, int32_t value) { memcpy(field, &value, sizeof value); };
    for (int32_t raw : {-1, -2147483647 - 1, 7, 1000}) {
        MessageFixture f;
        store(&f.system.architecture, raw);
        EXPECT_EQ(decodeFailure(f.pack()), "Crash report has an unknown architecture") << raw;

        f.system.has_operating_system = 1;
        store(&f.system.operating_system, raw);
        f.processor.has_encoding = 1;
        store(&f.processor.encoding, raw);
        f.processor.type = 7;
        f.machine.processor = &f.processor;
        f.report.machine_info = &f.machine;
        const auto bytes = f.pack();
        auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), nullptr);
        ASSERT_TRUE(report) << raw;
        EXPECT_EQ(report->systemInfo()->architecture(),
                  uint32_t{FVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN});
        EXPECT_EQ(report->systemInfo()->operatingSystem(),
                  uint32_t{FVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN});
        EXPECT_EQ(report->machineInfo()->processorInfo()->typeEncoding(), 0u);
    }
}

namespace {

std::shared_ptr<FVCrashReport> build(const MessageFixture& f) {
    const auto bytes = f.pack();
    platform::Error error;
    auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), &error);
    EXPECT_TRUE(report) << error.localizedDescription();
    return report;
}

}  // namespace

TEST(FVCrashReportTextFormatter, RendersTheClassicLayout) {
    MessageFixture f;
    Fvcrash__CrashReport__ProcessInfo process = FVCRASH__CRASH_REPORT__PROCESS_INFO__INIT;
    process.process_name = const_cast<char*>("app");
    process.process_id = 42;
    process.process_path = const_cast<char*>("/usr/bin/app");
    process.parent_process_name = const_cast<char*>("bash");
    process.parent_process_id = 1;
    f.report.process_info = &process;
    f.processor.has_encoding = 1;
    f.processor.encoding = FVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    f.processor.type = 0x1000007;
    f.processor.subtype = 3;
    f.image.code_type = &f.processor;
    f.system.os_build = const_cast<char*>("B1");
    auto report = build(f);
    ASSERT_TRUE(report);
    const std::string expected =
        "Incident Identifier: ???\n"
        "CrashReporter Key:   TODO\n"
        "Hardware Model:      ???\n"
        "Process:         app [42]\n"
        "Path:            /usr/bin/app\n"
        "Identifier:      com.example.app\n"
        "Version:         1.0\n"
        "Code Type:       X86-64\n"
        "Parent Process:  bash [1]\n"
        "\n"
        "Date/Time:       2024-05-01 12:00:00 +0000\n"
        "OS Version:      Mac OS X 6.1.0 (B1)\n"
        "Report Version:  104\n"
        "\n"
        "Exception Type:  SIGSEGV\n"
        "Exception Codes: SEGV_MAPERR at 0x10\n"
        "Crashed Thread:  0\n"
        "\n"
        "Thread 0 Crashed:\n"
        "0   app                                 0x0000000000001010 main + 16\n"
        "\n"
        "Thread 0 crashed with X86-64 Thread State:\n"
        "   rip: 0x0000000000001010 \n"
        "\n"
        "Binary Images:\n"
        "            0x1000 -             0x10ff +app x86_64  <00112233445566778899aabbccddeeff> "
        "/usr/bin/app\n";
    EXPECT_EQ(
        FVCrashReportTextFormatter::stringValueForCrashReport(*report, FVCrashReportTextFormatiOS),
        expected);
}

TEST(FVCrashReportTextFormatter, MissingValuesSizeZeroImagesAndSymbolPrefixes) {
    MessageFixture f;
    f.image.size = 0;
    f.image.has_uuid = 0;
    auto report = build(f);
    ASSERT_TRUE(report);
    const std::string text =
        FVCrashReportTextFormatter::stringValueForCrashReport(*report, FVCrashReportTextFormatiOS);
    EXPECT_NE(text.find("Process:         ??? [???]\nPath:            ???\n"), std::string::npos);
    EXPECT_NE(text.find("Parent Process:  ??? [???]\n"), std::string::npos);
    EXPECT_NE(
        text.find("            0x1000 -             0x1000  app ?\?\?  <?\?\?> /usr/bin/app\n"),
        std::string::npos)
        << text;

    struct Row {
        int os;
        const char* expected;
    };
    for (const Row& row : {Row{0, "main + 16"}, Row{3, "_main + 16"}}) {
        MessageFixture g;
        g.system.has_operating_system = 1;
        g.system.operating_system =
            static_cast<Fvcrash__CrashReport__SystemInfo__OperatingSystem>(row.os);
        g.symbol.name = const_cast<char*>("_main");
        auto r = build(g);
        ASSERT_TRUE(r);
        const std::string line = FVCrashReportTextFormatter::formatStackFrame(
            r->threads()[0].stackFrames()[0], 0, *r, true);
        EXPECT_EQ(line, std::string("0   app                                 0x0000000000001010 ") +
                            row.expected)
            << row.os;
    }
}
