// Text forms the submission protocol uses on the wire: dates, Windows ticks,
// form escaping and the product language codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/Values/Value.h"

/// Domain of the submission errors; codes below.
inline constexpr std::string_view VTSubmissionErrorDomain = "com.pelgrave.vantrel.submissions";

/// Result codes of processing one error (also the codes of
/// VTSubmissionErrorDomain where they name a failure).
enum VTSubmissionResultCode : std::int32_t {
    kVTSubmissionResultPingFailed = 1,
    kVTSubmissionResultPinged = 2,
    kVTSubmissionResultThrottled = 4,
    kVTSubmissionResultPayloadTooLarge = 6,
    kVTSubmissionResultUploaded = 7,
    kVTSubmissionResultUploadFailed = 8,
    kVTSubmissionResultBadResponse = 10,
    kVTSubmissionResultInvalidError = 11,
};

/// VTSubmissionErrorDomain code 0: finished session, or no reachability.
inline constexpr long kVTSubmissionErrorSession = 0;
/// User-information key of code 1: the HTTP status as a number.
inline constexpr std::string_view VTSubmissionStatusCodeKey = "StatusCode";

/// Seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::uint64_t kVTWindowsEpochOffsetSeconds = 11644473600ULL;

/// 100-nanosecond intervals since 1601-01-01 00:00 UTC, of whole seconds
/// (the fraction cut towards zero).
std::uint64_t timeIntervalInWindowsTicks(platform::Date date);
/// The date at whole seconds of `ticks`.
platform::Date dateWithWindowsTicks(std::uint64_t ticks);

/// "yyyy-MM-dd HH:mm:ss:SSS" in GMT, calendar year.
std::string VTSubmissionDateString(platform::Date date);
/// "EEE, d MMM yyyy HH:mm:ss 'GMT'" with English names.
std::string VTSubmissionRFCDateString(platform::Date date);

/// Percent-escapes UTF-8 text, leaving only ASCII letters, digits and "-._~".
std::string VTFormEscape(std::string_view text);
/// The first `maxCharacters` characters of UTF-8 text (never splitting one).
std::string VTTruncateUTF8(std::string_view text, std::size_t maxCharacters);

/// The code sent for a registry language name ("German" -> "de"), or "" when
/// the name is not in the table.
std::string_view VTProductLanguageCode(std::string_view languageName);

/// `path` without the extension of its last component.
std::string VTDeletingPathExtension(std::string_view path);
