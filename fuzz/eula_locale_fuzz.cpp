// The licence-agreement prefixes of a country and locale text (from the
// preferences file or the environment).
#include <cstddef>
#include <cstdint>
#include <string>

#include "Controllers/Core/PelEULAUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t split = text.find('\n');
    std::optional<std::string> country;
    std::string locale = text;
    if (split != std::string::npos) {
        country = text.substr(0, split);
        locale = text.substr(split + 1);
    }
    auto prefixes = PelEULAUtils::prefixesFor(country, locale);
    if (prefixes.empty() || prefixes.back() != "ieng") __builtin_trap();
    return 0;
}
