#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "Foundation/ZStMallocBlock.h"

namespace {

TEST(ZStMallocBlock, LargeAndWholePageBlocksArePageAligned) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    struct Case {
        std::size_t size;
        bool pageAligned;
    };
    const Case cases[] = {{100, false},  {5000, false}, {4096, true},  {8192, true},
                          {32768, true}, {32769, true}, {40000, true}, {0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(ZStMallocBlock::IsPageAlignedSize(c.size), c.pageAligned);
        ZStMallocBlock block(c.size, true);
        ASSERT_NE(block.Get(), nullptr);
        if (c.pageAligned) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.Get()) % page, 0u);
        }
        auto* bytes = static_cast<unsigned char*>(block.Get());
        for (std::size_t i = 0; i < c.size; ++i) ASSERT_EQ(bytes[i], 0) << "at " << i;
    }
}

TEST(ZStMallocBlock, ReleaseHandsTheBlockOver) {
    void* kept;
    {
        ZStMalloc<char> block(64, false);
        kept = block.Release();
        EXPECT_EQ(block.Get(), nullptr);
    }
    std::free(kept);  // still ours to free
}

}  // namespace
