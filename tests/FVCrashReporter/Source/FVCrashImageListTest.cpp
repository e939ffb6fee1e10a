#include <dlfcn.h>
#include <elf.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadList.h"
#include "SyntheticMachO.h"
#include "VTErrorCreationLib/VTImageInformation.h"

namespace {

std::vector<fvcrash_image*> records(fvcrash_image_list* list) {
    std::vector<fvcrash_image*> out;
    for (auto* image = fvcrash_image_list_next(list, nullptr); image;
         image = fvcrash_image_list_next(list, image))
        out.push_back(image);
    return out;
}

// The address of a named dynamic symbol, found through the record alone.
uint64_t dynamicSymbol(const fvcrash_elf_image& elf, const char* name) {
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(elf.dynsym);
    const auto* strings = reinterpret_cast<const char*>(elf.dynstr);
    for (uint64_t i = 0; i < elf.symbol_count; ++i) {
        if (symbols[i].st_name < elf.dynstr_size &&
            std::strcmp(strings + symbols[i].st_name, name) == 0 && symbols[i].st_value)
            return elf.load_bias + symbols[i].st_value;
    }
    return 0;
}

void expectMatchesLoader(const fvcrash_image* image) {
    const uint64_t header = fvcrash_image_header_address(image);
    VTImageInformation info;
    ASSERT_TRUE(VTImageInformationForAddress(header, &info)) << fvcrash_image_name(image);
    EXPECT_EQ(info.imageBase, header) << fvcrash_image_name(image);
    EXPECT_EQ(info.path, fvcrash_image_name(image));
    uint8_t uuid[16];
    const bool hasUUID = fvcrash_image_uuid(image, uuid);
    EXPECT_EQ(hasUUID, info.buildID.has_value()) << fvcrash_image_name(image);
    if (hasUUID && info.buildID) {
        EXPECT_EQ(std::memcmp(uuid, info.buildID->bytes().data(), 16), 0)
            << fvcrash_image_name(image);
    }
    EXPECT_EQ(fvcrash_image_cpu_type(image), 0x1000007u);
    EXPECT_EQ(fvcrash_image_cpu_subtype(image), 3u);
}

TEST(FVCrashImageList, LoaderImagesMatchTheLoadersView) {
    fvcrash_image_list list;
    ASSERT_TRUE(fvcrash_image_list_init(&list, fvcrash_task_self()));
    EXPECT_TRUE(fvcrash_image_list_sync_loaded(&list));
    EXPECT_FALSE(fvcrash_image_list_sync_loaded(&list));  // nothing loaded or unloaded since

    fvcrash_image_list_set_reading(&list, true);
    auto all = records(&list);
    ASSERT_GE(all.size(), 3u);
    for (auto* image : all) expectMatchesLoader(image);

    // The program is named by its real path and holds this code.
    auto* self = fvcrash_image_list_image_for_address(
        &list, reinterpret_cast<uintptr_t>(&expectMatchesLoader));
    ASSERT_NE(self, nullptr);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_STREQ(fvcrash_image_name(self), exe);
    EXPECT_NE(self->elf.eh_frame_hdr, 0u);

    // The C library: its dynamic symbols lead to its functions.
    auto* libc = fvcrash_image_list_image_for_address(
        &list, reinterpret_cast<uintptr_t>(&gnu_get_libc_version));
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(std::string(fvcrash_image_name(libc)).find("libc.so"), std::string::npos);
    EXPECT_GT(libc->elf.symbol_count, 1000u);
    EXPECT_EQ(dynamicSymbol(libc->elf, "gnu_get_libc_version"),
              reinterpret_cast<uintptr_t>(&gnu_get_libc_version));

    // The vDSO has no file.
    const uint64_t vdso = getauxval(AT_SYSINFO_EHDR);
    bool sawVdso = false;
    for (auto* image : all) {
        if (fvcrash_image_header_address(image) != vdso) continue;
        sawVdso = true;
        EXPECT_STREQ(fvcrash_image_name(image), "");
        EXPECT_NE(dynamicSymbol(image->elf, "__vdso_clock_gettime"), 0u);
    }
    EXPECT_TRUE(sawVdso || vdso == 0);
    fvcrash_image_list_set_reading(&list, false);
    fvcrash_image_list_free(&list);
}

TEST(FVCrashImageList, CrashTimeWalkFindsALateLibrary) {
    fvcrash_image_list list;
    ASSERT_TRUE(fvcrash_image_list_init(&list, fvcrash_task_self()));
    fvcrash_image_list_sync_loaded(&list);
    EXPECT_EQ(fvcrash_image_list_crash_sync(&list), 0u);  // nothing new

    void* handle = dlopen(FVCRASH_LATE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto answer = reinterpret_cast<uintptr_t>(dlsym(handle, "fvcrash_late_library_answer"));
    ASSERT_NE(answer, 0u);

    fvcrash_image_list_set_reading(&list, true);
    EXPECT_EQ(fvcrash_image_list_image_for_address(&list, answer), nullptr);
    fvcrash_image_list_set_reading(&list, false);
    EXPECT_EQ(fvcrash_image_list_crash_sync(&list), 1u);
    EXPECT_EQ(fvcrash_image_list_crash_sync(&list), 0u);  // now known

    fvcrash_image_list_set_reading(&list, true);
    auto* late = fvcrash_image_list_image_for_address(&list, answer);
    ASSERT_NE(late, nullptr);
    expectMatchesLoader(late);
    char real[4096];
    ASSERT_NE(realpath(FVCRASH_LATE_LIBRARY, real), nullptr);
    EXPECT_EQ(std::string(real), std::string(fvcrash_image_name(late)));
    EXPECT_EQ(dynamicSymbol(late->elf, "fvcrash_late_library_answer"), answer);
    EXPECT_EQ(records(&list).back(), late);  // spares follow the list's records
    fvcrash_image_list_set_reading(&list, false);

    // The set-up sync takes it into the list, and out again once unloaded.
    EXPECT_TRUE(fvcrash_image_list_sync_loaded(&list));
    const uint64_t header = fvcrash_image_header_address(late);
    auto countAt = [&] {
        int n = 0;
        fvcrash_image_list_set_reading(&list, true);
        for (auto* image : records(&list)) n += fvcrash_image_header_address(image) == header;
        fvcrash_image_list_set_reading(&list, false);
        return n;
    };
    EXPECT_EQ(countAt(), 1);  // the list's record replaces the spare
    dlclose(handle);
    EXPECT_TRUE(fvcrash_image_list_sync_loaded(&list));
    EXPECT_EQ(countAt(), 0);
    fvcrash_image_list_free(&list);
}

TEST(FVCrashImageList, HoldsMachOAndElfRecordsAlike) {
    fvcrash_image_list list;
    ASSERT_TRUE(fvcrash_image_list_init(&list, fvcrash_task_self()));
    fvcrashtest::SyntheticMachO maker;
    maker.globals = {{"_start", 0x1200}};
    fvcrashtest::Loaded macho(maker.build());
    EXPECT_EQ(fvcrash_image_list_append(&list, macho.address(), "/Library/Fake.dylib"),
              FVCRASH_ESUCCESS);
    const uint64_t vdso = getauxval(AT_SYSINFO_EHDR);
    if (vdso) {
        EXPECT_EQ(fvcrash_image_list_append(&list, vdso, ""), FVCRASH_ESUCCESS);
    }
    fvcrashtest::Loaded junk(platform::Data(64, 0x11));
    EXPECT_EQ(fvcrash_image_list_append(&list, junk.address(), "junk"), FVCRASH_EINVAL);

    fvcrash_image_list_set_reading(&list, true);
    auto* found = fvcrash_image_list_image_for_address(&list, macho.address() + 0x250);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->kind, FVCRASH_IMAGE_MACHO);
    EXPECT_STREQ(fvcrash_image_name(found), "/Library/Fake.dylib");
    EXPECT_EQ(fvcrash_image_size(found), fvcrashtest::SyntheticMachO::kTextSize);
    uint8_t uuid[16];
    ASSERT_TRUE(fvcrash_image_uuid(found, uuid));
    EXPECT_EQ(std::memcmp(uuid, fvcrashtest::SyntheticMachO::kUUID, 16), 0);
    EXPECT_EQ(records(&list).size(), vdso ? 2u : 1u);
    fvcrash_image_list_set_reading(&list, false);

    fvcrash_image_list_remove(&list, macho.address());
    fvcrash_image_list_set_reading(&list, true);
    EXPECT_EQ(fvcrash_image_list_image_for_address(&list, macho.address() + 0x250), nullptr);
    fvcrash_image_list_set_reading(&list, false);
    fvcrash_image_list_free(&list);
}

TEST(FVCrashElfImage, RawHeaderAndLoaderFactsAgree) {
    void* handle = dlopen(FVCRASH_LATE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    link_map* map = nullptr;
    ASSERT_EQ(dlinfo(handle, RTLD_DI_LINKMAP, &map), 0);
    fvcrash_elf_image raw;
    ASSERT_EQ(fvcrash_elf_image_init_from_header(&raw, fvcrash_task_self(), map->l_addr),
              FVCRASH_ESUCCESS);
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(map->l_addr);
    fvcrash_elf_image facts;
    ASSERT_EQ(fvcrash_elf_image_init(&facts, fvcrash_task_self(), map->l_addr,
                                     map->l_addr + header->e_phoff, header->e_phnum),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(raw.header_addr, facts.header_addr);
    EXPECT_EQ(raw.size, facts.size);
    EXPECT_EQ(raw.eh_frame_hdr, facts.eh_frame_hdr);
    EXPECT_EQ(raw.symbol_count, facts.symbol_count);
    EXPECT_TRUE(raw.has_build_id);
    EXPECT_EQ(std::memcmp(raw.uuid, facts.uuid, 16), 0);
    EXPECT_GE(raw.symbol_count, 3u);  // the null symbol and two functions at least

    // Not an ELF header, and program headers that lead nowhere.
    fvcrash_elf_image bad;
    EXPECT_EQ(fvcrash_elf_image_init_from_header(&bad, fvcrash_task_self(), map->l_addr + 1),
              FVCRASH_EINVALID_DATA);
    EXPECT_EQ(fvcrash_elf_image_init_from_header(&bad, fvcrash_task_self(), 4096),
              FVCRASH_EINVALID_DATA);
    EXPECT_EQ(fvcrash_elf_image_init(&bad, fvcrash_task_self(), 0, 8, 4), FVCRASH_EINVALID_DATA);
    EXPECT_EQ(fvcrash_elf_image_init(&bad, fvcrash_task_self(), map->l_addr,
                                     map->l_addr + header->e_phoff, 0),
              FVCRASH_EINVALID_DATA);
    dlclose(handle);
}

TEST(FVCrashThreadList, ShowsEveryThread) {
    constexpr int kThreads = 6;
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    std::vector<pid_t> ids(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ids[i] = gettid();
            ready.fetch_add(1);
            while (!stop.load()) std::this_thread::yield();
        });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    static fvcrash_thread_list list;
    EXPECT_EQ(fvcrash_thread_list_read(&list), FVCRASH_ESUCCESS);
    stop = true;
    for (auto& t : threads) t.join();
    std::set<pid_t> seen(list.threads, list.threads + list.count);
    EXPECT_FALSE(list.truncated);
    EXPECT_TRUE(seen.count(gettid()));
    for (pid_t id : ids) EXPECT_TRUE(seen.count(id)) << id;
}

}  // namespace
