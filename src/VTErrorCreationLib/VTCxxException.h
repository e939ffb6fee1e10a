// Keeping the stack of a native exception that nobody catches.
//
// By the time an uncaught exception reaches the terminate handler the stack
// of its throw is gone. The library therefore hooks the throws of the
// program's own code: every target that links this library is linked with
// "--wrap=__cxa_throw", so each throw site of that code calls
// __wrap___cxa_throw, which records the thread's throw (the object and up to
// 128 return addresses) and then hands the throw to the runtime. Throws made
// inside shared libraries (the C++ runtime's own, Qt's) are not seen.
//
// While at least one handler is registered, a terminate handler of the
// library is installed; for an uncaught exception it builds a
// VTCxxExceptionInfo (type, text and the throw's stack) and calls every
// handler with it, then the terminate handler it replaced (or abort).
// Exceptions of the platform's exception class (platform::Exception and its
// subclasses) are left to that previous handler: they have their own
// reporting road.
#pragma once

#include <cstdint>
#include <typeinfo>

/// Most return addresses kept per throw.
inline constexpr int kVTThrowRecordMaxFrames = 128;

/// The latest hooked throw of one thread.
struct VTThrowRecord {
    void* thrownObject;
    /// The thrown type, so that a record is only used for the exception it
    /// was made for.
    const std::type_info* thrownType;
    std::uint64_t frames[kVTThrowRecordMaxFrames];
    /// Addresses captured; frames[0] lies in the hook itself.
    std::int32_t frameCount;
};

/// What the handlers learn of an uncaught exception. Valid only while the
/// handlers run.
struct VTCxxExceptionInfo {
    /// The thrown object.
    void* exception;
    /// Mangled name of the thrown type (std::type_info::name()).
    const char* name;
    /// what() of a standard exception, the characters of a thrown string, a
    /// thrown C string; null for any other type.
    const char* description;
    /// The throw's return addresses, innermost first, starting in the
    /// function that threw.
    const std::uint64_t* frames;
    std::uint32_t frameCount;
};

/// Called from the terminate handler, on the thread that is terminating,
/// while the handler list is locked: it must not add or remove handlers.
/// It may end the process; when it returns, the next handler runs.
using VTCxxExceptionHandler = void (*)(VTCxxExceptionInfo* info);

class VTUncaughtCxxExceptionHandlerManager {
  public:
    /// Appends `handler` to the list (duplicates are kept) and, the first
    /// time, installs the library's terminate handler, remembering the one it
    /// replaces. Any thread.
    static void addCxxExceptionHandler(VTCxxExceptionHandler handler);
    /// Removes the first entry equal to `handler`. When the list becomes
    /// empty the replaced terminate handler is put back (unless another one
    /// was installed over the library's meanwhile, which then stays). Any
    /// thread.
    static void removeCxxExceptionHandler(VTCxxExceptionHandler handler);
};

/// The calling thread's throw record, or null when this thread has made no
/// recorded throw. For tests and diagnostics.
const VTThrowRecord* VTCurrentThreadThrowRecord();
