// Feeds arbitrary bytes to the readers of outside text: property lists,
// strings tables and JSON. Whatever a reader accepts must survive being
// written again, and what the writers produce must read back.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/Values/Json.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Values/StringsFile.h"

using platform::PropertyList;
using platform::PropertyListFormat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);

    if (auto value = PropertyList::fromData(bytes, nullptr, nullptr)) {
        for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
            auto encoded = PropertyList::toData(*value, format, nullptr);
            if (encoded && !PropertyList::fromData(*encoded, nullptr, nullptr)) std::abort();
        }
        (void)platform::json::serialize(*value, platform::json::WriteStyle::Pretty, nullptr);
    }

    (void)platform::parseStringsFile(bytes, nullptr);

    if (auto value = platform::json::parse(bytes, nullptr)) {
        auto text = platform::json::serialize(*value, platform::json::WriteStyle::Compact, nullptr);
        if (!text || !platform::json::parse(*text, nullptr)) std::abort();
    }
    return 0;
}
