// Drives the keyed-archive reader (as the summary and configuration files
// are read) and the embedded information-list search with arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "VTErrorCreationLib/Utilities/VTExecutableInfo.h"
#include "VTErrorCreationLib/VTErrorProperties.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::Data bytes(data, data + size);
    platform::Error error;
    (void)VTCodingUtilities::objectWithData<VTErrorProperties>(bytes, &error);
    (void)VTCodingUtilities::objectWithData<VTSCDConfiguration>(bytes, &error);
    std::span<const std::uint8_t> section;
    (void)VTFindEmbeddedInfoPlist({data, size}, "fuzz", &section, &error);
    return 0;
}
