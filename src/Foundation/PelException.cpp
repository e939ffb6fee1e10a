#include "Foundation/PelException.h"

#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace PelException {

namespace {

constexpr int kMaxFrames = 256;
constexpr int kCaptureTries = 3;  // 256, 128, 64 frames

void* defaultAllocate(std::size_t bytes) { return std::malloc(bytes); }

FrameAllocator gAllocate = defaultAllocate;

}  // namespace

FrameAllocator setFrameAllocatorForTesting(FrameAllocator allocator) {
    FrameAllocator previous = gAllocate;
    gAllocate = allocator ? allocator : defaultAllocate;
    return previous;
}

ExceptionData::ExceptionData() {
    int room = kMaxFrames;
    void** buffer = nullptr;
    for (int attempt = 0; attempt < kCaptureTries && !buffer; ++attempt) {
        buffer = static_cast<void**>(gAllocate(sizeof(void*) * room));
        if (!buffer) room /= 2;
    }
    if (!buffer) return;
    int captured = ::backtrace(buffer, room);
    frames_ = buffer;
    frameCount_ = captured > 0 ? static_cast<std::uint64_t>(captured) : 0;
}

ExceptionData::ExceptionData(const ExceptionData& other) {
    if (!other.frames_ || other.frameCount_ == 0) return;
    auto* copy = static_cast<void**>(std::malloc(sizeof(void*) * other.frameCount_));
    if (!copy) return;
    std::memcpy(copy, other.frames_, sizeof(void*) * other.frameCount_);
    frames_ = copy;
    frameCount_ = other.frameCount_;
}

ExceptionData::~ExceptionData() { std::free(frames_); }

LogicError::~LogicError() = default;

ExceptionData* LogicError::copyThis() const { return new (std::nothrow) LogicError(*this); }

void LogicError::deleteAndRethrow() {
    LogicError copy(*this);
    delete this;
    throw copy;
}

RuntimeError::~RuntimeError() = default;

ExceptionData* RuntimeError::copyThis() const { return new (std::nothrow) RuntimeError(*this); }

void RuntimeError::deleteAndRethrow() {
    RuntimeError copy(*this);
    delete this;
    throw copy;
}

}  // namespace PelException
