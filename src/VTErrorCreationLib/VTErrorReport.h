// The report function API: plain functions through which code without access
// to the library's classes creates logical error records through the current
// client. The failure-report API of the foundation library is their caller;
// it binds to them weakly, so this header depends on nothing but the platform
// values and links nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// One logical error record, as the report functions hand it out: the
/// operations of the record that the failure-report API uses. The caller owns
/// a report from its creation until VTErrorReportFreeReport; one thread uses
/// it at a time.
struct VTErrorReport {
    virtual ~VTErrorReport() = default;

    /// The record's free-form data, saved with it.
    virtual platform::Dictionary& userData() = 0;
    /// Sets the logical error code of the record's summary.
    virtual void setLogicalErrorCode(std::uint64_t code) = 0;
    /// Adds a text parameter. Returns false and fills `error` on failure.
    virtual bool addParameterDataWithKey(const std::string& key, const std::string& value,
                                         platform::Error* error) = 0;
    /// Attaches bytes as the detail `identifier` (with an optional
    /// description). Returns false and fills `error` on failure.
    virtual bool addDetailData(const platform::Data& data, const std::string& identifier,
                               const std::optional<std::string>& description,
                               platform::Error* error) = 0;
    /// Locates the failure by a call stack (innermost first) until the record
    /// is final; false for a final record.
    virtual bool setFailureCallstack(const std::vector<std::uintptr_t>& addresses) = 0;
    /// Saves the record and its data under the configuration's error folder.
    /// Returns false and fills `error` on failure.
    virtual bool save(platform::Error* error) = 0;
};

using VTErrorReportRef = VTErrorReport*;

extern "C" {

/// A new logical error in `component` at the code address `address` with the
/// failure code and severity, made by the current client (a live crash report
/// is added when `addDump` is set and crash dumps are enabled). Null when
/// there is no current client (logged as "Cannot use PelErrorReporting
/// without a client") or the client does not make one (logged as "Error
/// creating an error (%@)" with the error's description).
VTErrorReportRef VTErrorReportCreateNewReport(const char* component, const void* address,
                                              std::int32_t failureCode, std::int32_t severity,
                                              bool addDump);

/// The same, located by the return addresses `backtrace[0..count)`
/// (innermost first), always asking for a dump.
VTErrorReportRef VTErrorReportCreateNewExceptionReport(const char* component,
                                                       const std::uintptr_t* backtrace,
                                                       std::size_t count, std::int32_t failureCode,
                                                       std::int32_t severity);

/// Attaches `data` as the detail "ErrorReportingData" without description; a
/// failure is logged as "Error report could not add data (%@)".
void VTErrorReportSetReportData(VTErrorReportRef report, const platform::Data* data);

/// Releases the report (null is ignored).
void VTErrorReportFreeReport(VTErrorReportRef report);

}  // extern "C"
