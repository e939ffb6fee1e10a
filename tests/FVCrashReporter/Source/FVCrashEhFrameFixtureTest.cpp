// The hand-written call-frame fixtures: what llvm-dwarfdump reads in them,
// and where the image reader finds them once loaded at a slide.
#include <gtest/gtest.h>
#include <stdio.h>

#include <cstring>
#include <fstream>
#include <string>

#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"
#include "support/EhFrameWriter.h"
#include "support/MachOLoader.h"
#include "support/TempDir.h"

namespace {

using namespace testsupport;

// push rbp; mov rbp, rsp; pop rbp; ret | sub rsp, 24; add rsp, 24; ret
const platform::Data kCode = {0x55, 0x48, 0x89, 0xE5, 0x5D, 0xC3, 0x90, 0x90, 0x48,
                              0x83, 0xEC, 0x18, 0x48, 0x83, 0xC4, 0x18, 0xC3};

const std::vector<EhFrameFde> kFdes = {
    {0x1000, 6,
     join({cfa::advanceLoc(1), cfa::defCfaOffset(16), cfa::offset(6, 2), cfa::advanceLoc(3),
           cfa::defCfaRegister(6)})},
    {0x1008, 9, join({cfa::advanceLoc(4), cfa::defCfaOffset(32)})},
};

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

TEST(FVCrashEhFrameFixture, LlvmDwarfdumpReadsTheFrames) {
#ifndef FVCRASH_DWARFDUMP
    GTEST_SKIP() << "llvm-dwarfdump is missing";
#else
    TempDir dir;
    const platform::Data image = machOWithEhFrame(kCode, EhFrameCie{}, kFdes);
    const std::string path = dir.file("frames.dylib");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
    const std::string dump = run(std::string(FVCRASH_DWARFDUMP) + " --eh-frame " + path + " 2>&1");
    EXPECT_NE(dump.find("CIE"), std::string::npos) << dump;
    EXPECT_NE(dump.find("Augmentation:          \"zR\""), std::string::npos) << dump;
    EXPECT_NE(dump.find("pc=00001000...00001006"), std::string::npos) << dump;
    EXPECT_NE(dump.find("pc=00001008...00001011"), std::string::npos) << dump;
    EXPECT_NE(dump.find("DW_CFA_def_cfa_register: RBP"), std::string::npos) << dump;
    EXPECT_NE(dump.find("DW_CFA_def_cfa_offset: +32"), std::string::npos) << dump;
#endif
}

TEST(FVCrashEhFrameFixture, FramesPointIntoTheCodeAtASlide) {
    std::string error;
    auto loaded = LoadedMachO::load(machOWithEhFrame(kCode, EhFrameCie{}, kFdes), &error);
    ASSERT_TRUE(loaded) << error;
    fvcrash_macho_image image;
    ASSERT_EQ(fvcrash_macho_image_open(&image, fvcrash_task_self(), "frames", loaded->header()),
              FVCRASH_ESUCCESS);
    fvcrash_task_mapping text, frames;
    ASSERT_EQ(fvcrash_macho_map_section(&image, "__TEXT", "__text", &text), FVCRASH_ESUCCESS);
    ASSERT_EQ(fvcrash_macho_map_section(&image, "__TEXT", "__eh_frame", &frames), FVCRASH_ESUCCESS);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(text.address), kCode.data(), kCode.size()),
              0);

    // Walk the records: each FDE's pc_begin (relative to its own field) lands
    // on the slid function it describes.
    std::vector<uint64_t> starts;
    uint64_t at = frames.task_address;
    for (;;) {
        uint32_t length = 0, id = 0;
        ASSERT_EQ(
            fvcrash_task_mapping_read_uint32(&frames, &fvcrash_byte_order_direct, at, 0, &length),
            FVCRASH_ESUCCESS);
        if (length == 0) break;
        ASSERT_EQ(fvcrash_task_mapping_read_uint32(&frames, &fvcrash_byte_order_direct, at, 4, &id),
                  FVCRASH_ESUCCESS);
        if (id != 0) {
            uint32_t relative = 0;
            ASSERT_EQ(fvcrash_task_mapping_read_uint32(&frames, &fvcrash_byte_order_direct, at, 8,
                                                       &relative),
                      FVCRASH_ESUCCESS);
            starts.push_back(
                at + 8 +
                static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(relative))));
        }
        at += 4 + length;
    }
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0], text.task_address);
    EXPECT_EQ(starts[1], text.task_address + 8);
    fvcrash_macho_image_close(&image);
}

}  // namespace
