#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/crash/FVCrashLogWriter.h"
#include "FVCrashReporter/Source/crash/FVCrashSuspend.h"
#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"

namespace {

std::vector<uint8_t> encode(uint32_t field, int type, const void* value) {
    const int fd = memfd_create("field", MFD_CLOEXEC);
    fvcrash_outfile file;
    fvcrash_outfile_init(&file, fd, 0);
    const size_t predicted = fvcrash_emit_field(nullptr, field, type, value);
    const size_t written = fvcrash_emit_field(&file, field, type, value);
    fvcrash_outfile_flush(&file);
    EXPECT_EQ(predicted, written);
    std::vector<uint8_t> bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    EXPECT_EQ(bytes.size(), written);
    return bytes;
}

TEST(FVCrashFieldEncoder, EncodesEveryWireForm) {
    const int32_t minusOne = -1;
    const int32_t minusTwo = -2;
    const int64_t big = 300;
    const int64_t minusThree = -3;
    const uint32_t u32 = 150;
    const uint64_t fixed = 0x0102030405060708ull;
    const bool yes = true;
    const int32_t enumValue = 3;
    const uint32_t messageSize = 200;
    const uint8_t raw[3] = {0xde, 0xad, 0x00};
    const fvcrash_field_bytes bytes{3, raw};
    struct Case {
        uint32_t field;
        int type;
        const void* value;
        std::vector<uint8_t> expected;
    } cases[] = {
        {1,
         FVCRASH_FIELD_INT32,
         &minusOne,
         {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
        {1, FVCRASH_FIELD_SINT32, &minusTwo, {0x08, 0x03}},
        {2, FVCRASH_FIELD_SFIXED32, &minusOne, {0x15, 0xff, 0xff, 0xff, 0xff}},
        {1, FVCRASH_FIELD_INT64, &big, {0x08, 0xac, 0x02}},
        {1, FVCRASH_FIELD_SINT64, &minusThree, {0x08, 0x05}},
        {1, FVCRASH_FIELD_FIXED64, &fixed, {0x09, 8, 7, 6, 5, 4, 3, 2, 1}},
        {3, FVCRASH_FIELD_UINT32, &u32, {0x18, 0x96, 0x01}},
        {16,
         FVCRASH_FIELD_UINT64,
         &fixed,
         {0x80, 0x01, 0x88, 0x8e, 0x98, 0xa8, 0xc0, 0xe0, 0x80, 0x81, 0x01}},
        {6, FVCRASH_FIELD_BOOL, &yes, {0x30, 0x01}},
        {1, FVCRASH_FIELD_ENUM, &enumValue, {0x08, 0x03}},
        {2, FVCRASH_FIELD_STRING, "abc", {0x12, 0x03, 'a', 'b', 'c'}},
        {2, FVCRASH_FIELD_STRING, "", {0x12, 0x00}},
        {4, FVCRASH_FIELD_BYTES, &bytes, {0x22, 0x03, 0xde, 0xad, 0x00}},
        {5, FVCRASH_FIELD_MESSAGE, &messageSize, {0x2a, 0xc8, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "field " << c.field << " type " << c.type);
        EXPECT_EQ(encode(c.field, c.type, c.value), c.expected);
    }
}

TEST(FVCrashFieldEncoderDeathTest, UnknownTypeAborts) {
    const uint32_t value = 0;
    EXPECT_DEATH(fvcrash_emit_field(nullptr, 1, 17, &value), "");
}

}  // namespace

// Outside the anonymous namespace: the report names it from .dynsym.
struct Written {
    std::vector<uint8_t> bytes;
    size_t accepted = 0;
};

static fvcrash_status keepState(fvcrash_thread_state* state, void* context) {
    fvcrash_thread_state_copy(static_cast<fvcrash_thread_state*>(context), state);
    return FVCRASH_ESUCCESS;
}

Written writeReport(fvcrash_log_writer* writer, const fvcrash_signal_info& signal, bool withCurrent,
                    pid_t crashed);
__attribute__((noinline)) Written writeReport(fvcrash_log_writer* writer,
                                              const fvcrash_signal_info& signal, bool withCurrent,
                                              pid_t crashed) {
    const int fd = memfd_create("report", MFD_CLOEXEC);
    fvcrash_outfile file;
    fvcrash_outfile_init(&file, fd, FVCRASH_REPORT_FILE_LIMIT);
    fvcrash_thread_state current;
    fvcrash_thread_state_capture_current(keepState, &current);
    fvcrash_capture_gate_enter();
    EXPECT_EQ(fvcrash_writer_write_report(writer, crashed, fvcrash_shared_image_list(), &file,
                                          &signal, withCurrent ? &current : nullptr),
              FVCRASH_ESUCCESS);
    fvcrash_capture_gate_leave();
    EXPECT_TRUE(fvcrash_outfile_flush(&file));
    Written out;
    out.accepted = file.accepted;
    out.bytes.resize(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(pread(fd, out.bytes.data(), out.bytes.size(), 0),
              static_cast<ssize_t>(out.bytes.size()));
    close(fd);
    return out;
}

namespace {

class FVCrashLogWriterTest : public testing::Test {
  protected:
    void SetUp() override {
        fvcrash_suspend_install();
        fvcrash_image_list_sync_loaded(fvcrash_shared_image_list());
        fvcrash_writer_setup(&writer_, "com.example.app", "1.2", "1.2.3",
                             FVCRASH_SYMBOL_STRATEGY_TABLE, false);
    }
    void TearDown() override { fvcrash_writer_release(&writer_); }
    fvcrash_log_writer writer_;
};

TEST_F(FVCrashLogWriterTest, RoundTripsThroughProtobufC) {
    const uint64_t codes[] = {1, 0xdead};
    fvcrash_signal_info signal{};
    signal.bsd = {SIGSEGV, SEGV_MAPERR, 0x10};
    signal.mach = {1, codes, 2};
    signal.has_mach = true;
    const uint64_t frames[] = {reinterpret_cast<uint64_t>(&writeReport) + 1, 0x1234};
    ASSERT_TRUE(
        fvcrash_log_writer_set_exception(&writer_, "NSGenericException", "it broke", frames, 2));
    EXPECT_FALSE(fvcrash_log_writer_set_exception(&writer_, "Second", "ignored", frames, 1));

    // A second thread, parked in a known place, is written with its stack.
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    std::atomic<pid_t> other{0};
    std::thread parked([&] {
        other = gettid();
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return release; });
    });
    while (!other) std::this_thread::yield();
    usleep(10000);

    const Written out = writeReport(&writer_, signal, true, gettid());
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    cv.notify_all();
    parked.join();

    ASSERT_GE(out.bytes.size(), 9u);
    EXPECT_EQ(std::string(out.bytes.begin(), out.bytes.begin() + 8), std::string("fvcrash\x01", 8));
    platform::Error error;
    auto report = FVCrashReport::initWithData(out.bytes.data(), out.bytes.size(), &error);
    ASSERT_TRUE(report) << error.localizedDescription();
    const Fvcrash__CrashReport& m = report->message();

    ASSERT_TRUE(m.report_info);
    EXPECT_FALSE(m.report_info->user_requested);
    EXPECT_EQ(m.report_info->uuid.len, 16u);
    EXPECT_EQ(m.system_info->operating_system, 3);
    EXPECT_EQ(m.system_info->architecture, FVCRASH__ARCHITECTURE__X86_64);
    EXPECT_GT(m.system_info->timestamp, 1600000000);
    EXPECT_TRUE(m.system_info->os_build && *m.system_info->os_build);
    EXPECT_STREQ(m.application_info->identifier, "com.example.app");
    EXPECT_STREQ(m.application_info->version, "1.2");
    EXPECT_STREQ(m.application_info->marketing_version, "1.2.3");
    ASSERT_TRUE(m.process_info);
    EXPECT_EQ(m.process_info->process_id, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(m.process_info->parent_process_id, static_cast<uint32_t>(getppid()));
    EXPECT_TRUE(m.process_info->native);
    ASSERT_TRUE(m.machine_info);
    EXPECT_EQ(m.machine_info->processor->encoding, 1);

    EXPECT_STREQ(m.signal->name, "SIGSEGV");
    EXPECT_STREQ(m.signal->code, "SEGV_MAPERR");
    EXPECT_EQ(m.signal->address, 0x10u);
    ASSERT_TRUE(m.signal->mach_exception);
    EXPECT_EQ(m.signal->mach_exception->type, 1u);
    ASSERT_EQ(m.signal->mach_exception->n_codes, 2u);
    EXPECT_EQ(m.signal->mach_exception->codes[1], 0xdeadu);

    ASSERT_TRUE(m.exception);
    EXPECT_STREQ(m.exception->name, "NSGenericException");
    EXPECT_STREQ(m.exception->reason, "it broke");
    ASSERT_EQ(m.exception->n_frames, 2u);
    EXPECT_EQ(m.exception->frames[0]->pc, frames[0]);

    ASSERT_GE(m.n_threads, 2u);
    size_t crashed = 0;
    bool parkedHasFrames = false;
    for (size_t i = 0; i < m.n_threads; ++i) {
        const auto* t = m.threads[i];
        EXPECT_EQ(t->thread_number, i);
        if (t->crashed) {
            ++crashed;
            EXPECT_GE(t->n_registers, 17u);
            EXPECT_STREQ(t->registers[0]->name, "rip");
            ASSERT_GE(t->n_frames, 2u);
            bool named = false;
            for (size_t f = 0; f < t->n_frames; ++f)
                if (t->frames[f]->symbol && std::strstr(t->frames[f]->symbol->name, "writeReport"))
                    named = true;
            EXPECT_TRUE(named) << "the caller of the capture is named";
        } else {
            EXPECT_EQ(t->n_registers, 0u);
            parkedHasFrames = parkedHasFrames || t->n_frames >= 3;
        }
    }
    EXPECT_EQ(crashed, 1u);
    EXPECT_TRUE(parkedHasFrames);
    ASSERT_GE(m.n_binary_images, 2u);
    bool executable = false;
    for (size_t i = 0; i < m.n_binary_images; ++i) {
        EXPECT_TRUE(m.binary_images[i]->name);
        if (m.binary_images[i]->base_address <= frames[0] &&
            frames[0] < m.binary_images[i]->base_address + m.binary_images[i]->size)
            executable = m.binary_images[i]->has_uuid;
    }
    EXPECT_TRUE(executable) << "the test program carries a build-id";
}

TEST_F(FVCrashLogWriterTest, WithoutCurrentStateTheCallerIsLeftOutAndUnnamedSignalsAreNumbers) {
    fvcrash_log_writer bare;
    fvcrash_writer_setup(&bare, "id", "v", nullptr, 0, true);
    fvcrash_signal_info signal{};
    signal.bsd = {77, -5, 0};
    std::atomic<pid_t> other{0};
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        other = gettid();
        while (!stop) {
        }
    });
    while (!other) std::this_thread::yield();
    const Written out = writeReport(&bare, signal, false, other);
    stop = true;
    busy.join();
    auto report = FVCrashReport::initWithData(out.bytes.data(), out.bytes.size(), nullptr);
    ASSERT_TRUE(report);
    const auto& m = report->message();
    EXPECT_STREQ(m.signal->name, "#77");
    EXPECT_STREQ(m.signal->code, "#-5");
    EXPECT_FALSE(m.signal->mach_exception);
    EXPECT_FALSE(m.application_info->marketing_version);
    EXPECT_TRUE(m.report_info->user_requested);
    ASSERT_EQ(m.n_threads, 1u) << "only the busy thread";
    EXPECT_TRUE(m.threads[0]->crashed);
    EXPECT_GE(m.threads[0]->n_frames, 1u);
    for (size_t f = 0; f < m.threads[0]->n_frames; ++f)
        EXPECT_FALSE(m.threads[0]->frames[f]->symbol) << "strategy 0 names nothing";
    fvcrash_writer_release(&bare);
}

TEST_F(FVCrashLogWriterTest, AnOversizedReportIsCutAtTheLimitAndUndecodable) {
    std::string reason(300000, 'x');
    std::vector<uint64_t> frames(600, reinterpret_cast<uint64_t>(&writeReport) + 1);
    fvcrash_log_writer_set_exception(&writer_, "Big", reason.c_str(), frames.data(), frames.size());
    fvcrash_signal_info signal{};
    signal.bsd = {SIGABRT, 0, 0};
    const Written out = writeReport(&writer_, signal, true, gettid());
    EXPECT_LE(out.bytes.size(), FVCRASH_REPORT_FILE_LIMIT);
    EXPECT_EQ(out.bytes.size(), out.accepted);
    platform::Error error;
    EXPECT_FALSE(FVCrashReport::initWithData(out.bytes.data(), out.bytes.size(), &error));
    EXPECT_EQ(error.code(), 2);
}

TEST(FVCrashReportDecoding, RejectsBadHeaders) {
    struct Case {
        std::string bytes;
        const char* message;
    } cases[] = {
        {"fvcrash\x01", "Could not decode truncated crash log"},
        {std::string("fvcrasX\x01\x0a", 9), "Could not decode invalid crash log header"},
        {std::string("fvcrash\x02\x0a", 9), "Could not decode unsupported crash report version: 2"},
        {std::string("fvcrash\x01\x0a\x00", 10),
         "An unknown error occured decoding the crash report"},
        // A well-formed message that lacks its required sections.
        {std::string("fvcrash\x01\x4a\x02\x08\x01", 12),
         "An unknown error occured decoding the crash report"},
    };
    for (const Case& c : cases) {
        platform::Error error;
        EXPECT_FALSE(FVCrashReport::initWithData(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                                 c.bytes.size(), &error));
        EXPECT_EQ(error.domain(), "FVCrashReporterErrorDomain");
        EXPECT_EQ(error.code(), 2);
        EXPECT_EQ(error.localizedDescription(), c.message);
    }
}

}  // namespace
