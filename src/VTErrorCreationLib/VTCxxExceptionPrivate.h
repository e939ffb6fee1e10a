// State shared by the throw hook and the terminate handler.
#pragma once

#include <unwind.h>

#include <atomic>
#include <cstdint>

#include "VTErrorCreationLib/VTCxxException.h"

namespace vtcxx {

/// Set while the library's terminate handler is installed; throws are
/// recorded only then.
extern std::atomic<bool> gTerminateHandlerInstalled;

/// Makes the thread-specific slot of the throw records (once per process).
void ensureThrowRecordKey();
/// The calling thread's record, or null.
VTThrowRecord* currentThrowRecord();

struct CaptureState {
    std::uint64_t* out;
    int capacity;
    int count;
};

inline _Unwind_Reason_Code captureFrame(struct _Unwind_Context* context, void* arg) {
    auto* state = static_cast<CaptureState*>(arg);
    if (state->count >= state->capacity) return _URC_END_OF_STACK;
    state->out[state->count++] = static_cast<std::uint64_t>(_Unwind_GetIP(context));
    return _URC_NO_REASON;
}

/// Fills `out` with up to `capacity` return addresses of the calling thread,
/// the first one lying in the function this is inlined into. Allocates
/// nothing and takes no lock once the unwinder has run once in the process.
__attribute__((always_inline)) inline int captureStack(std::uint64_t* out, int capacity) {
    CaptureState state{out, capacity, 0};
    _Unwind_Backtrace(captureFrame, &state);
    return state.count;
}

}  // namespace vtcxx
