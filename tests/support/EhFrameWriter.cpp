#include "support/EhFrameWriter.h"

#include "support/MachOBuilder.h"

namespace testsupport {

namespace {

using Bytes = std::vector<std::uint8_t>;

void uleb(Bytes& out, std::uint64_t v) {
    do {
        std::uint8_t byte = v & 0x7F;
        v >>= 7;
        out.push_back(v ? byte | 0x80 : byte);
    } while (v);
}

void sleb(Bytes& out, std::int64_t v) {
    for (;;) {
        std::uint8_t byte = v & 0x7F;
        v >>= 7;
        const bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
        out.push_back(done ? byte : byte | 0x80);
        if (done) return;
    }
}

void u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void patch32(Bytes& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void padTo8(Bytes& record, std::size_t start) {
    while ((record.size() - start) % 8) record.push_back(0);  // DW_CFA_nop
}

}  // namespace

namespace cfa {
Bytes defCfa(unsigned reg, std::uint64_t offset) {
    Bytes b{0x0C};
    uleb(b, reg);
    uleb(b, offset);
    return b;
}
Bytes defCfaOffset(std::uint64_t offset) {
    Bytes b{0x0E};
    uleb(b, offset);
    return b;
}
Bytes defCfaRegister(unsigned reg) {
    Bytes b{0x0D};
    uleb(b, reg);
    return b;
}
Bytes offset(unsigned reg, std::uint64_t factoredOffset) {
    Bytes b;
    if (reg < 64) {
        b.push_back(static_cast<std::uint8_t>(0x80 | reg));
    } else {
        b.push_back(0x05);
        uleb(b, reg);
    }
    uleb(b, factoredOffset);
    return b;
}
Bytes advanceLoc(std::uint32_t delta) {
    if (delta < 64) return {static_cast<std::uint8_t>(0x40 | delta)};
    Bytes b{0x04};
    u32(b, delta);
    return b;
}
Bytes sameValue(unsigned reg) {
    Bytes b{0x08};
    uleb(b, reg);
    return b;
}
}  // namespace cfa

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

platform::Data ehFrame(std::uint64_t sectionAddress, const EhFrameCie& cie,
                       const std::vector<EhFrameFde>& fdes) {
    Bytes out;
    // CIE: length, id 0, version 1, "zR", alignments, return register,
    // augmentation data (FDE pointer encoding pcrel|sdata4), instructions.
    u32(out, 0);
    u32(out, 0);
    out.push_back(1);
    out.insert(out.end(), {'z', 'R', 0});
    uleb(out, cie.codeAlignment);
    sleb(out, cie.dataAlignment);
    uleb(out, cie.returnAddressRegister);
    uleb(out, 1);
    out.push_back(0x1B);
    out.insert(out.end(), cie.initialInstructions.begin(), cie.initialInstructions.end());
    padTo8(out, 0);
    patch32(out, 0, static_cast<std::uint32_t>(out.size() - 4));

    for (const EhFrameFde& fde : fdes) {
        const std::size_t start = out.size();
        u32(out, 0);
        u32(out, static_cast<std::uint32_t>(out.size()));  // distance back to the CIE
        const std::uint64_t field = sectionAddress + out.size();
        u32(out, static_cast<std::uint32_t>(fde.pcBegin - field));
        u32(out, static_cast<std::uint32_t>(fde.pcRange));
        uleb(out, 0);  // no augmentation data
        out.insert(out.end(), fde.instructions.begin(), fde.instructions.end());
        padTo8(out, start);
        patch32(out, start, static_cast<std::uint32_t>(out.size() - start - 4));
    }
    u32(out, 0);
    return out;
}

platform::Data machOWithEhFrame(const platform::Data& code, const EhFrameCie& cie,
                                const std::vector<EhFrameFde>& fdes) {
    const std::uint64_t text = kEhFrameMachOTextAddress;
    const std::uint64_t eh = (text + code.size() + 15) & ~std::uint64_t(15);
    const platform::Data frames = ehFrame(eh, cie, fdes);
    const std::uint64_t end = (eh + frames.size() + 4095) & ~std::uint64_t(4095);
    platform::Data d(end, 0);
    const std::size_t cmdsize = 72 + 2 * 80;
    put(d, 0, 0xFEEDFACF, 4);
    put(d, 4, 0x1000007, 4);
    put(d, 8, 3, 4);
    put(d, 12, 8, 4);  // MH_BUNDLE: a library image without an install name
    put(d, 16, 1, 4);
    put(d, 20, cmdsize, 4);
    put(d, 32, 0x19, 4);
    put(d, 36, cmdsize, 4);
    putName(d, 40, "__TEXT");
    put(d, 56, 0, 8);    // vmaddr
    put(d, 64, end, 8);  // vmsize
    put(d, 72, 0, 8);    // fileoff
    put(d, 80, end, 8);  // filesize
    put(d, 88, 5, 4);    // maxprot r-x
    put(d, 92, 5, 4);    // initprot
    put(d, 96, 2, 4);    // nsects
    auto section = [&](std::size_t at, const char* name, std::uint64_t addr, std::uint64_t size) {
        putName(d, at, name);
        putName(d, at + 16, "__TEXT");
        put(d, at + 32, addr, 8);
        put(d, at + 40, size, 8);
        put(d, at + 48, addr, 4);  // file offset
    };
    section(104, "__text", text, code.size());
    section(184, "__eh_frame", eh, frames.size());
    std::copy(code.begin(), code.end(), d.begin() + static_cast<long>(text));
    std::copy(frames.begin(), frames.end(), d.begin() + static_cast<long>(eh));
    return d;
}

}  // namespace testsupport
