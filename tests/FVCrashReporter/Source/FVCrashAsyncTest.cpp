#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashAsyncList.h"
#include "FVCrashReporter/Source/crash/FVCrashPageAllocator.h"
#include "FVCrashReporter/Source/crash/FVCrashSignalNames.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"

namespace {

constexpr size_t kPage = 4096;

// A pipe whose read end collects what the file wrote.
struct Pipe {
    int fds[2];
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    std::string drain() {
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        std::string out;
        char buffer[512];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
        return out;
    }
};

TEST(FVCrashOutfile, LimitRefusesAndStaysRefusing) {
    Pipe pipe;
    fvcrash_outfile file;
    fvcrash_outfile_init(&file, pipe.fds[1], 10);
    EXPECT_TRUE(fvcrash_outfile_write(&file, "abcdef", 6));
    EXPECT_TRUE(fvcrash_outfile_write(&file, "ghij", 4));
    EXPECT_FALSE(fvcrash_outfile_write(&file, "k", 1));
    EXPECT_FALSE(fvcrash_outfile_write(&file, "", 0));  // refused for good, even when it fits
    EXPECT_TRUE(fvcrash_outfile_flush(&file));
    EXPECT_EQ(pipe.drain(), "abcdefghij");

    // A refusal in the middle leaves a clean prefix: nothing written after it.
    fvcrash_outfile_init(&file, pipe.fds[1], 10);
    EXPECT_TRUE(fvcrash_outfile_write(&file, "1234", 4));
    EXPECT_FALSE(fvcrash_outfile_write(&file, "12345678", 8));
    EXPECT_FALSE(fvcrash_outfile_write(&file, "12", 2));
    EXPECT_TRUE(fvcrash_outfile_flush(&file));
    EXPECT_EQ(pipe.drain(), "1234");
}

TEST(FVCrashOutfile, LargeWritesGoStraightOutAndFailuresShow) {
    Pipe pipe;
    fvcrash_outfile file;
    fvcrash_outfile_init(&file, pipe.fds[1], 0);
    std::string big(300, 'x');
    EXPECT_TRUE(fvcrash_outfile_write(&file, big.data(), big.size()));
    EXPECT_EQ(file.buffered, 0u);
    EXPECT_EQ(pipe.drain(), big);
    EXPECT_TRUE(fvcrash_outfile_write(&file, "tail", 4));
    EXPECT_EQ(pipe.drain(), "");  // still buffered
    EXPECT_TRUE(fvcrash_outfile_close(&file));
    pipe.fds[1] = -1;
    EXPECT_EQ(pipe.drain(), "tail");

    // A descriptor that cannot be written: flush and close fail.
    int readOnly = open("/dev/null", O_RDONLY);
    ASSERT_GE(readOnly, 0);
    fvcrash_outfile_init(&file, readOnly, 0);
    EXPECT_TRUE(fvcrash_outfile_write(&file, "abc", 3));
    EXPECT_FALSE(fvcrash_outfile_flush(&file));
    EXPECT_TRUE(fvcrash_outfile_write(&file, "abc", 3));
    EXPECT_FALSE(fvcrash_outfile_close(&file));
}

// Four pages: readable, PROT_NONE, readable, unmapped.
struct Pages {
    uint8_t* base;
    Pages() {
        base = static_cast<uint8_t*>(
            mmap(nullptr, 4 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        for (size_t i = 0; i < 4 * kPage; ++i) base[i] = static_cast<uint8_t>(i);
        mprotect(base + kPage, kPage, PROT_NONE);
        munmap(base + 3 * kPage, kPage);
    }
    ~Pages() { munmap(base, 3 * kPage); }
    uint64_t at(size_t offset) const { return reinterpret_cast<uint64_t>(base) + offset; }
};

TEST(FVCrashTaskRead, ClassifiesEveryFailure) {
    Pages pages;
    struct Case {
        const char* name;
        uint64_t address;
        int64_t offset;
        size_t length;
        fvcrash_status expected;
    } cases[] = {
        {"readable", pages.at(10), 0, 100, FVCRASH_ESUCCESS},
        {"negative offset", pages.at(110), -100, 100, FVCRASH_ESUCCESS},
        {"PROT_NONE", pages.at(kPage + 8), 0, 8, FVCRASH_EACCESS},
        {"into PROT_NONE", pages.at(kPage - 4), 0, 8, FVCRASH_EACCESS},
        {"unmapped", pages.at(3 * kPage), 0, 8, FVCRASH_ENOTFOUND},
        {"mapped then unmapped", pages.at(3 * kPage - 4), 0, 8, FVCRASH_ENOTFOUND},
        {"overflow", ~uint64_t(0) - 2, 8, 1, FVCRASH_ENOMEM},
        {"underflow", 4, -8, 1, FVCRASH_ENOMEM},
        {"empty", pages.at(3 * kPage), 0, 0, FVCRASH_ESUCCESS},
    };
    for (const Case& c : cases) {
        uint8_t out[128] = {};
        EXPECT_EQ(fvcrash_task_read(fvcrash_task_self(), c.address, c.offset, out, c.length),
                  c.expected)
            << c.name;
        if (c.expected == FVCRASH_ESUCCESS && c.length) {
            EXPECT_EQ(std::memcmp(out, reinterpret_cast<void*>(c.address + c.offset), c.length), 0)
                << c.name;
        }
    }

    uint32_t word = 0;
    std::memcpy(pages.base + 16, "\x01\x02\x03\x04", 4);
    EXPECT_EQ(fvcrash_task_read_uint32(fvcrash_task_self(), &fvcrash_byte_order_swapped,
                                       pages.at(0), 16, &word),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(word, 0x01020304u);
    uint64_t wide = 0;
    EXPECT_EQ(fvcrash_task_read_uint64(fvcrash_task_self(), &fvcrash_byte_order_direct,
                                       pages.at(kPage), 0, &wide),
              FVCRASH_EACCESS);
}

// The same answers when a seccomp filter refuses process_vm_readv (the
// reads then go through a pipe), in a child that installs such a filter.
TEST(FVCrashTaskRead, WorksWhenProcessVmReadvIsRefused) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_process_vm_readv, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(10);
        Pages pages;
        uint8_t out[64];
        int failures = 0;
        failures += fvcrash_task_read(fvcrash_task_self(), pages.at(100), 0, out, 64) != 0;
        failures += std::memcmp(out, pages.base + 100, 64) != 0;
        failures += fvcrash_task_read(fvcrash_task_self(), pages.at(kPage - 4), 0, out, 8) != 7;
        failures += fvcrash_task_read(fvcrash_task_self(), pages.at(3 * kPage - 4), 0, out, 8) != 8;
        failures += fvcrash_readable_prefix(pages.at(0), 3 * kPage) != kPage;
        failures += fvcrash_readable_prefix(pages.at(2 * kPage), 2 * kPage) != kPage;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FVCrashTaskRead, ReadablePrefixStopsAtTheFirstBadPage) {
    constexpr size_t kPages = 600;
    auto* base = static_cast<uint8_t*>(
        mmap(nullptr, kPages * kPage, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    mprotect(base + 500 * kPage, kPage, PROT_NONE);
    const uint64_t start = reinterpret_cast<uint64_t>(base);
    EXPECT_EQ(fvcrash_readable_prefix(start, kPages * kPage), 500 * kPage);
    fvcrash_task_mapping window;
    ASSERT_EQ(fvcrash_task_mapping_init(&window, fvcrash_task_self(), start, kPages * kPage, false),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(window.length, 500 * kPage);
    EXPECT_EQ(fvcrash_task_mapping_init(&window, fvcrash_task_self(), start, kPages * kPage, true),
              FVCRASH_ENOMEM);
    EXPECT_EQ(fvcrash_readable_prefix(start + 100, 200), 200u);
    EXPECT_EQ(fvcrash_readable_prefix(start + 500 * kPage + 1, 10), 0u);
    EXPECT_EQ(fvcrash_readable_prefix(start + 499 * kPage + 7, 3 * kPage), kPage - 7);
    munmap(base, kPages * kPage);
}

// Two ranges in one probe: the second is known only when the first could be
// read in full, and each prefix is what a probe of its own would give.
TEST(FVCrashTaskRead, TwoRangesProbedTogether) {
    const Pages pages;  // readable, PROT_NONE, readable, unmapped
    const pid_t self = fvcrash_own_pid();
    struct Case {
        const char* name;
        uint64_t first, firstLength, second, secondLength;
        bool secondKnown;
        uint64_t firstReadable, secondReadable;
    };
    const Case cases[] = {
        {"both readable", pages.at(8), 100, pages.at(2 * kPage + 16), 64, true, 100, 64},
        {"second cut", pages.at(2 * kPage), kPage, pages.at(kPage - 8), 2 * kPage, true, kPage, 8},
        {"second unreadable", pages.at(0), 16, pages.at(3 * kPage + 4), 8, true, 16, 0},
        {"first cut", pages.at(kPage - 8), 2 * kPage, pages.at(0), 8, false, 8, 0},
        {"first unreadable", pages.at(kPage + 4), 8, pages.at(0), 8, false, 0, 0},
        {"too many pages", pages.at(0), 200 * kPage, pages.at(2 * kPage), 8, false, kPage, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t first = ~uint64_t{0}, second = ~uint64_t{0};
        EXPECT_EQ(fvcrash_readable_prefixes_as(self, c.first, c.firstLength, c.second,
                                               c.secondLength, &first, &second),
                  c.secondKnown);
        EXPECT_EQ(first, c.firstReadable);
        EXPECT_EQ(first, fvcrash_readable_prefix(c.first, c.firstLength));
        if (c.secondKnown) {
            EXPECT_EQ(second, c.secondReadable);
            EXPECT_EQ(second, fvcrash_readable_prefix(c.second, c.secondLength));
        }
    }
}

TEST(FVCrashAsyncHelpers, StatusTextsAndStrings) {
    EXPECT_STREQ(fvcrash_status_text(0), "No error");
    EXPECT_STREQ(fvcrash_status_text(9), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(fvcrash_status_text(10), "Unhandled error code");
    EXPECT_STREQ(fvcrash_status_text(-1), "Unhandled error code");

    EXPECT_EQ(fvcrash_strncmp("abc", "abc", 3), 0);
    EXPECT_EQ(fvcrash_strncmp("abc", "abd", 2), 0);
    EXPECT_LT(fvcrash_strncmp("abc", "abd", 3), 0);
    EXPECT_EQ(fvcrash_strncmp("ab", "ab\0x", 4), 0);  // ends earlier: matches only a zero byte
    EXPECT_NE(fvcrash_strncmp("ab", "abc", 3), 0);
    EXPECT_GT(fvcrash_strcmp("b", "a"), 0);
    EXPECT_EQ(fvcrash_strcmp("same", "same"), 0);

    uint64_t out = 0;
    EXPECT_TRUE(fvcrash_address_apply_offset(10, -10, &out));
    EXPECT_EQ(out, 0u);
    EXPECT_FALSE(fvcrash_address_apply_offset(10, -11, &out));
    EXPECT_FALSE(fvcrash_address_apply_offset(~uint64_t(0), 1, &out));
    EXPECT_TRUE(fvcrash_address_apply_offset(1, INT64_MIN + 1, &out) == false);
    EXPECT_EQ(fvcrash_current_thread(), gettid());
}

TEST(FVCrashSignalNames, UseTheHostNumbers) {
    EXPECT_STREQ(fvcrash_signal_name(SIGBUS), "SIGBUS");
    EXPECT_STREQ(fvcrash_signal_name(SIGABRT), "SIGABRT");
    EXPECT_STREQ(fvcrash_signal_name(SIGSEGV), "SIGSEGV");
    EXPECT_STREQ(fvcrash_signal_name(SIGUSR1), "SIGUSR1");
    EXPECT_EQ(fvcrash_signal_name(SIGSTKFLT), nullptr);  // Linux only: printed as a number
    EXPECT_EQ(fvcrash_signal_name(SIGRTMIN), nullptr);
    EXPECT_STREQ(fvcrash_signal_code_name(SIGFPE, FPE_INTDIV), "FPE_INTDIV");
    EXPECT_STREQ(fvcrash_signal_code_name(SIGFPE, FPE_FLTDIV), "FPE_FLTDIV");
    EXPECT_STREQ(fvcrash_signal_code_name(SIGTRAP, 2), "TRAP_TRACE");
    EXPECT_STREQ(fvcrash_signal_code_name(SIGSEGV, SEGV_ACCERR), "SEGV_ACCERR");
    EXPECT_STREQ(fvcrash_signal_code_name(SIGABRT, 0), "#0");
    EXPECT_EQ(fvcrash_signal_code_name(SIGSEGV, 3), nullptr);
}

TEST(FVCrashPageAllocator, HandsOutAlignedBlocksAndNeverTheGuardPage) {
    fvcrash_page_allocator* allocator = nullptr;
    ASSERT_EQ(fvcrash_page_allocator_create(
                  &allocator, 100, FVCRASH_ALLOCATOR_GUARD_LOW | FVCRASH_ALLOCATOR_GUARD_HIGH),
              FVCRASH_ESUCCESS);
    const uintptr_t usableEnd = allocator->self + allocator->usable_size;
    std::vector<uintptr_t> blocks;
    while (void* p = fvcrash_page_allocator_alloc(allocator, 9, true)) {
        auto at = reinterpret_cast<uintptr_t>(p);
        EXPECT_EQ(at % 16, 0u);
        EXPECT_GE(at, allocator->self + sizeof(fvcrash_page_allocator));
        EXPECT_LE(at + 16, usableEnd);  // the whole rounded block fits
        std::memset(p, 0xAB, 16);
        blocks.push_back(at);
    }
    EXPECT_EQ(blocks.size(), (allocator->usable_size - 48) / 16);
    EXPECT_EQ(fvcrash_page_allocator_alloc(allocator, 1, true), nullptr);
    fvcrash_page_allocator_free(allocator);
}

struct Counted {
    int id;
    bool operator==(const Counted& other) const { return id == other.id; }
};

void disposeInto(Counted value, void* context) {
    static_cast<std::vector<int>*>(context)->push_back(value.id);
}

TEST(FVCrashAsyncList, HeldNodesWaitForTheReaders) {
    std::vector<int> disposed;
    fvcrash_async_list<Counted> list(disposeInto, &disposed);
    for (int i = 1; i <= 3; ++i) ASSERT_TRUE(list.append({i}));
    ASSERT_TRUE(list.prepend({0}));

    list.set_reading(true);
    auto* held = list.next(nullptr);  // 0
    held = list.next(held);           // 1
    ASSERT_EQ(held->value.id, 1);
    EXPECT_TRUE(list.remove({1}));
    EXPECT_TRUE(list.remove({2}));
    EXPECT_EQ(list.retired_count(), 2u);
    EXPECT_TRUE(disposed.empty());
    // The reader standing on the removed node still reaches the rest.
    std::vector<int> seen;
    for (auto* n = held; n; n = list.next(n)) seen.push_back(n->value.id);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    list.set_reading(false);

    ASSERT_TRUE(list.append({4}));  // no reader inside: the retired nodes are let go
    std::sort(disposed.begin(), disposed.end());
    EXPECT_EQ(disposed, (std::vector<int>{1, 2}));
    EXPECT_EQ(list.retired_count(), 0u);
    EXPECT_EQ(list.pooled_count(), 1u);  // one of them was reused for 4
    seen.clear();
    list.set_reading(true);
    for (auto* n = list.next(nullptr); n; n = list.next(n)) seen.push_back(n->value.id);
    list.set_reading(false);
    EXPECT_EQ(seen, (std::vector<int>{0, 3, 4}));
    EXPECT_FALSE(list.remove({42}));
    list.free();
    EXPECT_EQ(disposed, (std::vector<int>{1, 2, 0, 3, 4}));
}

struct Box {
    std::atomic<int>* live;
    int* payload;
    bool operator==(const Box& other) const { return payload == other.payload; }
};

void freeBox(Box box, void*) {
    *box.payload = -1;  // a reader still looking at it would see this under ASan as use-after-free
    delete box.payload;
    box.live->fetch_sub(1);
}

TEST(FVCrashAsyncList, WritersAndAReaderRace) {
    std::atomic<int> live{0};
    fvcrash_async_list<Box> list(freeBox, nullptr);
    std::atomic<bool> stop{false};
    auto writer = [&](int seed) {
        std::vector<Box> mine;
        for (int i = 0; i < 3000; ++i) {
            if (mine.size() < 8 || (i + seed) % 3) {
                Box box{&live, new int(seed * 100000 + i)};
                live.fetch_add(1);
                ASSERT_TRUE(list.append(box));
                mine.push_back(box);
            } else {
                Box box = mine[static_cast<size_t>(i) % mine.size()];
                mine.erase(mine.begin() + static_cast<long>(static_cast<size_t>(i) % mine.size()));
                ASSERT_TRUE(list.remove(box));
            }
        }
        for (const Box& box : mine) list.remove(box);
    };
    std::thread reader([&] {
        long sum = 0;
        while (!stop.load()) {
            list.set_reading(true);
            for (auto* n = list.next(nullptr); n; n = list.next(n)) {
                int v = *n->value.payload;
                EXPECT_GE(v, 0);
                sum += v;
            }
            list.set_reading(false);
        }
        EXPECT_GE(sum, 0);
    });
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    stop = true;
    reader.join();
    list.free();
    EXPECT_EQ(live.load(), 0);
}

}  // namespace
