#include "Foundation/ZStMallocBlock.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

ZStMallocBlock::ZStMallocBlock(std::size_t size, bool zeroFill) : block_(nullptr) {
    // A zero-byte request still gives a distinct block, so null always means
    // that memory ran out.
    std::size_t bytes = size ? size : 1;
    if (!IsPageAlignedSize(size)) {
        block_ = zeroFill ? std::calloc(1, bytes) : std::malloc(bytes);
    } else {
        static const long pageSize = sysconf(_SC_PAGESIZE);
        std::size_t alignment = pageSize > 0 ? static_cast<std::size_t>(pageSize) : kPageMultiple;
        if (posix_memalign(&block_, alignment, bytes) != 0) block_ = nullptr;
        if (block_ && zeroFill) std::memset(block_, 0, bytes);
    }
    if (!block_) throw std::bad_alloc();
}

ZStMallocBlock::~ZStMallocBlock() { std::free(block_); }
