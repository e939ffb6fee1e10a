// The call-frame reader over whole system libraries, read from their files:
// for every FDE and every row address llvm-dwarfdump prints, our CFA and
// register rules equal its rows, and the .eh_frame_hdr search finds the same
// FDE as the walk of the section.
#include <elf.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashDwarfFrame.h"

namespace {

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

struct Section {
    uint64_t vaddr = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

bool findSection(const std::vector<uint8_t>& file, const char* name, Section* out) {
    if (file.size() < sizeof(Elf64_Ehdr)) return false;
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof eh);
    if (eh.e_shoff == 0 || eh.e_shoff + uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr) > file.size()) {
        return false;
    }
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    std::memcpy(sections.data(), file.data() + eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr));
    const Elf64_Shdr& names = sections[eh.e_shstrndx];
    for (const Elf64_Shdr& s : sections) {
        const char* n = reinterpret_cast<const char*>(file.data() + names.sh_offset + s.sh_name);
        if (std::strcmp(n, name) == 0) {
            *out = {s.sh_addr, s.sh_offset, s.sh_size};
            return true;
        }
    }
    return false;
}

const char* dwarfName(uint32_t reg) {
    static const char* const names[] = {"RAX", "RDX", "RCX", "RBX", "RSI", "RDI",
                                        "RBP", "RSP", "R8",  "R9",  "R10", "R11",
                                        "R12", "R13", "R14", "R15", "RIP"};
    return reg < 17 ? names[reg] : "?";
}

std::string signedOffset(int64_t value) {
    if (value == 0) return "";
    char text[32];
    snprintf(text, sizeof text, "%+" PRId64, value);
    return text;
}

/// Our rules in llvm-dwarfdump's words; expressions are "expr".
std::string render(const fvcrash_dwarf_cfa_state& state) {
    const fvcrash_dwarf_cfa_rule cfa = fvcrash_dwarf_cfa_state_get_cfa(&state);
    std::string out = "CFA=";
    if (cfa.kind == FVCRASH_DWARF_CFA_EXPRESSION) {
        out += "expr";
    } else {
        out += dwarfName(cfa.reg) + signedOffset(cfa.offset);
    }
    std::map<uint32_t, std::string> rules;
    const auto& level = state.levels[state.current];
    for (uint8_t bucket : level.buckets) {
        for (uint8_t i = bucket; i != FVCRASH_DWARF_NO_ENTRY; i = state.entries[i].next) {
            const auto& e = state.entries[i];
            std::string value;
            switch (e.kind) {
                case FVCRASH_DWARF_RULE_OFFSET:
                    value = "[CFA" + signedOffset(e.value) + "]";
                    break;
                case FVCRASH_DWARF_RULE_VAL_OFFSET:
                    value = "CFA" + signedOffset(e.value);
                    break;
                case FVCRASH_DWARF_RULE_REGISTER:
                    value = dwarfName(static_cast<uint32_t>(e.value));
                    break;
                case FVCRASH_DWARF_RULE_SAME_VALUE:
                    value = "same";
                    break;
                default:
                    value = "expr";
            }
            rules[e.reg] = value;
        }
    }
    bool first = true;
    for (const auto& [reg, value] : rules) {
        out += first ? ": " : ", ";
        first = false;
        out += std::string(dwarfName(reg)) + "=" + value;
    }
    return out;
}

/// llvm-dwarfdump's row with expressions as "expr" and undefined rules left
/// out (our table has no entry for them).
std::string normalize(const std::string& row) {
    const size_t colon = row.find(": ");
    std::string cfa = row.substr(0, colon);
    if (cfa.find("DW_OP") != std::string::npos) cfa = "CFA=expr";
    std::string out = cfa;
    if (colon == std::string::npos) return out;
    const std::string rest = row.substr(colon + 2);
    std::vector<std::string> rules;
    int depth = 0;
    std::string current;
    for (size_t i = 0; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == '[') ++depth;
        if (c == ']') --depth;
        if (depth == 0 && c == ',' && i + 1 < rest.size() && rest[i + 1] == ' ') {
            rules.push_back(current);
            current.clear();
            ++i;
            continue;
        }
        current += c;
    }
    if (!current.empty()) rules.push_back(current);
    bool first = true;
    for (std::string rule : rules) {
        if (rule.find("=undefined") != std::string::npos) continue;
        const size_t eq = rule.find('=');
        if (rule.find("DW_OP") != std::string::npos) rule = rule.substr(0, eq) + "=expr";
        out += first ? ": " : ", ";
        first = false;
        out += rule;
    }
    return out;
}

struct DumpFde {
    uint64_t offset;
    uint64_t start;
    uint64_t end;
    std::vector<std::pair<uint64_t, std::string>> rows;
    // llvm-dwarfdump 14 brings back only the register rules at
    // DW_CFA_restore_state, not the CFA (the unwinders restore both), so its
    // CFA is not compared in FDEs that restore a state.
    bool restoresState = false;
};

std::vector<DumpFde> parseDump(const std::string& dump) {
    std::vector<DumpFde> fdes;
    std::istringstream in(dump);
    std::string line;
    bool inFde = false;
    while (std::getline(in, line)) {
        unsigned long long offset, length, id, start, end;
        char cie[32];
        if (sscanf(line.c_str(), "%llx %llx %llx FDE cie=%31s pc=%llx...%llx", &offset, &length,
                   &id, cie, &start, &end) == 6) {
            fdes.push_back({offset, start, end, {}});
            inFde = true;
            continue;
        }
        if (line.find(" CIE") != std::string::npos && line.size() > 8 && line[0] != ' ') {
            inFde = false;
            continue;
        }
        if (inFde && line.find("DW_CFA_restore_state") != std::string::npos) {
            fdes.back().restoresState = true;
        }
        unsigned long long address;
        int used = 0;
        if (inFde && sscanf(line.c_str(), "  0x%llx: %n", &address, &used) == 1 && used > 0) {
            fdes.back().rows.push_back({address, line.substr(static_cast<size_t>(used))});
        }
    }
    return fdes;
}

void compareLibrary(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) GTEST_SKIP() << path << " is missing";
    // 8-byte aligned storage, as the section would be in memory.
    std::vector<uint64_t> words;
    {
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
        words.resize((bytes.size() + 7) / 8);
        std::memcpy(words.data(), bytes.data(), bytes.size());
    }
    const auto* base = reinterpret_cast<const uint8_t*>(words.data());
    const std::vector<uint8_t> head(base, base + std::min<size_t>(words.size() * 8, 1 << 26));
    Section eh, hdr;
    ASSERT_TRUE(findSection(head, ".eh_frame", &eh));
    ASSERT_TRUE(findSection(head, ".eh_frame_hdr", &hdr));
    const uint64_t ehLocal = reinterpret_cast<uintptr_t>(base + eh.offset);
    const uint64_t hdrLocal = reinterpret_cast<uintptr_t>(base + hdr.offset);
    // File addresses and vaddrs differ by the same amount for both sections.
    ASSERT_EQ(eh.vaddr - eh.offset, hdr.vaddr - hdr.offset);
    const uint64_t toLocal = reinterpret_cast<uintptr_t>(base) - (eh.vaddr - eh.offset);

    fvcrash_task_mapping section, table;
    ASSERT_EQ(fvcrash_task_mapping_init(&section, fvcrash_task_self(), ehLocal, eh.size, true),
              FVCRASH_ESUCCESS);
    ASSERT_EQ(fvcrash_task_mapping_init(&table, fvcrash_task_self(), hdrLocal, hdr.size, true),
              FVCRASH_ESUCCESS);
    fvcrash_dwarf_pointer_context context;
    fvcrash_dwarf_pointer_context_init(&context, &fvcrash_byte_order_direct, 8);
    fvcrash_dwarf_pointer_context_set_data_base(&context, hdrLocal);
    fvcrash_dwarf_frame_reader reader;
    fvcrash_dwarf_frame_reader_init(&reader, &section, &fvcrash_byte_order_direct, true, false);
    uint64_t named;
    ASSERT_EQ(fvcrash_dwarf_hdr_eh_frame(&table, &named), FVCRASH_ESUCCESS);
    EXPECT_EQ(named, ehLocal);

    const std::vector<DumpFde> fdes =
        parseDump(run(std::string(FVCRASH_DWARFDUMP) + " --eh-frame " + path + " 2>/dev/null"));
    ASSERT_GT(fdes.size(), 100u);
    size_t rows = 0, mismatches = 0, searchMismatches = 0;
    for (const DumpFde& dumped : fdes) {
        fvcrash_dwarf_fde_info fde;
        fvcrash_dwarf_cie_info cie;
        ASSERT_EQ(fvcrash_dwarf_parse_fde(&fde, &cie, &section, &fvcrash_byte_order_direct,
                                          &context, ehLocal + dumped.offset, false),
                  FVCRASH_ESUCCESS)
            << std::hex << dumped.offset;
        ASSERT_EQ(fde.pc_start - toLocal, dumped.start);
        ASSERT_EQ(fde.pc_end - toLocal, dumped.end);
        if (dumped.end > dumped.start) {
            uint64_t found = 0;
            const uint64_t pc = fde.pc_start + (fde.pc_end - fde.pc_start) / 2;
            if (fvcrash_dwarf_hdr_search(&table, pc, &found) != FVCRASH_ESUCCESS ||
                found != ehLocal + dumped.offset) {
                // Overlapping FDEs may make the table pick another; the walk
                // must then agree with the table.
                fvcrash_dwarf_fde_info walked;
                fvcrash_dwarf_cie_info walkedCie;
                if (fvcrash_dwarf_find_fde(&reader, &context, 0, pc, &walked, &walkedCie) !=
                        FVCRASH_ESUCCESS ||
                    walked.offset - 4 + ehLocal != found) {
                    ++searchMismatches;
                }
            }
        }
        for (const auto& [address, text] : dumped.rows) {
            fvcrash_dwarf_cfa_state state;
            fvcrash_dwarf_cfa_state_init(&state);
            const uint64_t pc = address + toLocal;
            ASSERT_EQ(fvcrash_dwarf_run_cfa_program(&state, &section, pc, fde.pc_start, &cie,
                                                    &context, &fvcrash_byte_order_direct, ehLocal,
                                                    cie.instructions_offset,
                                                    cie.instructions_length, true),
                      FVCRASH_ESUCCESS);
            ASSERT_EQ(fvcrash_dwarf_run_cfa_program(&state, &section, pc, fde.pc_start, &cie,
                                                    &context, &fvcrash_byte_order_direct, ehLocal,
                                                    fde.instructions_offset,
                                                    fde.instructions_length, true),
                      FVCRASH_ESUCCESS)
                << std::hex << address;
            ++rows;
            std::string ours = render(state);
            std::string theirs = normalize(text);
            if (dumped.restoresState) {
                ours = ours.substr(std::min(ours.find(':'), ours.size()));
                theirs = theirs.substr(std::min(theirs.find(':'), theirs.size()));
            }
            if (ours != theirs && ++mismatches < 5) {
                ADD_FAILURE() << path << " 0x" << std::hex << address << "\n ours:   " << ours
                              << "\n theirs: " << theirs;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(searchMismatches, 0u);
    EXPECT_GT(rows, fdes.size());
}

#ifdef FVCRASH_DWARFDUMP
TEST(FVCrashDwarfLibraries, LibcRowsMatchLlvmDwarfdump) {
    compareLibrary("/lib/x86_64-linux-gnu/libc.so.6");
}

TEST(FVCrashDwarfLibraries, LibstdcxxRowsMatchLlvmDwarfdump) {
    compareLibrary("/lib/x86_64-linux-gnu/libstdc++.so.6");
}

TEST(FVCrashDwarfLibraries, QtCoreRowsMatchLlvmDwarfdump) {
    compareLibrary("/lib/x86_64-linux-gnu/libQt6Core.so.6");
}
#endif

}  // namespace
