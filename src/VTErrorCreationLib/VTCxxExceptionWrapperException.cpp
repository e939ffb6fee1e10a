#include "VTErrorCreationLib/VTCxxExceptionWrapperException.h"

#include <cxxabi.h>

#include <cstdlib>
#include <string>

namespace {

std::string demangledName(const char* mangled) {
    if (!mangled) return {};
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status != 0 || !demangled) {
        std::free(demangled);
        return mangled;
    }
    std::string name(demangled);
    std::free(demangled);
    return name;
}

std::vector<std::uintptr_t> framesOf(const VTCxxExceptionInfo* info) {
    std::vector<std::uintptr_t> frames;
    if (info && info->frames) frames.assign(info->frames, info->frames + info->frameCount);
    return frames;
}

}  // namespace

VTCxxExceptionWrapperException::VTCxxExceptionWrapperException(VTCxxExceptionInfo* info)
    : platform::Exception(demangledName(info ? info->name : nullptr),
                          info && info->description ? info->description : ""),
      info_(info) {
    setCallStackReturnAddresses(framesOf(info));
}
