// The data of a failure report: JSON-safe copies of values, the failure
// dictionaries of errors and exceptions, and the rules by which the first
// failure names its report. Plain functions of values, shared by the
// failure-report API and its tests.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Exception.h"
#include "Platform/Values/Value.h"

/// A copy of `dictionary` that has a JSON form: a dictionary that already has
/// one is returned unchanged; otherwise strings, numbers, Booleans and null
/// are kept, dictionaries and arrays are copied the same way, invalid UTF-8
/// is replaced by U+FFFD, and any other value (dates, data, non-finite
/// numbers) becomes its description text.
platform::Dictionary PelErrReportingJSONSafeCopy(const platform::Dictionary& dictionary);

/// The failure dictionary {"domain", "code", "userInfo", "failure"} of an
/// error: the user information with the underlying error replaced by its own
/// failure dictionary and a URL replaced by its path, made JSON-safe.
platform::Dictionary PelErrReportingErrorFailure(const platform::Error& error, const char* failure);

/// The failure dictionary of an exception of the installer's own code:
/// "BacktraceAddrs", "BacktraceSymbols", "Name", "UserInfo" and
/// "Description", each left out when it is empty.
platform::Dictionary PelErrReportingExceptionFailure(const platform::Exception& exception);

/// The failure dictionary of any C++ exception: "Name" (its demangled type
/// name) and "Description" (what(), "" when null).
platform::Dictionary PelErrReportingCxxExceptionFailure(const std::exception& exception);

/// The name the first failure gives its report (the parameter "failure"):
/// "Name"; else "domain:code"; else "code"; else nothing.
std::optional<std::string> PelErrReportingFailureName(const platform::Dictionary& failure);

/// The logical error code that a failure's "code" gives its report: a number
/// its integer value; a text its integer value or, when that is 0, the
/// character code of its first character (0 for ""). Nothing without a code.
std::optional<std::uint64_t> PelErrReportingLogicalErrorCode(const platform::Dictionary& failure);
