// Shared by the registry's own sources; not for use outside them.
#pragma once

#include <cstdint>
#include <exception>
#include <new>

#include "Foundation/PelErrReporting.h"
#include "Foundation/PelRegistryModule.h"
#include "Foundation/ZSharedObjArray.h"

namespace PelRegistry::detail {

/// The failure code of the registry's failure reports ("Reg ").
inline constexpr std::int32_t kRegistryFailureCode = 0x52656720;

/// Files a failure report for the exception being handled; call it only
/// inside a catch block. Inlined, so that the report's location is the
/// function that caught the exception.
[[gnu::always_inline]] inline void reportCaughtFailure(PelErrorSeverity severity) {
    try {
        throw;
    } catch (const std::exception& e) {
        PelErrReportingReportCxxException(severity, kRegistryFailureCode, "PelRegistry", "",
                                          kPelErrLocationCaller, e);
    } catch (...) {
        PelErrReportingSubmitFailureReport(severity, kRegistryFailureCode, "PelRegistry", "",
                                           kPelErrLocationCaller);
    }
}

/// Appends `module` to `array` (which takes a reference). Throws
/// std::bad_alloc when memory runs out.
inline void appendModule(ZSharedObjArray& array, Module* module) {
    if (array.AddValue(module) != 0) throw std::bad_alloc();
}

}  // namespace PelRegistry::detail
