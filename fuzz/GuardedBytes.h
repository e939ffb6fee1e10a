// Places fuzz input in memory so that it ends right at an inaccessible page:
// a read one byte past the input faults.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

class GuardedBytes {
  public:
    GuardedBytes(const uint8_t* data, size_t size) {
        pages_ = (size + 4095) / 4096 + 1;
        base_ = static_cast<uint8_t*>(mmap(nullptr, pages_ * 4096, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) {
            base_ = nullptr;
            return;
        }
        start_ = base_ + (pages_ - 1) * 4096 - size;
        if (size) std::memcpy(start_, data, size);
        mprotect(base_ + (pages_ - 1) * 4096, 4096, PROT_NONE);
    }
    ~GuardedBytes() {
        if (base_) munmap(base_, pages_ * 4096);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    bool ok() const { return base_ != nullptr; }
    uint64_t address() const { return reinterpret_cast<uintptr_t>(start_); }

  private:
    uint8_t* base_ = nullptr;
    uint8_t* start_ = nullptr;
    size_t pages_ = 0;
};
