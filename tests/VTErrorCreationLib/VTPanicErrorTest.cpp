#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>

#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/VTApplePanicReportParser.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTPanicError.h"
#include "VTErrorCreationLib/VTPanicScanners.h"

using vtclienttest::ClientTree;

namespace {

constexpr const char* kReport =
    "Anonymous UUID:       0F3A2C4E-1B2D-4E5F-8A9B-0C1D2E3F4A5B\n"
    "\n"
    "Thu Jun 15 17:36:27 2017\n"
    "panic(cpu 0 caller 0xffffff80002a1b2c): \"zone 12 exhausted at 0x1234abcd\"@/src/zone.c:123\n"
    "Backtrace (CPU 0), Frame : Return Address\n"
    "0xffffff80a3e0bc30 : 0xffffff8000201000 \n"
    "0xffffff80a3e0bc80 : 0xffffff7f80a00100 \n"
    "0xffffff80a3e0bcd0 : 0xffffff7f80b00020 \n"
    "      Kernel Extensions in backtrace:\n"
    "         com.pelgrave.kext.Demo(1.2.3)[01234567-89AB-CDEF-0123-456789ABCDEF]"
    "@0xffffff7f80a00000->0xffffff7f80a10fff\n"
    "         com.other.kext(2.0b1)[11111111-2222-3333-4444-555555555555]"
    "@0xffffff7f80b00000->0xffffff7f80b01000\n"
    "\n"
    "BSD process name corresponding to current thread: kernel_task\n"
    "Backtrace (CPU 1), Frame : Return Address\n"
    "0xffffff80a3e0bd20 : 0xffffff8000209999 \n"
    "\n"
    "Mac OS version:\n"
    "16G29\n"
    "\n"
    "Kernel version:\n"
    "Darwin Kernel Version 16.7.0: Thu Jun 15 17:36:27 PDT 2017; "
    "root:xnu-3789.70.16~2/RELEASE_X86_64\n"
    "Kernel UUID: 1B2E3F40-5A6B-7C8D-9E0F-A1B2C3D4E5F6\n"
    "System uptime in nanoseconds: 123456789000\n";

std::unique_ptr<VTApplePanicReportParser> parsed(const std::string& text, bool* ok = nullptr) {
    auto parser = std::make_unique<VTApplePanicReportParser>(text);
    platform::Error error;
    const bool result = parser->parse(&error);
    if (ok) *ok = result;
    return parser;
}

}  // namespace

TEST(VTApplePanicReportParserTest, ReadsAWholeReport) {
    bool ok = false;
    auto parser = parsed(kReport, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(parser->UUID()->UUIDString(), "0F3A2C4E-1B2D-4E5F-8A9B-0C1D2E3F4A5B");
    ASSERT_TRUE(parser->panicDate());
    EXPECT_EQ(parser->panicReason(), "\"zone <NUM> exhausted at <HEX>\"");
    EXPECT_EQ(parser->systemUptime(), 123456789000.0);  // nanoseconds, as written
    EXPECT_EQ(parser->kernelVersion(), "16.7.0");
    EXPECT_EQ(parser->kernelUUID()->UUIDString(), "1B2E3F40-5A6B-7C8D-9E0F-A1B2C3D4E5F6");
    // The second backtrace section is ignored.
    EXPECT_EQ(
        parser->backtraceFrames(),
        (std::vector<std::uint64_t>{0xffffff8000201000, 0xffffff7f80a00100, 0xffffff7f80b00020}));
    ASSERT_EQ(parser->modules().size(), 2u);
    const VTKernelModule& demo = parser->modules()[0];
    EXPECT_EQ(demo.identifier, "com.pelgrave.kext.Demo");
    EXPECT_EQ(demo.version, "1.2.3");
    EXPECT_EQ(demo.UUID, "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_EQ(demo.loadAddress, 0xffffff7f80a00000u);
    EXPECT_EQ(demo.imageSize, 0x10fffu);
    // No text base: the default one, with the kernel module made on the way.
    EXPECT_EQ(parser->rebasedFrames(), (std::vector<std::uint64_t>{0x1000, 0x100, 0x20}));
    ASSERT_TRUE(parser->kernel());
    EXPECT_EQ(parser->kernel()->identifier, "com.apple.mach");
    EXPECT_EQ(parser->kernel()->version, "16.7.0");
    // A second parse answers from the first.
    EXPECT_TRUE(parser->parse(nullptr));
}

TEST(VTApplePanicReportParserTest, PanicTextNormalisation) {
    struct Case {
        const char* line;
        const char* reason;
        int faultCode;
    };
    for (const Case& c : {
             Case{"panic(cpu 0 caller 0xffffff80002a1b2c): Kernel trap at 0xffffff7f8234a1b4, "
                  "type 14=page fault, registers:",
                  "page fault", 14},
             Case{"panic(cpu 2 caller 0xffffff800aa3c0f1): zone 12 exhausted at "
                  "0x1234abcd@/src/zone.c:123",
                  "zone <NUM> exhausted at <HEX>", 0},
             Case{"panic(cpu 1 caller 0x1): Kernel trap at 0x12, type 123=bad",
                  "Kernel trap at 0x12, type 123=bad", 0},
             Case{"panic(cpu 1 caller 0x1): 7 at 0x123 and 0x12345678901234567890 8",
                  "<NUM> at 0x<NUM> and <HEX><NUM> 8", 0},
         }) {
        SCOPED_TRACE(c.line);
        VTApplePanicReportParser parser(std::string(c.line) +
                                        "\nFrame : Return Address\n0x1 : 0x10\n");
        parser.setPanicDate(platform::Date{1});
        EXPECT_TRUE(parser.parse(nullptr));
        EXPECT_EQ(parser.panicReason(), c.reason);
        EXPECT_EQ(parser.faultCode(), c.faultCode);
    }
}

TEST(VTApplePanicReportParserTest, Failures) {
    const std::string frames = "Frame : Return Address\n0x1 : 0xffffff8000201000\n";
    struct Case {
        const char* what;
        std::string text;
        bool parseError;
    };
    for (const Case& c : {
             Case{"no panic text", frames, false},
             Case{"no frames", "panic(cpu 0 caller 0x1): boom\n", false},
             Case{"broken extension list",
                  "panic(cpu 0 caller 0x1): boom\nFrame : Return Address\n"
                  "Kernel extensions in backtrace:\nnot an extension\n",
                  true},
         }) {
        SCOPED_TRACE(c.what);
        VTApplePanicReportParser parser(c.text);
        platform::Error error;
        EXPECT_FALSE(parser.parse(&error));
        EXPECT_EQ(parser.parseError().has_value(), c.parseError);
        if (c.parseError) {
            EXPECT_FALSE(parser.parse(&error));
            EXPECT_EQ(error.code(), kVTPanicReportParseError);
            EXPECT_EQ(error.domain(), "com.pelgrave.vantrel");
        }
    }
}

TEST(VTApplePanicReportParserTest, AnExtensionEndingBelowItsStartHoldsNothing) {
    auto parser = parsed(
        "panic(cpu 0 caller 0x1): boom\nFrame : Return Address\n0x1 : 0x5000\n"
        "0x2 : 0xfffffffffffff800\n"
        "Kernel Extensions in backtrace:\n"
        "a.b(1.0.0)[01234567-89AB-CDEF-0123-456789ABCDEF]@0xffff0000->0x10\n"
        "Kernel text base: 0xfffffffffffff000\nKernel slide: 0x2000\n");
    ASSERT_EQ(parser->modules().size(), 1u);
    EXPECT_EQ(parser->modules()[0].imageSize, 0u);
    EXPECT_FALSE(parser->moduleForAddress(0x5000));
    EXPECT_FALSE(parser->moduleForAddress(0xffff0000));
    // A kernel range whose end would wrap past zero still holds its addresses.
    EXPECT_EQ(parser->rebasedFrames(), (std::vector<std::uint64_t>{0x5000, 0x800}));
}

// The scanners give what the regular expressions give, on many short lines
// made of the patterns' own fragments.
TEST(VTPanicScannersTest, AgreeWithTheRegularExpressions) {
    const std::regex panicLine(R"(^(panic\(cpu \d+ caller [A-Za-z0-9]+\):)([[:print:]]+))");
    const std::regex version(R"(^(Darwin Kernel Version) (\d+.\d+.\d+))");
    const std::regex extension(
        R"(([a-zA-Z0-9\.]+)(\([a-z0-9.]{3,}\))(\[[A-Za-z0-9]{8}-[A-Za-z0-9]{4}-[A-Za-z0-9]{4}-[A-Za-z0-9]{4}-[A-Za-z0-9]{12}\])@(0x[0-9a-f]*)->(0x[0-9a-f]*))");
    const std::regex trap(R"(^(Kernel trap at 0x[A-Fa-f0-9]+), type ([0-9]{1,2})=([a-zA-Z #-]+))");
    const std::regex hex("0x[a-fA-F0-9]{4,16}");
    const std::regex decimal(R"(\d+\s)");

    const std::vector<std::string> fragments = {"panic(cpu ",
                                                "Darwin Kernel Version ",
                                                "Kernel trap at 0x",
                                                ", type ",
                                                " caller ",
                                                "):",
                                                "0x",
                                                "->",
                                                "@",
                                                "(",
                                                ")",
                                                "[",
                                                "]",
                                                "-",
                                                ".",
                                                " ",
                                                "\t",
                                                "=",
                                                "#",
                                                "1",
                                                "12",
                                                "123",
                                                "0",
                                                "9",
                                                "a",
                                                "f",
                                                "F",
                                                "g",
                                                "Z",
                                                "abc",
                                                "1.2.3",
                                                "beef",
                                                "01234567",
                                                "89AB",
                                                "CDEF",
                                                "456789ABCDEF",
                                                "x",
                                                "_",
                                                ":",
                                                "~",
                                                "\x7f",
                                                "\x01"};
    std::mt19937 random(20240601);
#ifdef PEL_SANITIZED
    const int rounds = 4000;  // std::regex is slow without optimisation
#else
    const int rounds = 20000;
#endif
    for (int round = 0; round < rounds; ++round) {
        std::string line;
        const int count = 1 + static_cast<int>(random() % 14);
        for (int i = 0; i < count; ++i) line += fragments[random() % fragments.size()];
        SCOPED_TRACE(line);
        std::smatch m;

        auto panic = vtpanic::matchPanicLine(line);
        ASSERT_EQ(panic.has_value(), std::regex_search(line, m, panicLine));
        if (panic) {
            ASSERT_EQ(*panic, m.str(2));
        }

        auto kernelVersion = vtpanic::matchKernelVersionLine(line);
        ASSERT_EQ(kernelVersion.has_value(), std::regex_search(line, m, version));
        if (kernelVersion) {
            ASSERT_EQ(*kernelVersion, m.str(2));
        }

        auto kext = vtpanic::matchKernelExtension(line);
        ASSERT_EQ(kext.has_value(), std::regex_search(line, m, extension));
        if (kext) {
            ASSERT_EQ(kext->identifier, m.str(1));
            ASSERT_EQ(kext->version, m.str(2));
            ASSERT_EQ(kext->uuid, m.str(3));
            ASSERT_EQ(kext->load, m.str(4));
            ASSERT_EQ(kext->end, m.str(5));
        }

        auto kernelTrap = vtpanic::matchKernelTrap(line);
        ASSERT_EQ(kernelTrap.has_value(), std::regex_search(line, m, trap));
        if (kernelTrap) {
            ASSERT_EQ(kernelTrap->type, m.str(2));
            ASSERT_EQ(kernelTrap->name, m.str(3));
        }

        ASSERT_EQ(vtpanic::replaceHexNumbers(line), std::regex_replace(line, hex, "<HEX>"));
        ASSERT_EQ(vtpanic::replaceDecimalNumbers(line),
                  std::regex_replace(line, decimal, "<NUM> "));
    }
}

TEST(VTPanicScannersTest, VersionDigitsAreSplitAsTheExpressionSplitsThem) {
    struct Case {
        const char* line;
        const char* version;
    };
    for (const Case& c : {Case{"Darwin Kernel Version 16.7.0: Thu", "16.7.0"},
                          Case{"Darwin Kernel Version 12345", "12345"},
                          Case{"Darwin Kernel Version 12345x", "12345"},
                          Case{"Darwin Kernel Version 1.2.3.4.5", "1.2.3"},
                          Case{"Darwin Kernel Version 1x2y3z", "1x2y3"}}) {
        auto version = vtpanic::matchKernelVersionLine(c.line);
        ASSERT_TRUE(version) << c.line;
        EXPECT_EQ(*version, c.version) << c.line;
    }
    EXPECT_FALSE(vtpanic::matchKernelVersionLine("Darwin Kernel Version 1.2"));
    EXPECT_FALSE(vtpanic::matchKernelVersionLine("Darwin Kernel Version 1.2."));
    EXPECT_FALSE(vtpanic::matchKernelVersionLine("Darwin Kernel Version 1234x"));
}

TEST(VTPanicScannersTest, DatesAnywhereInALine) {
    EXPECT_TRUE(vtpanic::containsDate("Thu Jun 15 17:36:27 2017"));
    EXPECT_TRUE(
        vtpanic::containsDate("Darwin Kernel Version 16.7.0: Thu Jun 15 17:36:27 PDT 2017;"));
    EXPECT_TRUE(vtpanic::containsDate("at Mon Jan  5 01:02:03 1999 or so"));
    EXPECT_FALSE(vtpanic::containsDate("Thu Jun 15 2017"));
    EXPECT_FALSE(vtpanic::containsDate("Foo Jun 15 17:36:27 2017"));
}

// Each scanner walks a line once: a mebibyte of hostile text takes a small
// fraction of a second (a backtracking matcher takes minutes). The bound is
// loose on purpose; it catches quadratic time, not slowness. The sanitizer
// build, many times slower, walks a quarter of it.
TEST(VTPanicScannersTest, LongHostileLinesTakeLinearTime) {
#ifdef PEL_SANITIZED
    const std::size_t size = 1 << 18;
#else
    const std::size_t size = 1 << 20;
#endif
    std::vector<std::string> lines;
    std::string repeated;
    while (repeated.size() < size) repeated += "a.b(1.2.3)[0123";
    lines.push_back(repeated);
    lines.push_back("Darwin Kernel Version " + std::string(size, '1'));
    lines.push_back("panic(cpu 0 caller 0x1): " + std::string(size, '7'));
    std::string numbers;
    while (numbers.size() < size) numbers += "0x123 1234567";
    lines.push_back(numbers);
    std::string dates;
    while (dates.size() < size) dates += "Thu Jun 15 17:36:";
    lines.push_back(dates);

    const auto start = std::chrono::steady_clock::now();
    for (const std::string& line : lines) {
        (void)vtpanic::matchKernelExtension(line);
        (void)vtpanic::matchKernelVersionLine(line);
        (void)vtpanic::matchPanicLine(line);
        (void)vtpanic::replaceDecimalNumbers(vtpanic::replaceHexNumbers(line));
        (void)vtpanic::containsDate(line);
        VTApplePanicReportParser parser("Kernel version:\n" + line +
                                        "\nFrame : Return Address\n"
                                        "Kernel extensions in backtrace:\n" +
                                        line + "\n");
        parser.parse(nullptr);
    }
    // A hang guard: backtracking on these lines would take far longer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(VTPanicErrorTest, MadeFromAReportSavedAndReopened) {
    ClientTree tree;
    auto client = tree.client();
    const std::string report = tree.temp().write("panic.panic", kReport);
    platform::Error error;
    auto panic = client->createErrorFromPanicReportURL(report, &error);
    ASSERT_TRUE(panic) << error.description();
    const VTErrorProperties& summary = panic->summaryData();
    EXPECT_EQ(summary.failureType(), kVTFailureTypeKernelPanic);
    EXPECT_EQ(summary.failureSeverity(), 2);
    EXPECT_EQ(summary.pelgraveModuleName(), "com.pelgrave.kext.Demo");
    EXPECT_EQ(summary.pelgraveModuleOffset(), 0x100u);
    EXPECT_EQ(summary.failureAddress(), 0xffffff7f80a00100u);
    EXPECT_EQ(summary.moduleName(), "com.pelgrave.kext.Demo");
    EXPECT_EQ(summary.processName(), "mach_kernel");
    EXPECT_EQ(summary.systemUptime(), 123456789000.0);
    EXPECT_NE(summary.bucketId(), 0u);
    EXPECT_NE(summary.stackHash(), 0u);
    EXPECT_FALSE(summary.productName());  // no client information
    EXPECT_EQ(panic->parameterWithKey("VTPanicReason"), "\"zone <NUM> exhausted at <HEX>\"");
    EXPECT_TRUE(panic->infoForDetailDataWithIdentifier("ApplePanicReport"));

    ASSERT_TRUE(panic->save(&error)) << error.description();
    auto reopened = client->createErrorFromPersistentData(*panic->fileURL(), 1, &error);
    ASSERT_TRUE(reopened) << error.description();
    EXPECT_TRUE(std::dynamic_pointer_cast<VTPanicError>(reopened));
    EXPECT_EQ(reopened->summaryData().valueDictionary(), summary.valueDictionary());

    // A report that cannot be read gives the read error.
    platform::Error missing;
    EXPECT_FALSE(client->createErrorFromPanicReportURL(tree.temp().file("none.panic"), &missing));
    EXPECT_EQ(missing.domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(missing.code(), platform::kFileReadNoSuchFileError);

    // The opt-out marker stops panic errors as it stops every other kind.
    tree.temp().write("base/ofgDisabled", "");
    EXPECT_FALSE(client->createErrorFromPanicReportURL(report, nullptr));
}

TEST(VTPanicErrorTest, BucketFallsBackToTrapTypeThenText) {
    ClientTree tree;
    auto client = tree.client();
    const std::string base =
        "Frame : Return Address\n0x1 : 0xffffff8000201000\n0x2 : 0xffffff8000202000\n";
    auto trap = parsed("panic(cpu 0 caller 0x1): Kernel trap at 0x1, type 14=page fault,\n" + base);
    auto text = parsed("panic(cpu 0 caller 0x1): stuck\n" + base);
    auto fromTrap = VTPanicError::initWithParsedPanic(*trap, client);
    auto fromText = VTPanicError::initWithParsedPanic(*text, client);
    ASSERT_TRUE(fromTrap);
    ASSERT_TRUE(fromText);
    EXPECT_EQ(fromTrap->summaryData().exceptionCode(), 14u);
    EXPECT_NE(fromTrap->summaryData().bucketId(), fromText->summaryData().bucketId());
    // Kernel frames only: the kernel names the module.
    EXPECT_EQ(fromText->summaryData().moduleName(), "mach_kernel");
    EXPECT_EQ(fromText->summaryData().moduleOffset(), 0x1000u);
    EXPECT_EQ(fromText->summaryData().stackHash(), 0u);
}
