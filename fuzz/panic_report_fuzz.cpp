// Drives the kernel panic report parser and its line scanners with
// arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "VTErrorCreationLib/VTApplePanicReportParser.h"
#include "VTErrorCreationLib/VTPanicScanners.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    VTApplePanicReportParser parser(text);
    platform::Error error;
    (void)parser.parse(&error);
    (void)parser.parse(&error);
    (void)vtpanic::matchKernelExtension(text);
    (void)vtpanic::matchKernelVersionLine(text);
    (void)vtpanic::matchKernelTrap(text);
    (void)vtpanic::replaceDecimalNumbers(vtpanic::replaceHexNumbers(text));
    return 0;
}
