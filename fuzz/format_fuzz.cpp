// Any format text with a fixed mix of arguments must format without reading
// out of bounds, whatever its directives ask for.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Platform/Text/Format.h"
#include "Platform/Values/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view fmt(reinterpret_cast<const char*>(data), size);
    platform::Value value(platform::Array{platform::Value(1), platform::Value("x")});
    const char* nullText = nullptr;
    (void)platform::format(fmt, 42, -7LL, 3.5, "text", nullText, value, static_cast<void*>(nullptr),
                           'c');
    (void)platform::format(fmt);
    return 0;
}
