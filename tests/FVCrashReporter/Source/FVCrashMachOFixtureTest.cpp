// The image reader against libraries built for macOS by clang and lld,
// checked against what llvm-objdump and llvm-nm say about the same files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"
#include "support/MachOLoader.h"

namespace {

#ifdef FVCRASH_MACHO_FIXTURES
const std::string kFixtures = FVCRASH_MACHO_FIXTURES;
#else
const std::string kFixtures;
#endif

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    return a == std::string::npos ? "" : s.substr(a);
}

struct Headers {
    uint64_t textVmaddr = 0, textVmsize = 0;
    std::vector<uint8_t> uuid;
};

// From "llvm-objdump --macho --private-headers": the __TEXT segment command
// and the LC_UUID command.
Headers readHeaders(const std::string& path) {
    Headers h;
    auto all = lines(path);
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string line = trim(all[i]);
        if (line == "segname __TEXT" && i + 2 < all.size() &&
            trim(all[i - 2]) == "cmd LC_SEGMENT_64") {
            h.textVmaddr = std::strtoull(trim(all[i + 1]).substr(7).c_str(), nullptr, 16);
            h.textVmsize = std::strtoull(trim(all[i + 2]).substr(7).c_str(), nullptr, 16);
        }
        if (line.rfind("uuid ", 0) == 0) {
            std::string hex;
            for (char c : line.substr(5))
                if (c != '-') hex += c;
            for (size_t k = 0; k + 1 < hex.size(); k += 2)
                h.uuid.push_back(static_cast<uint8_t>(std::stoul(hex.substr(k, 2), nullptr, 16)));
        }
    }
    return h;
}

struct NmSymbol {
    uint64_t address;
    char type;
    std::string name;
};

// From "llvm-nm -n": defined text symbols in address order.
std::vector<NmSymbol> readSymbols(const std::string& path) {
    std::vector<NmSymbol> out;
    for (const std::string& line : lines(path)) {
        std::istringstream in(line);
        std::string address, type, name;
        if (!(in >> address >> type >> name)) continue;
        if (type != "T" && type != "t") continue;
        out.push_back({std::strtoull(address.c_str(), nullptr, 16), type[0], name});
    }
    return out;
}

struct Found {
    uint64_t address = 0;
    std::string name;
};

void keep(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<Found*>(context);
    found->address = address;
    found->name = name;
}

class FVCrashMachOFixture : public testing::TestWithParam<const char*> {};

TEST_P(FVCrashMachOFixture, AgreesWithTheLlvmTools) {
    if (kFixtures.empty()) GTEST_SKIP() << "clang, lld or the llvm tools are missing";
    const std::string base = kFixtures + "/fixture_" + GetParam();
    const Headers headers = readHeaders(base + ".headers.txt");
    const auto symbols = readSymbols(base + ".nm.txt");
    ASSERT_EQ(headers.uuid.size(), 16u);
    ASSERT_GE(symbols.size(), 5u);  // four functions of the source and the local loop
    bool sawLocal = false;
    for (const auto& s : symbols) sawLocal = sawLocal || s.type == 't';
    EXPECT_TRUE(sawLocal);

    std::string error;
    auto loaded = testsupport::LoadedMachO::loadFile(base + ".dylib", &error);
    ASSERT_TRUE(loaded) << error;
    ASSERT_NE(loaded->slide(), 0);

    fvcrash_macho_image image;
    ASSERT_EQ(fvcrash_macho_image_open(&image, fvcrash_task_self(), "fixture", loaded->header()),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(image.text_vmaddr, headers.textVmaddr);
    EXPECT_EQ(image.text_size, headers.textVmsize);
    EXPECT_EQ(image.vmaddr_slide, loaded->slide());
    uint8_t uuid[16];
    ASSERT_TRUE(fvcrash_macho_uuid(&image, uuid));
    EXPECT_EQ(std::vector<uint8_t>(uuid, uuid + 16), headers.uuid);
    EXPECT_EQ(fvcrash_macho_cpu_type(&image), 0x1000007u);

    fvcrash_task_mapping text;
    ASSERT_EQ(fvcrash_macho_map_section(&image, "__TEXT", "__text", &text), FVCRASH_ESUCCESS);
    const uint64_t textEnd = text.task_address + text.length;
    for (size_t i = 0; i < symbols.size(); ++i) {
        const NmSymbol& s = symbols[i];
        const uint64_t start = s.address + static_cast<uint64_t>(loaded->slide());
        const uint64_t end = i + 1 < symbols.size()
                                 ? symbols[i + 1].address + static_cast<uint64_t>(loaded->slide())
                                 : textEnd;
        for (uint64_t pc : {start, start + (end - start) / 2, end - 1}) {
            Found found;
            ASSERT_EQ(fvcrash_macho_lookup_symbol_by_address(&image, pc, keep, &found),
                      FVCRASH_ESUCCESS)
                << s.name;
            EXPECT_EQ(found.name, s.name) << std::hex << pc;
            EXPECT_EQ(found.address, start) << s.name;
        }
        uint64_t byName = 0;
        EXPECT_EQ(fvcrash_macho_lookup_symbol_by_name(&image, s.name.c_str(), &byName),
                  FVCRASH_ESUCCESS);
        EXPECT_EQ(byName, start) << s.name;
    }
    fvcrash_macho_image_close(&image);
}

INSTANTIATE_TEST_SUITE_P(FramePointers, FVCrashMachOFixture, testing::Values("fp", "nofp"));

}  // namespace
