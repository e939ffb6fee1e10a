// Reading a property-list file that must hold a dictionary, paths inside the
// product line's silo folder, and an error number for failed allocations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// The error domain of the dictionary readers.
inline constexpr char kPelErrDomainCoreFoundation[] = "com.pelgrave.corefoundation";
/// The path could not be made into a file URL.
inline constexpr long kPelErrCodeNotAFileURL = 0;
/// The file's top-level object is not a dictionary.
inline constexpr long kPelErrCodeNotADictionary = 1;

/// How mutable the values read should be. Values are always copies the
/// caller may change, so every option reads the same; callers pass the one
/// they mean.
enum PelPropertyListMutability : unsigned {
    kPelPropertyListImmutable = 0,
    kPelPropertyListMutableContainers = 1,
    kPelPropertyListMutableContainersAndLeaves = 2,
};

/// The "file://" URL of a POSIX path (made absolute against the current
/// folder), percent-encoded; nothing for an empty path or one holding a NUL.
std::optional<std::string> PelFileURLWithPath(std::string_view path);

/// The dictionary stored, in XML or binary form, in the file named by a
/// "file://" URL. On failure returns nothing and fills `error` (may be null):
/// - a URL that is not a file URL: NSCocoaErrorDomain 262 (a malformed one:
///   258), with the URL under NSURL;
/// - the file cannot be opened or read: NSPOSIXErrorDomain with errno (files
///   over 64 MiB: EFBIG);
/// - the contents are not a property list: the parser's error (3840);
/// - the top level is not a dictionary: kPelErrDomainCoreFoundation, code 1.
/// The URL is used as given (no path root is applied).
std::optional<platform::Dictionary> PelCFDictionaryCreateWithContentsOfURL(std::string_view fileURL,
                                                                           unsigned options,
                                                                           platform::Error* error);

/// The same for a POSIX path. A path that cannot be made into a file URL (see
/// PelFileURLWithPath) fails with kPelErrDomainCoreFoundation, code 0.
std::optional<platform::Dictionary> PelCFDictionaryCreateWithContentsOfFileAtPathWithError(
    std::string_view path, unsigned options, platform::Error* error);

extern "C" {

/// The product line's code in silo paths: "TLW".
const char* PelGetSiloName(void);

/// "/Library/Application Support/Pelgrave/Silo/TLW" followed by "/" and each
/// component in turn; the component list ends with a null pointer. `base` is
/// not read (callers pass the un-siloed folder). Returns a malloc'd string
/// that the caller frees with free(), or NULL when memory runs out.
///
/// The text is the system path; a caller that opens it as a file resolves
/// it first with platform::Paths::resolve().
char* PelCreateSiloedPath(const char* base, ...) __attribute__((sentinel));

/// A non-zero error number for a failed allocation: -108 (out of memory), as
/// there is no separate memory-manager error on this platform.
std::int16_t PelForceMemError(void);
}
