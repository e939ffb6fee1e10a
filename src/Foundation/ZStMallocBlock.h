// Scoped heap blocks.
#pragma once

#include <cstddef>

/// Owns one heap block and frees it when it goes out of scope.
///
/// Blocks of at most 32768 bytes that are not a whole number of 4096-byte
/// pages come from the ordinary allocator; other sizes are page-aligned. Either
/// kind is freed with free().
class ZStMallocBlock {
  public:
    /// Allocates `size` bytes, zero-filled when asked. Throws std::bad_alloc
    /// when memory runs out.
    ZStMallocBlock(std::size_t size, bool zeroFill);
    ~ZStMallocBlock();
    ZStMallocBlock(const ZStMallocBlock&) = delete;
    ZStMallocBlock& operator=(const ZStMallocBlock&) = delete;

    void* Get() const { return block_; }
    /// Hands the block to the caller (who frees it with free()) and forgets it.
    void* Release() {
        void* block = block_;
        block_ = nullptr;
        return block;
    }

    /// Whether a block of `size` bytes is page-aligned.
    static bool IsPageAlignedSize(std::size_t size) {
        return size > kSmallBlockLimit || size % kPageMultiple == 0;
    }

  private:
    static constexpr std::size_t kSmallBlockLimit = 0x8000;
    static constexpr std::size_t kPageMultiple = 4096;

    void* block_;
};

/// A ZStMallocBlock of `bytes` bytes seen as an array of T.
template <class T>
class ZStMalloc {
  public:
    ZStMalloc(std::size_t bytes, bool zeroFill) : block_(bytes, zeroFill) {}

    T* Get() const { return static_cast<T*>(block_.Get()); }
    T* Release() { return static_cast<T*>(block_.Release()); }

  private:
    ZStMallocBlock block_;
};
