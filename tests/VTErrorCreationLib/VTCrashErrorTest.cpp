// Crash errors made from packed crash reports.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "VTClientTestSupport.h"
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
