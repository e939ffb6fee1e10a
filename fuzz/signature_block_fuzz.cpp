// The search and check of a signature block at the end of a buffer, and the
// Base64 decoder under it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Foundation/PelSignature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PelVerifyEmbeddedSignature(reinterpret_cast<const char*>(data), unsigned(size));
    char* out = nullptr;
    std::size_t length = 0;
    if (PelBase64Decode(data, size, &out, &length) == 0) std::free(out);
    return 0;
}
