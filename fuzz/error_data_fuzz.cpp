// Drives the decoder of an error folder's "data.vterr" (a keyed archive of
// class VTErrorData) with arbitrary bytes, and what loading an error does
// with the result: each detail's info looked up by its identifier, the
// identifier checked as a file name of the folder. Data that decodes is
// written again, as saving the error does, and must decode again: a folder
// that the library cannot read back after saving it would lose the error.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorFolder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::Data bytes(data, data + size);
    platform::Error error;
    auto decoded = VTCodingUtilities::objectWithData<VTErrorData>(bytes, &error);
    if (!decoded) return 0;
    for (const auto& [identifier, info] : decoded->detailData()) {
        (void)decoded->detailInfo(identifier);
        (void)vtfolder::isValidDetailIdentifier(identifier);
    }
    for (const auto& [key, value] : decoded->parameterData()) (void)decoded->parameter(key);

    const platform::Data saved = VTKeyedArchiver::archivedDataWithRootObject(*decoded);
    if (!VTCodingUtilities::objectWithData<VTErrorData>(saved, &error)) {
        std::fprintf(stderr, "saved error data does not decode: %s\n", error.description().c_str());
        std::abort();
    }
    return 0;
}
