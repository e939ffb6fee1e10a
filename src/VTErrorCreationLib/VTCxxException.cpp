// The handler list and the terminate handler that reports uncaught native
// exceptions to it.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "Foundation/PelException.h"
#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/VTCxxExceptionPrivate.h"

namespace {

// Registration, removal and the terminate handler share this lock; the
// handlers run while it is held.
std::atomic_flag gLock = ATOMIC_FLAG_INIT;

void lock() {
    while (gLock.test_and_set(std::memory_order_acquire)) {
    }
}
void unlock() { gLock.clear(std::memory_order_release); }

std::terminate_handler gPreviousHandler = nullptr;

// Never destroyed, so that a terminate during static destruction still finds
// a valid (if emptied) list.
std::vector<VTCxxExceptionHandler>& handlers() {
    static auto* list = new std::vector<VTCxxExceptionHandler>();
    return *list;
}

void clearHandlersAtExit() {
    lock();
    handlers().clear();
    unlock();
}

// A handler that calls std::terminate again must not spin on the lock it
// already holds.
thread_local bool tInTerminateHandler = false;

// The largest stack the handlers may be given: the foundation exceptions
// carry up to 256 addresses of their own.
constexpr std::size_t kMaxReportedFrames = 256;

[[noreturn]] void callPreviousOrAbort(std::terminate_handler previous) {
    if (previous) previous();
    std::abort();
}

// The thrown object of an exception pointer. Both C++ runtimes of this
// platform keep exactly that pointer as the exception pointer's only member.
void* thrownObjectOf(const std::exception_ptr& current) {
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    void* object = nullptr;
    std::memcpy(&object, static_cast<const void*>(&current), sizeof object);
    return object;
}

void callHandlers(VTCxxExceptionInfo* info) {
    for (VTCxxExceptionHandler handler : handlers()) handler(info);
}

void terminateHandler() {
    std::exception_ptr current = std::current_exception();
    if (tInTerminateHandler) std::abort();
    tInTerminateHandler = true;
    lock();
    std::terminate_handler previous = gPreviousHandler;
    if (!current) {
        unlock();
        callPreviousOrAbort(previous);
    }

    VTCxxExceptionInfo info{};
    info.exception = thrownObjectOf(current);
    std::type_info* type = abi::__cxa_current_exception_type();
    info.name = type ? type->name() : nullptr;

    // The thread's record is used only when it was made by this very throw:
    // a record left by an earlier throw that was caught would give the
    // report a stack that has nothing to do with this exception.
    std::uint64_t frames[kMaxReportedFrames] = {};
    const VTThrowRecord* record = vtcxx::currentThrowRecord();
    bool fromRecord = record && record->frameCount > 0 && record->thrownObject == info.exception &&
                      record->thrownType == type;
    if (fromRecord) {
        info.frames = record->frames + 1;
        info.frameCount = static_cast<std::uint32_t>(record->frameCount - 1);
    } else {
        int count = vtcxx::captureStack(frames, kVTThrowRecordMaxFrames);
        info.frames = frames + 1;
        info.frameCount = count > 0 ? static_cast<std::uint32_t>(count - 1) : 0;
    }

    try {
        throw;
    } catch (const PelException::RuntimeError& e) {
        std::size_t count = 0;
        void* const* own = e.callStackReturnAddresses(count);
        if (!fromRecord && own && count > 0) {
            count = std::min(count, kMaxReportedFrames);
            for (std::size_t i = 0; i < count; ++i)
                frames[i] = reinterpret_cast<std::uintptr_t>(own[i]);
            info.frames = frames;
            info.frameCount = static_cast<std::uint32_t>(count);
        }
        info.description = e.what();
        callHandlers(&info);
    } catch (const platform::Exception&) {
        // The platform's exceptions are reported by the uncaught-exception
        // road; the handlers never see them.
    } catch (const std::exception& e) {
        info.description = e.what();
        callHandlers(&info);
    } catch (const std::exception* e) {
        info.description = e ? e->what() : nullptr;
        callHandlers(&info);
    } catch (const std::string& s) {
        info.description = s.c_str();
        callHandlers(&info);
    } catch (const std::string* s) {
        info.description = s ? s->c_str() : nullptr;
        callHandlers(&info);
    } catch (const char* s) {
        info.description = s;
        callHandlers(&info);
    } catch (...) {
        callHandlers(&info);
    }
    unlock();
    callPreviousOrAbort(previous);
}

}  // namespace

void VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(VTCxxExceptionHandler handler) {
    vtcxx::ensureThrowRecordKey();
    // Let the unwinder set itself up now, so that the first recorded throw
    // does not have to.
    std::uint64_t warmUp[2];
    (void)vtcxx::captureStack(warmUp, 2);

    lock();
    static bool atExitRegistered = false;
    if (!atExitRegistered) {
        atExitRegistered = true;
        std::atexit(clearHandlersAtExit);
    }
    if (!vtcxx::gTerminateHandlerInstalled.load(std::memory_order_relaxed)) {
        gPreviousHandler = std::set_terminate(terminateHandler);
        vtcxx::gTerminateHandlerInstalled.store(true, std::memory_order_release);
    }
    try {
        handlers().push_back(handler);
    } catch (...) {
        unlock();
        throw;
    }
    unlock();
}

void VTUncaughtCxxExceptionHandlerManager::removeCxxExceptionHandler(
    VTCxxExceptionHandler handler) {
    lock();
    auto& list = handlers();
    auto it = std::find(list.begin(), list.end(), handler);
    if (it != list.end()) list.erase(it);
    if (vtcxx::gTerminateHandlerInstalled.load(std::memory_order_relaxed) && list.empty()) {
        std::terminate_handler replaced = std::set_terminate(gPreviousHandler);
        // Someone installed a handler over ours; theirs stays. Either way
        // the library's part ends here: throws are no longer recorded, and
        // the next handler added installs the library's terminate handler
        // again.
        if (replaced != terminateHandler) std::set_terminate(replaced);
        vtcxx::gTerminateHandlerInstalled.store(false, std::memory_order_release);
        gPreviousHandler = nullptr;
    }
    unlock();
}
