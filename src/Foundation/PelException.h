// Exception types of the foundation library that remember the call stack at
// the moment they were made, so a failure report can point at the code that
// threw rather than at the code that caught.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace PelException {

/// The captured call stack carried by every exception of the family.
///
/// `copyThis` and `deleteAndRethrow` let code keep an exception past its catch
/// block (as an `ExceptionData*`) and throw it again later with its original
/// type, message and stack.
class ExceptionData {
  public:
    /// Captures the current call stack (at most 256 frames). When no memory can
    /// be had for the addresses the exception carries no stack.
    ExceptionData();
    /// Copies the addresses; a source without any, or a failed allocation,
    /// gives a copy without a stack.
    ExceptionData(const ExceptionData& other);
    ExceptionData& operator=(const ExceptionData&) = delete;
    virtual ~ExceptionData();

    /// A heap copy of the whole exception (no-throw allocation), returned as
    /// its ExceptionData part; null when memory runs out. Free it with
    /// `delete` or pass it to `deleteAndRethrow`.
    virtual ExceptionData* copyThis() const = 0;
    /// Throws a copy of this exception with its own type, after destroying and
    /// freeing this heap object. Never returns.
    [[noreturn]] virtual void deleteAndRethrow() = 0;

    /// The captured return addresses and their number; null and 0 when none
    /// were captured.
    void* const* callStackReturnAddresses(std::size_t& count) const {
        count = frameCount_;
        return frameCount_ ? frames_ : nullptr;
    }

  private:
    std::uint64_t frameCount_ = 0;
    void** frames_ = nullptr;  // malloc'd, owned
};

/// A logic error (a broken precondition) with a captured call stack.
class LogicError : public std::logic_error, public ExceptionData {
  public:
    explicit LogicError(const std::string& what) : std::logic_error(what) {}
    LogicError(const LogicError&) = default;
    ~LogicError() override;

    ExceptionData* copyThis() const override;
    [[noreturn]] void deleteAndRethrow() override;
};

/// A runtime error with a captured call stack.
class RuntimeError : public std::runtime_error, public ExceptionData {
  public:
    explicit RuntimeError(const std::string& what) : std::runtime_error(what) {}
    RuntimeError(const RuntimeError&) = default;
    ~RuntimeError() override;

    ExceptionData* copyThis() const override;
    [[noreturn]] void deleteAndRethrow() override;
};

/// The allocator used for the captured addresses (malloc by default).
/// Returns the previous one; a null argument restores malloc. Tests use it to
/// make the capture run out of memory. Not thread-safe: set it only while no
/// exception is being made on another thread.
using FrameAllocator = void* (*)(std::size_t bytes);
FrameAllocator setFrameAllocatorForTesting(FrameAllocator allocator);

}  // namespace PelException
