// Symbol look-up: every exported function of this (-rdynamic) test program
// named from .dynsym as dladdr names it, the strategy bits, the name cut and
// the memo; Mach-O symbol tables on the lld fixtures.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"
#include "support/MachOLoader.h"

namespace {

struct Named {
    int calls = 0;
    uint64_t address = 0;
    std::string name;
};

void keep(uint64_t address, const char* name, void* context) {
    auto* named = static_cast<Named*>(context);
    ++named->calls;
    named->address = address;
    named->name = name;
}

extern "C" __attribute__((noinline, used)) int fvcrashSymbolsTestExported(int x) {
    return x * 3 + 1;
}

const fvcrash_image* ownImage(fvcrash_image_list* images) {
    return fvcrash_image_list_image_for_address(
        images, reinterpret_cast<uintptr_t>(&fvcrashSymbolsTestExported));
}

TEST(FVCrashSymbols, DynsymNamesAsDladdrDoes) {
    fvcrash_image_list* images = fvcrash_shared_image_list();
    fvcrash_image_list_set_reading(images, true);
    const fvcrash_image* image = ownImage(images);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->kind, FVCRASH_IMAGE_ELF);
    const fvcrash_elf_image& elf = image->elf;
    ASSERT_GT(elf.symbol_count, 100u);
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(elf.dynsym);
    size_t compared = 0;
    fvcrash_objc_cache cache;
    fvcrash_objc_cache_init(&cache);
    // Each look-up scans the whole table, so every function is checked at
    // its start and a sample of them inside and at their last byte.
    size_t functions = 0;
    for (uint64_t i = 0; i < elf.symbol_count; ++i) {
        const Elf64_Sym& sym = symbols[i];
        if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF ||
            sym.st_size == 0) {
            continue;
        }
        const bool sampled = functions++ % 16 == 0;
        const uint64_t start = elf.load_bias + sym.st_value;
        for (uint64_t pc : {start, start + sym.st_size / 2, start + sym.st_size - 1}) {
            if (pc != start && !sampled) continue;
            Dl_info info;
            ASSERT_NE(dladdr(reinterpret_cast<void*>(pc), &info), 0);
            if (!info.dli_sname) continue;
            Named named;
            ASSERT_EQ(fvcrash_lookup_symbol(image, FVCRASH_SYMBOL_STRATEGY_TABLE, &cache, pc, keep,
                                            &named),
                      FVCRASH_ESUCCESS);
            EXPECT_EQ(named.calls, 1);
            EXPECT_EQ(named.address, reinterpret_cast<uintptr_t>(info.dli_saddr));
            // Names are cut at 255 characters.
            EXPECT_EQ(named.name, std::string(info.dli_sname).substr(0, 255));
            ++compared;
        }
    }
    EXPECT_GT(compared, 300u);
    fvcrash_objc_cache_free(&cache);
    fvcrash_image_list_set_reading(images, false);
}

TEST(FVCrashSymbols, StrategiesAndMemo) {
    fvcrash_image_list* images = fvcrash_shared_image_list();
    fvcrash_image_list_set_reading(images, true);
    const fvcrash_image* image = ownImage(images);
    ASSERT_NE(image, nullptr);
    const uint64_t pc = reinterpret_cast<uintptr_t>(&fvcrashSymbolsTestExported) + 2;
    Named named;
    EXPECT_EQ(fvcrash_lookup_symbol(image, 0, nullptr, pc, keep, &named), FVCRASH_ENOTFOUND);
    EXPECT_EQ(fvcrash_lookup_symbol(image, FVCRASH_SYMBOL_STRATEGY_OBJC, nullptr, pc, keep, &named),
              FVCRASH_ENOTFOUND);  // ELF images have no class metadata
    EXPECT_EQ(named.calls, 0);
    fvcrash_objc_cache cache;
    fvcrash_objc_cache_init(&cache);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(fvcrash_lookup_symbol(image, 3, &cache, pc, keep, &named), FVCRASH_ESUCCESS);
        EXPECT_EQ(named.name, "fvcrashSymbolsTestExported");
        EXPECT_EQ(named.address, pc - 2);
    }
    EXPECT_EQ(named.calls, 2);  // the memo answers the repeat, calling back as before
    EXPECT_TRUE(cache.memo_valid);
    fvcrash_objc_cache_free(&cache);
    fvcrash_image_list_set_reading(images, false);
}

#ifdef FVCRASH_MACHO_FIXTURES
TEST(FVCrashSymbols, MachOSymbolTable) {
    std::string error;
    auto loaded = testsupport::LoadedMachO::loadFile(
        std::string(FVCRASH_MACHO_FIXTURES) + "/fixture_nofp.dylib", &error);
    ASSERT_TRUE(loaded) << error;
    fvcrash_image image;
    image.kind = FVCRASH_IMAGE_MACHO;
    ASSERT_EQ(fvcrash_macho_image_parse(&image.macho, fvcrash_task_self(), loaded->header()),
              FVCRASH_ESUCCESS);
    uint64_t leaf = 0;
    ASSERT_EQ(fvcrash_macho_lookup_symbol_by_name(&image.macho, "_fixture_leaf", &leaf),
              FVCRASH_ESUCCESS);
    Named named;
    ASSERT_EQ(fvcrash_lookup_symbol(&image, 1, nullptr, leaf + 3, keep, &named), FVCRASH_ESUCCESS);
    EXPECT_EQ(named.name, "_fixture_leaf");
    EXPECT_EQ(named.address, leaf);
    EXPECT_EQ(fvcrash_lookup_symbol(&image, 1, nullptr, loaded->header(), keep, &named),
              FVCRASH_ENOTFOUND);
}
#endif

}  // namespace
