#include "FVCrashReporter/Source/crash/FVCrashLogWriter.h"

#include <cstdlib>
#include <ctime>

#include "FVCrashReporter/Source/crash/FVCrashSignalNames.h"
#include "FVCrashReporter/Source/crash/FVCrashStackCursor.h"
#include "FVCrashReporter/Source/crash/FVCrashSuspend.h"
#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadList.h"
#include "FVCrashReporter/Source/crash/FVCrashUnwind.h"

namespace {

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kLength = 2, kFixed32 = 5 };

size_t putVarint(uint8_t* out, uint64_t value) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<uint8_t>(value);
    return n;
}

size_t putFixed(uint8_t* out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return width;
}

template <typename T>
T load(const void* value) {
    T v;
    fvcrash_memcpy(&v, value, sizeof v);
    return v;
}

// Everything one report needs beside the record; static because the unwind
// cache is too large for a signal stack. The capture gate keeps it to one
// report at a time.
struct ReportContext {
    fvcrash_log_writer* writer;
    fvcrash_image_list* images;
    const fvcrash_signal_info* signal;
    const fvcrash_thread_state* current;
    pid_t self;
    pid_t crashed;
    int64_t timestamp;
    fvcrash_thread_list threads;
    fvcrash_objc_cache symbols;
    fvcrash_unwind_cache unwind;
};
ReportContext gReport;

struct SymbolHit {
    bool found;
    uint64_t address;
    char name[FVCRASH_SYMBOL_NAME_SIZE];
};

void symbolFound(uint64_t address, const char* name, void* context) {
    auto* hit = static_cast<SymbolHit*>(context);
    hit->found = true;
    hit->address = address;
    size_t n = 0;
    while (name && name[n] && n + 1 < sizeof hit->name) {
        hit->name[n] = name[n];
        ++n;
    }
    hit->name[n] = '\0';
}

using MessageWriter = size_t (*)(fvcrash_outfile* file, const void* arg);

#ifndef NDEBUG
size_t writtenSoFar(const fvcrash_outfile* file) { return file->accepted + 0; }
#endif

// A sub-message: its size without output, then the header and the content.
size_t emitMessage(fvcrash_outfile* file, uint32_t field, MessageWriter write, const void* arg) {
    const size_t size = write(nullptr, arg);
    const uint32_t size32 = static_cast<uint32_t>(size);
    size_t n = fvcrash_emit_field(file, field, FVCRASH_FIELD_MESSAGE, &size32);
    if (file) {
#ifndef NDEBUG
        const size_t before = writtenSoFar(file);
        const size_t written = write(file, arg);
        if (!file->refused && writtenSoFar(file) - before != size) abort();
        if (written != size) abort();
#else
        write(file, arg);
#endif
    }
    return n + size;
}

size_t emitString(fvcrash_outfile* file, uint32_t field, const char* text) {
    return fvcrash_emit_field(file, field, FVCRASH_FIELD_STRING, text ? text : "");
}
size_t emitU64(fvcrash_outfile* file, uint32_t field, uint64_t value) {
    return fvcrash_emit_field(file, field, FVCRASH_FIELD_UINT64, &value);
}
size_t emitU32(fvcrash_outfile* file, uint32_t field, uint32_t value) {
    return fvcrash_emit_field(file, field, FVCRASH_FIELD_UINT32, &value);
}
size_t emitBool(fvcrash_outfile* file, uint32_t field, bool value) {
    return fvcrash_emit_field(file, field, FVCRASH_FIELD_BOOL, &value);
}
size_t emitEnum(fvcrash_outfile* file, uint32_t field, int32_t value) {
    return fvcrash_emit_field(file, field, FVCRASH_FIELD_ENUM, &value);
}

// "#" and the decimal number, for signals and codes without a name.
void formatNumber(char* out, int value) {
    char digits[12];
    size_t n = 0;
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    size_t o = 0;
    out[o++] = '#';
    if (value < 0) out[o++] = '-';
    while (n) out[o++] = digits[--n];
    out[o] = '\0';
}

size_t writeReportInfo(fvcrash_outfile* file, const void*) {
    const fvcrash_log_writer* w = gReport.writer;
    fvcrash_field_bytes uuid{16, w->report.uuid};
    return emitBool(file, 1, w->report.user_requested) +
           fvcrash_emit_field(file, 2, FVCRASH_FIELD_BYTES, &uuid);
}

size_t writeSystemInfo(fvcrash_outfile* file, const void*) {
    const fvcrash_log_writer* w = gReport.writer;
    int64_t timestamp = gReport.timestamp;
    return emitEnum(file, 1, w->system.operating_system) +
           emitString(file, 2, w->system.os_version) + emitString(file, 5, w->system.os_build) +
           emitEnum(file, 3, w->system.architecture) +
           fvcrash_emit_field(file, 4, FVCRASH_FIELD_INT64, &timestamp);
}

size_t writeProcessor(fvcrash_outfile* file, const void* arg) {
    const uint64_t* typeAndSubtype = static_cast<const uint64_t*>(arg);
    return emitEnum(file, 1, 1) + emitU64(file, 2, typeAndSubtype[0]) +
           emitU64(file, 3, typeAndSubtype[1]);
}

size_t writeMachineInfo(fvcrash_outfile* file, const void*) {
    const fvcrash_log_writer* w = gReport.writer;
    size_t n = 0;
    if (w->machine.model) n += emitString(file, 1, w->machine.model);
    const uint64_t processor[2] = {w->machine.cpu_type, w->machine.cpu_subtype};
    n += emitMessage(file, 2, writeProcessor, processor);
    n += emitU32(file, 3, w->machine.processor_count);
    n += emitU32(file, 4, w->machine.logical_processor_count);
    return n;
}

size_t writeApplicationInfo(fvcrash_outfile* file, const void*) {
    const fvcrash_log_writer* w = gReport.writer;
    size_t n = emitString(file, 1, w->application.identifier) +
               emitString(file, 2, w->application.version);
    if (w->application.marketing_version)
        n += emitString(file, 3, w->application.marketing_version);
    return n;
}

size_t writeProcessInfo(fvcrash_outfile* file, const void*) {
    const fvcrash_log_writer* w = gReport.writer;
    size_t n = 0;
    if (w->process.name) n += emitString(file, 1, w->process.name);
    n += emitU32(file, 2, static_cast<uint32_t>(w->process.pid));
    if (w->process.path) n += emitString(file, 3, w->process.path);
    if (w->process.parent_name) n += emitString(file, 4, w->process.parent_name);
    n += emitU32(file, 5, static_cast<uint32_t>(w->process.parent_pid));
    n += emitBool(file, 6, w->process.native);
    n += emitU64(file, 7, w->process.start_time);
    return n;
}

struct SymbolArg {
    const SymbolHit* hit;
};

size_t writeSymbol(fvcrash_outfile* file, const void* arg) {
    const SymbolHit* hit = static_cast<const SymbolArg*>(arg)->hit;
    return emitString(file, 1, hit->name) + emitU64(file, 2, hit->address);
}

struct FrameArg {
    uint64_t pc;
    uint64_t lookup_pc;
};

size_t writeFrame(fvcrash_outfile* file, const void* arg) {
    const FrameArg* frame = static_cast<const FrameArg*>(arg);
    size_t n = emitU64(file, 3, frame->pc);
    const int strategy = static_cast<int>(gReport.writer->report.strategy);
    if (strategy == 0) return n;
    SymbolHit hit;
    hit.found = false;
    fvcrash_image_list_set_reading(gReport.images, true);
    fvcrash_image* image = fvcrash_image_list_image_for_address(gReport.images, frame->lookup_pc);
    if (image)
        fvcrash_lookup_symbol(image, strategy, &gReport.symbols, frame->lookup_pc, symbolFound,
                              &hit);
    fvcrash_image_list_set_reading(gReport.images, false);
    if (hit.found) {
        SymbolArg symbol{&hit};
        n += emitMessage(file, 6, writeSymbol, &symbol);
    }
    return n;
}

struct RegisterArg {
    const char* name;
    uint64_t value;
};

size_t writeRegister(fvcrash_outfile* file, const void* arg) {
    const RegisterArg* reg = static_cast<const RegisterArg*>(arg);
    return emitString(file, 1, reg->name) + emitU64(file, 2, reg->value);
}

struct ThreadArg {
    pid_t thread;
    uint32_t number;
    bool crashed;
};

size_t writeThread(fvcrash_outfile* file, const void* arg) {
    const ThreadArg* thread = static_cast<const ThreadArg*>(arg);
    size_t n = emitU32(file, 1, thread->number) + emitBool(file, 3, thread->crashed);

    fvcrash_thread_state state;
    if (thread->thread == gReport.self && gReport.current) {
        fvcrash_thread_state_copy(&state, gReport.current);
    } else if (fvcrash_thread_state_from_thread(&state, thread->thread) != FVCRASH_ESUCCESS) {
        return n;  // never stopped: no frames
    }
    fvcrash_stack_cursor cursor;
    if (fvcrash_stack_cursor_from_state(&cursor, fvcrash_task_self(), &state, gReport.images) !=
        FVCRASH_STACK_OK)
        return n;
    fvcrash_stack_cursor_set_cache(&cursor, &gReport.unwind);
    for (uint32_t depth = 0; depth < FVCRASH_REPORT_MAX_FRAMES; ++depth) {
        if (fvcrash_stack_cursor_step(&cursor) != FVCRASH_STACK_OK) break;
        if (thread->crashed && depth == 0) {
            const int count = fvcrash_stack_cursor_reg_count(&cursor);
            for (int reg = 0; reg < count; ++reg) {
                RegisterArg value{fvcrash_stack_cursor_reg_name(&cursor, reg), 0};
                if (fvcrash_stack_cursor_read_reg(&cursor, reg, &value.value) != FVCRASH_STACK_OK)
                    value.value = 0;
                if (!value.name) value.name = "";
                n += emitMessage(file, 4, writeRegister, &value);
            }
        }
        FrameArg frame{};
        if (fvcrash_stack_cursor_read_reg(&cursor, FVCRASH_REG_IP, &frame.pc) != FVCRASH_STACK_OK)
            break;
        frame.lookup_pc = fvcrash_stack_cursor_lookup_pc(&cursor);
        n += emitMessage(file, 2, writeFrame, &frame);
    }
    fvcrash_stack_cursor_release(&cursor);
    return n;
}

size_t writeImage(fvcrash_outfile* file, const void* arg) {
    const fvcrash_image* image = static_cast<const fvcrash_image*>(arg);
    size_t n = emitU64(file, 2, fvcrash_image_size(image)) +
               emitU64(file, 1, fvcrash_image_header_address(image)) +
               emitString(file, 3, fvcrash_image_name(image));
    uint8_t uuid[16];
    if (fvcrash_image_uuid(image, uuid)) {
        fvcrash_field_bytes bytes{16, uuid};
        n += fvcrash_emit_field(file, 4, FVCRASH_FIELD_BYTES, &bytes);
    }
    const uint64_t processor[2] = {fvcrash_image_cpu_type(image), fvcrash_image_cpu_subtype(image)};
    n += emitMessage(file, 5, writeProcessor, processor);
    return n;
}

size_t writeException(fvcrash_outfile* file, const void*) {
    const fvcrash_log_writer* w = gReport.writer;
    size_t n = emitString(file, 1, w->exception.name) + emitString(file, 2, w->exception.reason);
    const size_t count = w->exception.frame_count < FVCRASH_REPORT_MAX_FRAMES
                             ? w->exception.frame_count
                             : FVCRASH_REPORT_MAX_FRAMES;
    for (size_t i = 0; i < count; ++i) {
        // Return addresses: their code is the call just before them.
        FrameArg frame{w->exception.frames[i],
                       w->exception.frames[i] ? w->exception.frames[i] - 1 : 0};
        n += emitMessage(file, 3, writeFrame, &frame);
    }
    return n;
}

size_t writeMachException(fvcrash_outfile* file, const void*) {
    const fvcrash_signal_info* signal = gReport.signal;
    size_t n = emitU64(file, 1, static_cast<uint64_t>(static_cast<int64_t>(signal->mach.type)));
    for (uint32_t i = 0; i < signal->mach.code_count; ++i)
        n += emitU64(file, 2, signal->mach.codes[i]);
    return n;
}

size_t writeSignal(fvcrash_outfile* file, const void*) {
    const fvcrash_signal_info* signal = gReport.signal;
    char number[16];
    const char* name = fvcrash_signal_name(signal->bsd.signo);
    if (!name) {
        formatNumber(number, signal->bsd.signo);
        name = number;
    }
    size_t n = emitString(file, 1, name);
    char codeNumber[16];
    const char* code = fvcrash_signal_code_name(signal->bsd.signo, signal->bsd.code);
    if (!code) {
        formatNumber(codeNumber, signal->bsd.code);
        code = codeNumber;
    }
    n += emitString(file, 2, code);
    n += emitU64(file, 3, signal->bsd.address);
    if (signal->has_mach) n += emitMessage(file, 4, writeMachException, nullptr);
    return n;
}

bool listed(const fvcrash_thread_list* list, pid_t thread) {
    for (uint32_t i = 0; i < list->count; ++i)
        if (list->threads[i] == thread) return true;
    return false;
}

}  // namespace

size_t fvcrash_emit_field(fvcrash_outfile* file, uint32_t field, int type, const void* value) {
    uint8_t block[24];
    size_t n = 0;
    const auto tag = [&](uint32_t wire) {
        n += putVarint(block + n, (uint64_t{field} << 3) | wire);
    };
    const void* content = nullptr;
    size_t contentLength = 0;
    switch (type) {
        case FVCRASH_FIELD_INT32:
            tag(kVarint);
            n += putVarint(block + n,
                           static_cast<uint64_t>(static_cast<int64_t>(load<int32_t>(value))));
            break;
        case FVCRASH_FIELD_SINT32: {
            const int32_t v = load<int32_t>(value);
            tag(kVarint);
            n += putVarint(block + n,
                           (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31));
            break;
        }
        case FVCRASH_FIELD_SFIXED32:
        case FVCRASH_FIELD_FIXED32:
        case FVCRASH_FIELD_FLOAT:
            tag(kFixed32);
            n += putFixed(block + n, load<uint32_t>(value), 4);
            break;
        case FVCRASH_FIELD_INT64:
        case FVCRASH_FIELD_UINT64:
            tag(kVarint);
            n += putVarint(block + n, load<uint64_t>(value));
            break;
        case FVCRASH_FIELD_SINT64: {
            const int64_t v = load<int64_t>(value);
            tag(kVarint);
            n += putVarint(block + n,
                           (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
            break;
        }
        case FVCRASH_FIELD_SFIXED64:
        case FVCRASH_FIELD_FIXED64:
        case FVCRASH_FIELD_DOUBLE:
            tag(kFixed64);
            n += putFixed(block + n, load<uint64_t>(value), 8);
            break;
        case FVCRASH_FIELD_UINT32:
            tag(kVarint);
            n += putVarint(block + n, load<uint32_t>(value));
            break;
        case FVCRASH_FIELD_BOOL:
            tag(kVarint);
            block[n++] = load<uint8_t>(value);
            break;
        case FVCRASH_FIELD_ENUM:
            tag(kVarint);
            n += putVarint(block + n, static_cast<uint32_t>(load<int32_t>(value)));
            break;
        case FVCRASH_FIELD_STRING:
            content = value;
            contentLength = fvcrash_strlen(static_cast<const char*>(value));
            tag(kLength);
            n += putVarint(block + n, contentLength);
            break;
        case FVCRASH_FIELD_BYTES: {
            const auto bytes = load<fvcrash_field_bytes>(value);
            content = bytes.data;
            contentLength = bytes.length;
            tag(kLength);
            n += putVarint(block + n, contentLength);
            break;
        }
        case FVCRASH_FIELD_MESSAGE:
            tag(kLength);
            n += putVarint(block + n, load<uint32_t>(value));
            break;
        default:
            abort();
    }
    if (file) {
        fvcrash_outfile_write(file, block, n);
        if (contentLength) fvcrash_outfile_write(file, content, contentLength);
    }
    return n + contentLength;
}

fvcrash_status fvcrash_writer_write_report(fvcrash_log_writer* writer, pid_t crashed,
                                           fvcrash_image_list* images, fvcrash_outfile* file,
                                           const fvcrash_signal_info* signal,
                                           const fvcrash_thread_state* current) {
    ReportContext& r = gReport;
    r.writer = writer;
    r.images = images;
    r.signal = signal;
    r.current = current;
    r.self = fvcrash_current_thread();
    r.crashed = crashed;
    const time_t now = time(nullptr);
    r.timestamp = now == static_cast<time_t>(-1) ? 0 : static_cast<int64_t>(now);

    // Without a thread list the report still holds the crashed thread and,
    // when its registers were given, the calling one.
    if (fvcrash_thread_list_read(&r.threads) != FVCRASH_ESUCCESS) r.threads.count = 0;
    if (current && !listed(&r.threads, r.self) && r.threads.count < FVCRASH_THREAD_LIST_CAPACITY)
        r.threads.threads[r.threads.count++] = r.self;
    if (crashed > 0 && !listed(&r.threads, crashed) &&
        r.threads.count < FVCRASH_THREAD_LIST_CAPACITY)
        r.threads.threads[r.threads.count++] = crashed;
    fvcrash_suspend_threads(&r.threads, r.self, 100);

    fvcrash_objc_cache_init(&r.symbols);
    fvcrash_unwind_cache_reset(&r.unwind);
    fvcrash_image_list_crash_sync(images);

    static const char kHeader[8] = {'f', 'v', 'c', 'r', 'a', 's', 'h', FVCRASH_REPORT_VERSION};
    fvcrash_outfile_write(file, kHeader, sizeof kHeader);
    emitMessage(file, 9, writeReportInfo, nullptr);
    emitMessage(file, 1, writeSystemInfo, nullptr);
    emitMessage(file, 8, writeMachineInfo, nullptr);
    emitMessage(file, 2, writeApplicationInfo, nullptr);
    emitMessage(file, 7, writeProcessInfo, nullptr);

    uint32_t number = 0;
    for (uint32_t i = 0; i < r.threads.count; ++i) {
        const pid_t thread = r.threads.threads[i];
        if (thread == r.self && !current) continue;
        ThreadArg arg{thread, number++, thread == crashed};
        emitMessage(file, 3, writeThread, &arg);
    }

    fvcrash_image_list_set_reading(images, true);
    for (fvcrash_image* image = fvcrash_image_list_next(images, nullptr); image;
         image = fvcrash_image_list_next(images, image))
        emitMessage(file, 4, writeImage, image);
    fvcrash_image_list_set_reading(images, false);

    if (writer->exception.present.load(std::memory_order_acquire))
        emitMessage(file, 5, writeException, nullptr);
    emitMessage(file, 6, writeSignal, nullptr);

    fvcrash_objc_cache_free(&r.symbols);
    fvcrash_resume_threads(&r.threads, r.self);
    return FVCRASH_ESUCCESS;
}
