// The location-expression evaluator over expressions held in this process's
// memory, with a register state and memory of known contents.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashDwarfExpression.h"
#include "FVCrashReporter/Source/crash/FVCrashDwarfStream.h"

namespace {

template <typename Word>
fvcrash_status evaluate(const std::vector<uint8_t>& bytes, Word* result,
                        const std::vector<Word>& initial = {}) {
    // One spare byte so that an empty expression still has a window.
    std::vector<uint8_t> storage(bytes);
    storage.push_back(0);
    const uint64_t address = reinterpret_cast<uintptr_t>(storage.data());
    fvcrash_task_mapping mapping;
    EXPECT_EQ(
        fvcrash_task_mapping_init(&mapping, fvcrash_task_self(), address, storage.size(), true),
        FVCRASH_ESUCCESS);
    fvcrash_thread_state state;
    fvcrash_thread_state_for_cpu(
        &state, sizeof(Word) == 8 ? FVCRASH_CPU_TYPE_X86_64 : FVCRASH_CPU_TYPE_X86);
    fvcrash_thread_state_write_reg(&state, FVCRASH_REG_SP, 0x7000);
    return fvcrash_dwarf_eval_expression<Word>(&mapping, fvcrash_task_self(), &state,
                                               &fvcrash_byte_order_direct, address, 0, bytes.size(),
                                               initial.data(), initial.size(), result);
}

std::vector<uint8_t> addressBytes(const void* pointer) {
    const uint64_t value = reinterpret_cast<uintptr_t>(pointer);
    std::vector<uint8_t> out = {0x0E};  // const8u
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    fvcrash_status status;
    uint64_t value;
};

TEST(FVCrashDwarfExpression, OperationsOn64BitWords) {
    const Case cases[] = {
        {"lit5 lit3 minus", {0x35, 0x33, 0x1C}, FVCRASH_ESUCCESS, 2},
        {"lit3 lit5 lt", {0x33, 0x35, 0x2D}, FVCRASH_ESUCCESS, 1},
        {"lt is unsigned", {0x11, 0x7F, 0x31, 0x2D}, FVCRASH_ESUCCESS, 0},
        {"div by zero", {0x31, 0x30, 0x1B}, FVCRASH_EINVAL, 0},
        {"div is unsigned", {0x11, 0x7C, 0x32, 0x1B}, FVCRASH_ESUCCESS, UINT64_MAX / 2 - 1},
        {"mod", {0x3A, 0x33, 0x1D}, FVCRASH_ESUCCESS, 1},
        {"only dup", {0x12}, FVCRASH_EINVAL, 0},
        {"minus underflow", {0x31, 0x1C}, FVCRASH_EINTERNAL, 0},
        {"neg", {0x33, 0x1F}, FVCRASH_ESUCCESS, static_cast<uint64_t>(-3)},
        {"abs of -3", {0x11, 0x7D, 0x19}, FVCRASH_ESUCCESS, 3},
        {"abs of the minimum",
         {0x0E, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x19},
         FVCRASH_ESUCCESS,
         0x8000000000000000ull},
        {"shl modulo 64", {0x31, 0x08, 65, 0x24}, FVCRASH_ESUCCESS, 2},
        {"shra keeps the sign",
         {0x11, 0x70, 0x32, 0x26},
         FVCRASH_ESUCCESS,
         static_cast<uint64_t>(-4)},
        {"shr is logical", {0x11, 0x7F, 0x08, 63, 0x25}, FVCRASH_ESUCCESS, 1},
        {"const2s", {0x0B, 0xFE, 0xFF}, FVCRASH_ESUCCESS, static_cast<uint64_t>(-2)},
        {"const4u", {0x0C, 0xFE, 0xFF, 0xFF, 0xFF}, FVCRASH_ESUCCESS, 0xFFFFFFFEull},
        {"constu", {0x10, 0xE5, 0x8E, 0x26}, FVCRASH_ESUCCESS, 624485},
        {"plus_uconst", {0x32, 0x23, 0x80, 0x01}, FVCRASH_ESUCCESS, 130},
        {"rot", {0x31, 0x32, 0x33, 0x17, 0x1C, 0x1C}, FVCRASH_ESUCCESS, 4},
        {"pick swap",
         {0x31, 0x32, 0x33, 0x15, 2, 0x16, 0x1C},
         FVCRASH_ESUCCESS,
         static_cast<uint64_t>(-2)},
        {"over", {0x35, 0x31, 0x14, 0x1C}, FVCRASH_ESUCCESS, static_cast<uint64_t>(-4)},
        {"pick beyond the depth", {0x31, 0x15, 1}, FVCRASH_EINVAL, 0},
        {"bra taken", {0x31, 0x28, 0x01, 0x00, 0x35, 0x37}, FVCRASH_ESUCCESS, 7},
        {"bra not taken", {0x30, 0x28, 0x01, 0x00, 0x35}, FVCRASH_ESUCCESS, 5},
        {"skip to the end", {0x33, 0x2F, 0x01, 0x00, 0x35}, FVCRASH_ESUCCESS, 3},
        {"skip outside", {0x2F, 0x05, 0x00}, FVCRASH_EINVAL, 0},
        {"skip spinning backwards", {0x2F, 0xFD, 0xFF}, FVCRASH_EINVAL, 0},
        {"operand cut short", {0x0C, 0x01, 0x02}, FVCRASH_EINVAL, 0},
        {"breg7 reads rsp", {0x77, 0x10}, FVCRASH_ESUCCESS, 0x7010},
        {"bregx 7 negative", {0x92, 0x07, 0x70}, FVCRASH_ESUCCESS, 0x7000 - 16},
        {"breg16 has no register", {0x80, 0x00}, FVCRASH_ENOTSUP, 0},
        {"breg0 rax not valid", {0x70, 0x00}, FVCRASH_ENOTFOUND, 0},
        {"deref_size 3", {0x31, 0x94, 3}, FVCRASH_EINVAL, 0},
        {"deref_size underflow", {0x94, 1}, FVCRASH_EINVAL, 0},
        {"deref underflow", {0x06}, FVCRASH_EINTERNAL, 0},
        {"deref of an unmapped page", {0x30, 0x06}, FVCRASH_ENOTFOUND, 0},
        {"regx unsupported", {0x90, 0x01}, FVCRASH_ENOTSUP, 0},
        {"addr unsupported", {0x03}, FVCRASH_ENOTSUP, 0},
        {"nop lit31", {0x96, 0x4F}, FVCRASH_ESUCCESS, 31},
    };
    for (const Case& c : cases) {
        uint64_t result = 0;
        EXPECT_EQ(evaluate<uint64_t>(c.bytes, &result), c.status) << c.name;
        if (c.status == FVCRASH_ESUCCESS) {
            EXPECT_EQ(result, c.value) << c.name;
        }
    }
}

TEST(FVCrashDwarfExpression, ReadsMemoryOfEachSize) {
    static const uint64_t word = 0x1122334455667788ull;
    const std::vector<uint8_t> at = addressBytes(&word);
    const struct {
        std::vector<uint8_t> tail;
        uint64_t value;
    } cases[] = {
        {{0x06}, word},
        {{0x94, 1}, 0x88},
        {{0x94, 2}, 0x7788},
        {{0x94, 4}, 0x55667788},
        {{0x94, 8}, word},
        {{0x30, 0x16, 0x18}, word},
        {{0x30, 0x16, 0x95, 2}, 0x7788},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = at;
        bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
        uint64_t result = 0;
        EXPECT_EQ(evaluate<uint64_t>(bytes, &result), FVCRASH_ESUCCESS);
        EXPECT_EQ(result, c.value);
    }
}

TEST(FVCrashDwarfExpression, InitialValues) {
    uint64_t result = 0;
    EXPECT_EQ(evaluate<uint64_t>({}, &result, {42}), FVCRASH_ESUCCESS);
    EXPECT_EQ(result, 42u);
    EXPECT_EQ(evaluate<uint64_t>({0x23, 0x08}, &result, {42}), FVCRASH_ESUCCESS);
    EXPECT_EQ(result, 50u);
    EXPECT_EQ(evaluate<uint64_t>({}, &result), FVCRASH_EINVAL);
    EXPECT_EQ(evaluate<uint64_t>({0x30}, &result, std::vector<uint64_t>(100, 1)),
              FVCRASH_EINTERNAL);  // the push overflows
    EXPECT_EQ(evaluate<uint64_t>({0x03}, &result, std::vector<uint64_t>(101, 1)),
              FVCRASH_EINTERNAL);  // refused before the opcode is read
}

TEST(FVCrashDwarfExpression, ThirtyTwoBitWords) {
    const struct {
        std::vector<uint8_t> bytes;
        fvcrash_status status;
        uint32_t value;
    } cases[] = {
        {{0x0E, 0x01, 0, 0, 0, 0x02, 0, 0, 0}, FVCRASH_ESUCCESS, 1},  // const8u keeps the low half
        {{0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, FVCRASH_ESUCCESS, 0xFFFFFFFF},
        {{0x31, 0x08, 33, 0x24}, FVCRASH_ESUCCESS, 2},  // shift modulo 32
        {{0x30, 0x31, 0x1C}, FVCRASH_ESUCCESS, 0xFFFFFFFF},
        {{0x0C, 0, 0, 0, 0x80, 0x19}, FVCRASH_ESUCCESS, 0x80000000},
        {{0x31, 0x94, 8}, FVCRASH_EINVAL, 0},
        {{0x80, 0x00}, FVCRASH_ENOTSUP, 0},  // DWARF 16 on i386 is not a register here
    };
    for (const auto& c : cases) {
        uint32_t result = 0;
        EXPECT_EQ(evaluate<uint32_t>(c.bytes, &result), c.status);
        if (c.status == FVCRASH_ESUCCESS) {
            EXPECT_EQ(result, c.value);
        }
    }
}

TEST(FVCrashDwarfStream, Leb128Limits) {
    const struct {
        std::vector<uint8_t> bytes;
        fvcrash_status status;
        uint64_t value;
        uint64_t size;
    } unsignedCases[] = {
        {{0x02}, FVCRASH_ESUCCESS, 2, 1},
        {{0xE5, 0x8E, 0x26}, FVCRASH_ESUCCESS, 624485, 3},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
         FVCRASH_ESUCCESS,
         UINT64_MAX,
         10},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, FVCRASH_EINVAL, 0, 0},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, FVCRASH_ENOTSUP, 0, 0},
        {{0x80}, FVCRASH_EINVAL, 0, 0},  // runs off the window
    };
    for (const auto& c : unsignedCases) {
        fvcrash_task_mapping mapping;
        ASSERT_EQ(fvcrash_task_mapping_init(&mapping, fvcrash_task_self(),
                                            reinterpret_cast<uintptr_t>(c.bytes.data()),
                                            c.bytes.size(), true),
                  FVCRASH_ESUCCESS);
        uint64_t value = 0, size = 0;
        EXPECT_EQ(fvcrash_dwarf_read_uleb128(&mapping, mapping.task_address, 0, &value, &size),
                  c.status);
        if (c.status == FVCRASH_ESUCCESS) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(size, c.size);
        }
    }
    const struct {
        std::vector<uint8_t> bytes;
        fvcrash_status status;
        int64_t value;
    } signedCases[] = {
        {{0x7F}, FVCRASH_ESUCCESS, -1},
        {{0x80, 0x7F}, FVCRASH_ESUCCESS, -128},
        {{0x3F}, FVCRASH_ESUCCESS, 63},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F}, FVCRASH_ESUCCESS, INT64_MIN},
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, FVCRASH_ENOTSUP, 0},
    };
    for (const auto& c : signedCases) {
        fvcrash_task_mapping mapping;
        ASSERT_EQ(fvcrash_task_mapping_init(&mapping, fvcrash_task_self(),
                                            reinterpret_cast<uintptr_t>(c.bytes.data()),
                                            c.bytes.size(), true),
                  FVCRASH_ESUCCESS);
        int64_t value = 0;
        EXPECT_EQ(fvcrash_dwarf_read_sleb128(&mapping, mapping.task_address, 0, &value, nullptr),
                  c.status);
        if (c.status == FVCRASH_ESUCCESS) {
            EXPECT_EQ(value, c.value);
        }
    }
}

}  // namespace
