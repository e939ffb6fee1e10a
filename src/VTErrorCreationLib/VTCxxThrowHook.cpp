// The hook every throw of the program's code passes through (see
// VTCxxException.h for how throw sites are routed here).
#include <pthread.h>

#include <cstdlib>
#include <typeinfo>

#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/VTCxxExceptionPrivate.h"

namespace vtcxx {

std::atomic<bool> gTerminateHandlerInstalled{false};

namespace {

pthread_key_t gRecordKey;
pthread_once_t gRecordKeyOnce = PTHREAD_ONCE_INIT;

void makeRecordKey() { pthread_key_create(&gRecordKey, std::free); }

// Exceptions of the platform's exception class carry their own stack and
// are reported by their own road; their throws are not recorded.
bool isPlatformException(std::type_info* type, void* object) {
    if (!type) return false;
    void* adjusted = object;
    return typeid(platform::Exception).__do_catch(type, &adjusted, 1);
}

}  // namespace

void ensureThrowRecordKey() { pthread_once(&gRecordKeyOnce, makeRecordKey); }

VTThrowRecord* currentThrowRecord() {
    ensureThrowRecordKey();
    return static_cast<VTThrowRecord*>(pthread_getspecific(gRecordKey));
}

}  // namespace vtcxx

const VTThrowRecord* VTCurrentThreadThrowRecord() {
    const VTThrowRecord* record = vtcxx::currentThrowRecord();
    return record && record->frameCount > 0 ? record : nullptr;
}

extern "C" {

// The runtime's throw, as the linker's --wrap names it.
[[noreturn]] void __real___cxa_throw(void* object, std::type_info* type, void (*destructor)(void*));

[[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type,
                                     void (*destructor)(void*)) {
    // The key exists before the installed flag is ever set.
    if (vtcxx::gTerminateHandlerInstalled.load(std::memory_order_acquire) &&
        !vtcxx::isPlatformException(type, object)) {
        auto* record = static_cast<VTThrowRecord*>(pthread_getspecific(vtcxx::gRecordKey));
        if (!record) {
            // Once per thread; every later throw reuses the record.
            record = static_cast<VTThrowRecord*>(std::calloc(1, sizeof(VTThrowRecord)));
            if (record && pthread_setspecific(vtcxx::gRecordKey, record) != 0) {
                std::free(record);
                record = nullptr;
            }
        }
        if (record) {
            record->thrownObject = object;
            record->thrownType = type;
            record->frameCount = vtcxx::captureStack(record->frames, kVTThrowRecordMaxFrames);
        }
    }
    __real___cxa_throw(object, type, destructor);
}

}  // extern "C"
