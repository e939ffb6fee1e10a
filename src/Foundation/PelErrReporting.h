// The failure-report API: plain functions through which any part of the
// program files a failure report. A report is begun for a component with a
// failure code, filled with data entries and failure descriptions, and ended.
//
//   VTErrorReportRef report = PelErrReportingBeginFailureReport(
//       0, 0x52656720, "PelRegistry", "", kPelErrLocationCaller);
//   PelErrReportingAddStringErrorData(report, "URL", path.c_str());
//   PelErrReportingEndFailureReport(report);
//
// Every function accepts a null report (and null keys, values and failure
// names) and then does nothing. All functions may be called from any thread;
// one report is used by one thread at a time. Nothing is thrown.
//
// A report is a logical error record of the error-report library, made
// through its report functions by the current reporting client; the library
// saves it under its configuration's error folder. The report's data (the
// data entries and the failure descriptions) is stored in the record as the
// JSON detail "ErrorReportingData". Failures of the library are logged
// through PelLogging and never reach the caller. The library is bound weakly:
// in a program without it, no report is made.
#pragma once

#include <cstdint>
#include <exception>

#include "Platform/Values/Error.h"
#include "Platform/Values/Exception.h"
#include "Platform/Values/Value.h"

/// Opaque handle of one report; null means no report.
struct VTErrorReport;
using VTErrorReportRef = VTErrorReport*;

/// 0, 1 or 2; a severity above 0 asks for a dump to be added to the report.
using PelErrorSeverity = int;

/// Location sentinel (every bit set): stands for the return address of the
/// function that called PelErrReportingBeginFailureReport.
extern const void* const kPelErrLocationCaller;

/// The system's error domains, for the failure functions' `domain`.
extern const char* const kPelErrDomainMacOSStatus;
extern const char* const kPelErrDomainPOSIX;
extern const char* const kPelErrDomainMach;
extern const char* const kPelErrDomainCocoa;

extern "C" {

/// Begins a report for `component` (a UTF-8 text) at `location`
/// (kPelErrLocationCaller: the caller's return address). `note` is not read.
/// Returns the report, or null when none could be made.
VTErrorReportRef PelErrReportingBeginFailureReport(PelErrorSeverity severity,
                                                   std::int32_t failureCode, const char* component,
                                                   const char* note, const void* location);
/// Stores the report's data, finishes the report and frees it.
void PelErrReportingEndFailureReport(VTErrorReportRef report);
/// Files a complete report of the calling thread's call stack in one call;
/// `note` and `location` are not read.
void PelErrReportingSubmitFailureReport(PelErrorSeverity severity, std::int32_t failureCode,
                                        const char* component, const char* note,
                                        const void* location);

/// data[key] = value (a string).
void PelErrReportingAddStringErrorData(VTErrorReportRef report, const char* key, const char* value);
/// data[key] = value (a number).
void PelErrReportingAddIntErrorData(VTErrorReportRef report, const char* key, std::int64_t value);
/// Attaches bytes to the report as detail data under `identifier`.
void PelErrReportingAddDataErrorData(VTErrorReportRef report, const char* identifier,
                                     const platform::Data* data);
/// Data goes to PelErrReportingAddDataErrorData; a value a property list can
/// hold is stored unchanged; anything else as its description text.
void PelErrReportingAddCFTypeErrorData(VTErrorReportRef report, const char* key,
                                       const platform::Value* value);

/// Adds the failure {"domain", "code", "userInfo", "failure"} of `error`, and
/// one for each of its underlying errors.
void PelErrReportingAddCFErrorFailure(VTErrorReportRef report, const char* failure,
                                      const platform::Error* error);
/// Adds the failure {"domain", "code" (a number), "failure"}; nothing when
/// `failure` or `domain` is null.
void PelErrReportingAddIntFailure(VTErrorReportRef report, const char* failure, const char* domain,
                                  unsigned code);
/// Adds the failure {"domain", "code" (a string), "failure"}; nothing when
/// `failure` or `domain` is null.
void PelErrReportingAddStringFailure(VTErrorReportRef report, const char* failure,
                                     const char* domain, const char* code);
/// Adds the exception's failure {"BacktraceAddrs", "BacktraceSymbols",
/// "Name", "UserInfo", "Description"}.
void PelErrReportingAddNSExceptionFailure(VTErrorReportRef report,
                                          const platform::Exception* exception);
/// A complete report of `exception` in one call.
void PelErrReportingReportNSException(PelErrorSeverity severity, std::int32_t failureCode,
                                      const char* component, const char* note, const void* location,
                                      const platform::Exception* exception);

}  // extern "C"

/// Adds the failure {"Name": the exception's type name, "Description": what()}.
void PelErrReportingAddCxxExceptionFailure(VTErrorReportRef report,
                                           const std::exception& exception);
/// Begin, PelErrReportingAddCxxExceptionFailure and End in one call.
void PelErrReportingReportCxxException(PelErrorSeverity severity, std::int32_t failureCode,
                                       const char* component, const char* note,
                                       const void* location,
                                       const std::exception& exception) noexcept;
