// A small writer of DWARF call-frame information (".eh_frame": one CIE and
// its FDEs) and a 64-bit Mach-O image that carries it in __TEXT,__eh_frame
// beside the code in __TEXT,__text. For unwinding tests that need frames
// whose rules are known exactly.
#pragma once

#include <cstdint>
#include <vector>

#include "Platform/Values/Value.h"

namespace testsupport {

/// Call-frame instructions.
namespace cfa {
std::vector<std::uint8_t> defCfa(unsigned reg, std::uint64_t offset);
std::vector<std::uint8_t> defCfaOffset(std::uint64_t offset);
std::vector<std::uint8_t> defCfaRegister(unsigned reg);
/// Register saved at CFA + factored offset * data alignment.
std::vector<std::uint8_t> offset(unsigned reg, std::uint64_t factoredOffset);
std::vector<std::uint8_t> advanceLoc(std::uint32_t delta);
std::vector<std::uint8_t> sameValue(unsigned reg);
}  // namespace cfa

struct EhFrameCie {
    std::uint64_t codeAlignment = 1;
    std::int64_t dataAlignment = -8;
    unsigned returnAddressRegister = 16;
    /// The x86_64 entry state: CFA = rsp + 8, return address at CFA - 8.
    std::vector<std::uint8_t> initialInstructions = {0x0C, 7, 8, 0x90, 1};
};

struct EhFrameFde {
    std::uint64_t pcBegin;  // address of the function (image-relative)
    std::uint64_t pcRange;
    std::vector<std::uint8_t> instructions;
};

/// The bytes of an .eh_frame section placed at `sectionAddress`: the CIE
/// (augmentation "zR", pointers pc-relative signed 4-byte), each FDE, and a
/// zero terminator. FDE pc_begin is stored relative to its own field.
platform::Data ehFrame(std::uint64_t sectionAddress, const EhFrameCie& cie,
                       const std::vector<EhFrameFde>& fdes);

/// Instruction bytes concatenated.
std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts);

/// A 64-bit Mach-O bundle image (vmaddr 0, file offsets equal to
/// addresses): __TEXT with __text holding `code` at 0x1000 and __eh_frame
/// holding the CIE and FDEs (FDE pc values count from the image start).
platform::Data machOWithEhFrame(const platform::Data& code, const EhFrameCie& cie,
                                const std::vector<EhFrameFde>& fdes);
/// Where machOWithEhFrame puts the code.
inline constexpr std::uint64_t kEhFrameMachOTextAddress = 0x1000;

}  // namespace testsupport
