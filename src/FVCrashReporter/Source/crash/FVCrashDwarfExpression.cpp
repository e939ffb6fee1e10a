#include "FVCrashReporter/Source/crash/FVCrashDwarfExpression.h"

#include "FVCrashReporter/Source/crash/FVCrashDwarfStream.h"

namespace {

template <typename Word>
struct Stack {
    Word values[FVCRASH_DWARF_EXPRESSION_STACK];
    size_t depth = 0;

    bool push(Word value) {
        if (depth == FVCRASH_DWARF_EXPRESSION_STACK) return false;
        values[depth++] = value;
        return true;
    }
    Word& at(size_t fromTop) { return values[depth - 1 - fromTop]; }
};

template <typename Word>
fvcrash_status readWord(fvcrash_task task, const fvcrash_byte_order* order, Word address,
                        uint64_t size, Word* value) {
    fvcrash_status status;
    switch (size) {
        case 1: {
            uint8_t v;
            status = fvcrash_task_read_uint8(task, address, 0, &v);
            *value = v;
            return status;
        }
        case 2: {
            uint16_t v;
            status = fvcrash_task_read_uint16(task, order, address, 0, &v);
            *value = v;
            return status;
        }
        case 4: {
            uint32_t v;
            status = fvcrash_task_read_uint32(task, order, address, 0, &v);
            *value = static_cast<Word>(v);
            return status;
        }
        case 8: {
            uint64_t v;
            status = fvcrash_task_read_uint64(task, order, address, 0, &v);
            *value = static_cast<Word>(v);
            return status;
        }
        default:
            return FVCRASH_EINVAL;
    }
}

}  // namespace

template <typename Word>
fvcrash_status fvcrash_dwarf_eval_expression(const fvcrash_task_mapping* mapping, fvcrash_task task,
                                             const fvcrash_thread_state* state,
                                             const fvcrash_byte_order* order, uint64_t address,
                                             int64_t offset, uint64_t length, const Word* initial,
                                             size_t initial_count, Word* result) {
    constexpr unsigned kBits = sizeof(Word) * 8;
    if (initial_count > FVCRASH_DWARF_EXPRESSION_STACK) return FVCRASH_EINTERNAL;
    if (length > static_cast<uint64_t>(INT64_MAX)) return FVCRASH_EINVAL;
    fvcrash_dwarf_opstream ops;
    fvcrash_status status = fvcrash_dwarf_opstream_init(&ops, mapping, order, address, offset,
                                                        static_cast<int64_t>(length));
    if (status != FVCRASH_ESUCCESS) return status;

    Stack<Word> stack;
    for (size_t i = 0; i < initial_count; ++i) stack.push(initial[i]);

#define FV_TRY(expr)                               \
    do {                                           \
        const fvcrash_status fv_s = (expr);        \
        if (fv_s != FVCRASH_ESUCCESS) return fv_s; \
    } while (0)
#define FV_NEED(n, code) \
    if (stack.depth < (n)) return (code)
#define FV_PUSH(v) \
    if (!stack.push(static_cast<Word>(v))) return FVCRASH_EINTERNAL

    uint32_t budget = FVCRASH_DWARF_EXPRESSION_BUDGET;
    while (!fvcrash_dwarf_opstream_at_end(&ops)) {
        if (budget-- == 0) return FVCRASH_EINVAL;
        uint8_t op;
        FV_TRY(fvcrash_dwarf_opstream_read_u8(&ops, &op));
        uint64_t u;
        int64_t s;
        switch (op) {
            case 0x06: {  // deref
                FV_NEED(1, FVCRASH_EINTERNAL);
                Word value;
                FV_TRY(readWord<Word>(task, order, stack.at(0), sizeof(Word), &value));
                stack.at(0) = value;
                break;
            }
            case 0x08:
            case 0x0A:
            case 0x0C:
            case 0x0E: {
                const uint64_t size = uint64_t{1} << ((op - 0x08) / 2);
                FV_TRY(fvcrash_dwarf_opstream_read_uint(&ops, size, &u));
                FV_PUSH(u);
                break;
            }
            case 0x09:
            case 0x0B:
            case 0x0D:
            case 0x0F: {
                const uint64_t size = uint64_t{1} << ((op - 0x09) / 2);
                FV_TRY(fvcrash_dwarf_opstream_read_uint(&ops, size, &u));
                if (size < 8 && (u >> (size * 8 - 1)) & 1) u |= ~uint64_t{0} << (size * 8);
                FV_PUSH(u);
                break;
            }
            case 0x10:
                FV_TRY(fvcrash_dwarf_opstream_read_uleb(&ops, &u));
                FV_PUSH(u);
                break;
            case 0x11:
                FV_TRY(fvcrash_dwarf_opstream_read_sleb(&ops, &s));
                FV_PUSH(static_cast<uint64_t>(s));
                break;
            case 0x12:  // dup
                FV_NEED(1, FVCRASH_EINVAL);
                FV_PUSH(stack.at(0));
                break;
            case 0x13:  // drop
                FV_NEED(1, FVCRASH_EINVAL);
                --stack.depth;
                break;
            case 0x14:  // over
                FV_NEED(2, FVCRASH_EINVAL);
                FV_PUSH(stack.at(1));
                break;
            case 0x15: {  // pick
                uint8_t index;
                FV_TRY(fvcrash_dwarf_opstream_read_u8(&ops, &index));
                if (index >= stack.depth) return FVCRASH_EINVAL;
                FV_PUSH(stack.at(index));
                break;
            }
            case 0x16: {  // swap
                FV_NEED(2, FVCRASH_EINVAL);
                const Word top = stack.at(0);
                stack.at(0) = stack.at(1);
                stack.at(1) = top;
                break;
            }
            case 0x17: {  // rot
                FV_NEED(3, FVCRASH_EINVAL);
                const Word top = stack.at(0);
                stack.at(0) = stack.at(1);
                stack.at(1) = stack.at(2);
                stack.at(2) = top;
                break;
            }
            case 0x18: {  // xderef
                FV_NEED(2, FVCRASH_EINVAL);
                const Word at = stack.at(0);
                --stack.depth;
                Word value;
                FV_TRY(readWord<Word>(task, order, at, sizeof(Word), &value));
                stack.at(0) = value;
                break;
            }
            case 0x19: {  // abs
                FV_NEED(1, FVCRASH_EINTERNAL);
                const Word v = stack.at(0);
                if (v >> (kBits - 1)) stack.at(0) = static_cast<Word>(Word{0} - v);
                break;
            }
            case 0x1F:  // neg
                FV_NEED(1, FVCRASH_EINTERNAL);
                stack.at(0) = static_cast<Word>(Word{0} - stack.at(0));
                break;
            case 0x20:  // not
                FV_NEED(1, FVCRASH_EINTERNAL);
                stack.at(0) = static_cast<Word>(~stack.at(0));
                break;
            case 0x1A:
            case 0x1B:
            case 0x1C:
            case 0x1D:
            case 0x1E:
            case 0x21:
            case 0x22:
            case 0x24:
            case 0x25:
            case 0x26:
            case 0x27:
            case 0x29:
            case 0x2A:
            case 0x2B:
            case 0x2C:
            case 0x2D:
            case 0x2E: {
                FV_NEED(2, FVCRASH_EINTERNAL);
                const Word b = stack.at(0);
                const Word a = stack.at(1);
                Word r = 0;
                switch (op) {
                    case 0x1A:
                        r = a & b;
                        break;
                    case 0x1B:
                        if (b == 0) return FVCRASH_EINVAL;
                        r = a / b;
                        break;
                    case 0x1C:
                        r = static_cast<Word>(a - b);
                        break;
                    case 0x1D:
                        if (b == 0) return FVCRASH_EINVAL;
                        r = a % b;
                        break;
                    case 0x1E:
                        r = static_cast<Word>(a * b);
                        break;
                    case 0x21:
                        r = a | b;
                        break;
                    case 0x22:
                        r = static_cast<Word>(a + b);
                        break;
                    case 0x24:
                        r = static_cast<Word>(a << (b % kBits));
                        break;
                    case 0x25:
                        r = static_cast<Word>(a >> (b % kBits));
                        break;
                    case 0x26: {
                        const unsigned n = static_cast<unsigned>(b % kBits);
                        r = static_cast<Word>(a >> n);
                        if (n && (a >> (kBits - 1)))
                            r |= static_cast<Word>(~Word{0} << (kBits - n));
                        break;
                    }
                    case 0x27:
                        r = a ^ b;
                        break;
                    case 0x29:
                        r = a == b;
                        break;
                    case 0x2A:
                        r = a >= b;
                        break;
                    case 0x2B:
                        r = a > b;
                        break;
                    case 0x2C:
                        r = a <= b;
                        break;
                    case 0x2D:
                        r = a < b;
                        break;
                    case 0x2E:
                        r = a != b;
                        break;
                }
                --stack.depth;
                stack.at(0) = r;
                break;
            }
            case 0x23:  // plus_uconst
                FV_NEED(1, FVCRASH_EINTERNAL);
                FV_TRY(fvcrash_dwarf_opstream_read_uleb(&ops, &u));
                stack.at(0) = static_cast<Word>(stack.at(0) + static_cast<Word>(u));
                break;
            case 0x28:    // bra
            case 0x2F: {  // skip
                FV_TRY(fvcrash_dwarf_opstream_read_uint(&ops, 2, &u));
                const int16_t delta = static_cast<int16_t>(static_cast<uint16_t>(u));
                bool taken = true;
                if (op == 0x28) {
                    FV_NEED(1, FVCRASH_EINTERNAL);
                    taken = stack.at(0) != 0;
                    --stack.depth;
                }
                if (taken) FV_TRY(fvcrash_dwarf_opstream_skip(&ops, delta));
                break;
            }
            case 0x92:  // bregx
            case 0x70 ... 0x8F: {
                uint64_t dwarfReg = op - 0x70u;
                if (op == 0x92) FV_TRY(fvcrash_dwarf_opstream_read_uleb(&ops, &dwarfReg));
                FV_TRY(fvcrash_dwarf_opstream_read_sleb(&ops, &s));
                int reg;
                if (!fvcrash_thread_state_reg_from_dwarf(state, dwarfReg, &reg)) {
                    return FVCRASH_ENOTSUP;
                }
                if (!fvcrash_thread_state_is_valid_reg(state, reg)) return FVCRASH_ENOTFOUND;
                const Word value = static_cast<Word>(fvcrash_thread_state_read_reg(state, reg));
                FV_PUSH(static_cast<Word>(value + static_cast<Word>(static_cast<uint64_t>(s))));
                break;
            }
            case 0x94:    // deref_size
            case 0x95: {  // xderef_size
                uint8_t size;
                FV_TRY(fvcrash_dwarf_opstream_read_u8(&ops, &size));
                if (size > sizeof(Word) || (size != 1 && size != 2 && size != 4 && size != 8)) {
                    return FVCRASH_EINVAL;
                }
                FV_NEED(op == 0x95 ? 2u : 1u, FVCRASH_EINVAL);
                const Word at = stack.at(0);
                if (op == 0x95) --stack.depth;
                Word value;
                FV_TRY(readWord<Word>(task, order, at, size, &value));
                stack.at(0) = value;
                break;
            }
            case 0x96:  // nop
                break;
            default:
                if (op >= 0x30 && op <= 0x4F) {
                    FV_PUSH(op - 0x30u);
                    break;
                }
                return FVCRASH_ENOTSUP;
        }
    }
#undef FV_TRY
#undef FV_NEED
#undef FV_PUSH
    if (stack.depth == 0) return FVCRASH_EINVAL;
    *result = stack.at(0);
    return FVCRASH_ESUCCESS;
}

template fvcrash_status fvcrash_dwarf_eval_expression<uint32_t>(
    const fvcrash_task_mapping*, fvcrash_task, const fvcrash_thread_state*,
    const fvcrash_byte_order*, uint64_t, int64_t, uint64_t, const uint32_t*, size_t, uint32_t*);
template fvcrash_status fvcrash_dwarf_eval_expression<uint64_t>(
    const fvcrash_task_mapping*, fvcrash_task, const fvcrash_thread_state*,
    const fvcrash_byte_order*, uint64_t, int64_t, uint64_t, const uint64_t*, size_t, uint64_t*);
