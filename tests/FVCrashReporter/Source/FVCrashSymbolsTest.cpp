// Symbol look-up: every exported function of this (-rdynamic) test program
// named from .dynsym as dladdr names it, the strategy bits, the name cut and
// the memo; Mach-O symbol tables on the lld fixtures.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"
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

// Compares the look-up with dladdr at the start, middle and last byte of
// functions, and at addresses between functions (past one's end, before the
// next starts), where the loader names nothing and neither may we.
size_t compareWithLoader(const fvcrash_image* image) {
    const fvcrash_elf_image& elf = image->elf;
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(elf.dynsym);
    std::vector<std::pair<uint64_t, uint64_t>> functions;  // start, size
    for (uint64_t i = 0; i < elf.symbol_count; ++i) {
        const Elf64_Sym& sym = symbols[i];
        if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF ||
            sym.st_size == 0) {
            continue;
        }
        functions.emplace_back(elf.load_bias + sym.st_value, sym.st_size);
    }
    std::sort(functions.begin(), functions.end());
    fvcrash_objc_cache cache;
    fvcrash_objc_cache_init(&cache);
    size_t compared = 0;
    // Each look-up scans the whole table, so a sample of the functions.
    for (size_t f = 0; f < functions.size(); f += 7) {
        const auto [start, size] = functions[f];
        std::vector<uint64_t> pcs = {start, start + size / 2, start + size - 1, start + size};
        if (f + 1 < functions.size() && functions[f + 1].first > start + size + 1) {
            pcs.push_back((start + size + functions[f + 1].first) / 2);
        }
        for (uint64_t pc : pcs) {
            Dl_info info;
            if (dladdr(reinterpret_cast<void*>(pc), &info) == 0) continue;
            Named named;
            const fvcrash_status status = fvcrash_lookup_symbol(
                image, FVCRASH_SYMBOL_STRATEGY_TABLE, &cache, pc, keep, &named);
            if (!info.dli_sname) {
                EXPECT_EQ(status, FVCRASH_ENOTFOUND) << std::hex << pc << " named " << named.name;
                EXPECT_EQ(named.calls, 0);
            } else {
                EXPECT_EQ(status, FVCRASH_ESUCCESS) << std::hex << pc;
                EXPECT_EQ(named.calls, 1);
                EXPECT_EQ(named.address, reinterpret_cast<uintptr_t>(info.dli_saddr));
                // Names are cut at 255 characters.
                EXPECT_EQ(named.name, std::string(info.dli_sname).substr(0, 255));
            }
            ++compared;
        }
    }
    fvcrash_objc_cache_free(&cache);
    return compared;
}

TEST(FVCrashSymbols, DynsymNamesAsDladdrDoes) {
    fvcrash_image_list* images = fvcrash_shared_image_list();
    fvcrash_image_list_set_reading(images, true);
    // This program (-rdynamic) and libc, whose unexported code lies between
    // exported functions.
    const fvcrash_image* own = ownImage(images);
    const fvcrash_image* libc =
        fvcrash_image_list_image_for_address(images, reinterpret_cast<uintptr_t>(&qsort));
    for (const fvcrash_image* image : {own, libc}) {
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(image->kind, FVCRASH_IMAGE_ELF);
        ASSERT_GT(image->elf.symbol_count, 100u);
        EXPECT_GT(compareWithLoader(image), 300u);
    }
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

#include <sys/mman.h>

namespace {

// A Mach-O image built in place with class metadata as the runtime leaves it
// once the classes are realized: class records in __objc_data whose data
// points at a writable head (realized bit set) that points at the read-only
// record in __objc_const. Pointers are final addresses, as after rebasing.
class ObjcImage {
  public:
    static constexpr uint64_t kSize = 0x10000;
    static constexpr uint64_t kConst = 0x4000, kClassList = 0x5000, kCatList = 0x5800,
                              kData = 0x6000, kHeads = 0x7000, kStrings = 0x1000;

    explicit ObjcImage(bool withCategories = true) {
        base_ = static_cast<uint8_t*>(
            mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        writeHeader(withCategories);
    }
    ~ObjcImage() { munmap(base_, kSize); }

    uint64_t address(uint64_t offset) const { return reinterpret_cast<uintptr_t>(base_) + offset; }
    void put64(uint64_t offset, uint64_t value) { std::memcpy(base_ + offset, &value, 8); }
    void put32(uint64_t offset, uint32_t value) { std::memcpy(base_ + offset, &value, 4); }

    uint64_t string(const std::string& text) {
        const uint64_t at = strings_;
        std::memcpy(base_ + at, text.c_str(), text.size() + 1);
        strings_ += text.size() + 1;
        return address(at);
    }
    /// A method list in __objc_const; returns its address.
    uint64_t methods(const std::vector<std::pair<std::string, uint64_t>>& list,
                     uint32_t entrySize = 24, uint32_t count = 0) {
        const uint64_t at = const_;
        put32(at, entrySize);
        put32(at + 4, count ? count : static_cast<uint32_t>(list.size()));
        uint64_t entry = at + 8;
        for (const auto& [name, imp] : list) {
            put64(entry, string(name));
            put64(entry + 16, address(imp));
            entry += entrySize;
        }
        const_ = entry;
        return address(at);
    }
    /// A class with a metaclass; returns the class record's offset.
    uint64_t addClass(const std::string& name, uint64_t instanceMethods, uint64_t classMethods,
                      bool realized = true, uint64_t headAt = 0) {
        const uint64_t meta = record(name, classMethods, 0, realized, 0);
        const uint64_t cls = record(name, instanceMethods, meta, realized, headAt);
        put64(kClassList + classes_ * 8, address(cls));
        ++classes_;
        put64(classListSize_, classes_ * 8);
        return cls;
    }
    void addCategory(uint64_t cls, uint64_t instanceMethods, uint64_t classMethods) {
        const uint64_t at = const_;
        put64(at, string("Extras"));
        put64(at + 8, address(cls));
        put64(at + 16, instanceMethods);
        put64(at + 24, classMethods);
        const_ += 48;
        put64(kCatList + categories_ * 8, address(at));
        ++categories_;
        if (catListSize_) put64(catListSize_, categories_ * 8);
    }

  private:
    uint64_t record(const std::string& name, uint64_t methods, uint64_t isa, bool realized,
                    uint64_t headAt) {
        const uint64_t ro = const_;
        put64(ro + 24, string(name));
        put64(ro + 32, methods);
        const_ += 72;
        const uint64_t head = headAt ? headAt : heads_;
        if (!headAt) heads_ += 16;
        put32(head, realized ? 0x80000000u : 0);
        put64(head + 8, address(ro));
        const uint64_t cls = data_;
        put64(cls, isa ? address(isa) : 0);
        put64(cls + 32, address(head));
        data_ += 40;
        return cls;
    }

    void writeHeader(bool withCategories) {
        put32(0, 0xFEEDFACF);
        put32(4, FVCRASH_CPU_TYPE_X86_64);
        put32(8, 3);
        put32(12, 6);
        const uint32_t sections = withCategories ? 4 : 3;
        put32(16, 2);
        put32(20, 72 + 72 + 80 * sections);
        uint64_t at = 32;
        auto segment = [&](const char* name, uint64_t vmaddr, uint32_t nsects) {
            put32(at, 0x19);
            put32(at + 4, 72 + 80 * nsects);
            std::memcpy(base_ + at + 8, name, std::strlen(name));
            put64(at + 24, vmaddr);
            put64(at + 32, 0x4000);
            put64(at + 40, vmaddr);
            put64(at + 48, 0x4000);
            put32(at + 56, 7);
            put32(at + 60, 3);
            put32(at + 64, nsects);
            at += 72;
        };
        auto section = [&](const char* name, uint64_t addr, uint64_t size) {
            std::memcpy(base_ + at, name, std::strlen(name));
            std::memcpy(base_ + at + 16, "__DATA", 6);
            put64(at + 32, addr);
            put64(at + 40, size);
            put32(at + 48, static_cast<uint32_t>(addr));
            at += 80;
        };
        segment("__TEXT", 0, 0);
        segment("__DATA", 0x4000, sections);
        section("__objc_const", kConst, 0x1000);
        classListSize_ = at + 40;
        section("__objc_classlist", kClassList, 0);
        if (withCategories) {
            catListSize_ = at + 40;
            section("__objc_catlist", kCatList, 0);
        }
        section("__objc_data", kData, 0x1000);
    }

    uint8_t* base_;
    uint64_t strings_ = kStrings, const_ = kConst, data_ = kData, heads_ = kHeads;
    uint32_t classes_ = 0, categories_ = 0;
    uint64_t classListSize_ = 0, catListSize_ = 0;  // where the list sizes are stored
};

struct MethodNames {
    std::vector<std::string> names;
};

void collectMethod(bool isClass, fvcrash_task_string* cls, fvcrash_task_string* method, uint64_t,
                   void* context) {
    static_cast<MethodNames*>(context)->names.push_back(
        std::string(isClass ? "+" : "-") + fvcrash_task_string_pointer(cls, nullptr) + " " +
        fvcrash_task_string_pointer(method, nullptr));
}

TEST(FVCrashSymbols, ClassMetadata) {
    ObjcImage built;
    const std::string longName(300, 'L');
    const uint64_t root =
        built.addClass("Root", built.methods({{"alpha", 0x100}, {"beta", 0x180}}),
                       built.methods({{"gamma", 0x200}}), true, ObjcImage::kHeads + 0x1000);
    built.addCategory(root, built.methods({{"delta", 0x280}}), built.methods({{"epsilon", 0x300}}));
    built.addClass("Unrealized", built.methods({{"hidden", 0x380}}), 0, false);
    built.addClass(longName, built.methods({{"m", 0x400}}), 0);
    // Its data lies 4 KiB past Root's: the same class-table slot.
    built.addClass("Second", built.methods({{"other", 0x480}}), 0, true,
                   ObjcImage::kHeads + 0x2000);
    fvcrash_image image;
    image.kind = FVCRASH_IMAGE_MACHO;
    ASSERT_EQ(fvcrash_macho_image_parse(&image.macho, fvcrash_task_self(), built.address(0)),
              FVCRASH_ESUCCESS);
    fvcrash_objc_cache cache;
    fvcrash_objc_cache_init(&cache);

    MethodNames all;
    ASSERT_EQ(fvcrash_objc_each_method(&image, &cache, collectMethod, &all), FVCRASH_ESUCCESS);
    EXPECT_EQ(all.names, (std::vector<std::string>{"-Root alpha", "-Root beta", "+Root gamma",
                                                   "-" + longName + " m", "-Second other",
                                                   "-Root delta", "+Root epsilon"}));
    EXPECT_TRUE(cache.current_metadata_seen);
    EXPECT_EQ(cache.class_table_capacity, FVCRASH_OBJC_CLASS_TABLE_SIZE);

    const struct {
        uint64_t pc;
        fvcrash_status status;
        std::string name;
        uint64_t start;
    } cases[] = {
        {0x190, FVCRASH_ESUCCESS, "-[Root beta]", 0x180},
        {0x200, FVCRASH_ESUCCESS, "+[Root gamma]", 0x200},
        {0x290, FVCRASH_ESUCCESS, "-[Root delta]", 0x280},
        {0x390, FVCRASH_ESUCCESS, "+[Root epsilon]", 0x300},  // the unrealized class is skipped
        {0x410, FVCRASH_ESUCCESS, ("-[" + longName).substr(0, 255), 0x400},
        {0x490, FVCRASH_ESUCCESS, "-[Second other]", 0x480},  // read again past the full slot
        {0x50, FVCRASH_ENOTFOUND, "", 0},
    };
    for (const auto& c : cases) {
        Named named;
        EXPECT_EQ(fvcrash_lookup_symbol(&image, FVCRASH_SYMBOL_STRATEGY_OBJC | 1, &cache,
                                        built.address(c.pc), keep, &named),
                  c.status)
            << std::hex << c.pc;
        if (c.status != FVCRASH_ESUCCESS) continue;
        EXPECT_EQ(named.name, c.name);
        EXPECT_EQ(named.address, built.address(c.start));
    }
    Named named;
    EXPECT_EQ(fvcrash_lookup_symbol(&image, 0, &cache, built.address(0x190), keep, &named),
              FVCRASH_ENOTFOUND);
    EXPECT_EQ(named.calls, 0);
    fvcrash_objc_cache_free(&cache);
}

TEST(FVCrashSymbols, ClassMetadataFaults) {
    fvcrash_objc_cache cache;
    fvcrash_objc_cache_init(&cache);
    MethodNames names;
    {
        ObjcImage built(false);  // no __objc_catlist
        built.addClass("Root", built.methods({{"alpha", 0x100}}), 0);
        fvcrash_image image;
        image.kind = FVCRASH_IMAGE_MACHO;
        ASSERT_EQ(fvcrash_macho_image_parse(&image.macho, fvcrash_task_self(), built.address(0)),
                  FVCRASH_ESUCCESS);
        EXPECT_EQ(fvcrash_objc_each_method(&image, &cache, collectMethod, &names),
                  FVCRASH_ENOTFOUND);
        EXPECT_EQ(fvcrash_objc_each_method(&image, nullptr, collectMethod, &names),
                  FVCRASH_EACCESS);
    }
    const struct {
        uint32_t entrySize;
        uint32_t count;
    } lists[] = {
        {16, 1},           // the implementation would lie past the entry
        {24, 0xFFFFFFFF},  // count x size beyond the section (and past 32 bits)
    };
    for (const auto& list : lists) {
        fvcrash_objc_cache_free(&cache);
        ObjcImage built;
        const uint64_t root = built.addClass(
            "Root", built.methods({{"alpha", 0x100}}, list.entrySize, list.count), 0);
        built.addCategory(root, 0, 0);
        fvcrash_image image;
        image.kind = FVCRASH_IMAGE_MACHO;
        ASSERT_EQ(fvcrash_macho_image_parse(&image.macho, fvcrash_task_self(), built.address(0)),
                  FVCRASH_ESUCCESS);
        EXPECT_EQ(fvcrash_objc_each_method(&image, &cache, collectMethod, &names),
                  FVCRASH_EINVALID_DATA);
    }
    fvcrash_objc_cache_free(&cache);
}

}  // namespace
