// The product and system fields of an error's summary record.
//
// Product fields come from the product registry. System fields come from
// the machine, each source read through the platform path root:
//   osVersion / osBuild   VERSION_ID / BUILD_ID of the release file
//   locale                LC_ALL, LC_MESSAGES or LANG ("en_US" when none)
//   user language         (processUID not 0) the user's
//                         "~/.config/locale.conf", else LANGUAGE or LANG
//   global language       "/etc/default/locale" (LANGUAGE, else LANG)
//   machineId             "/sys/class/dmi/id/product_uuid" (readable by
//                         root), else a UUID derived from "/etc/machine-id"
//                         with a keyed hash (the raw id never leaves the
//                         machine), else all zero
//   processor fields      "/proc/cpuinfo"
//   systemProductName     "/sys/class/dmi/id/product_name"
// Windows locale codes, language tags and English display names come from
// ICU.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "VTErrorCreationLib/VTErrorProperties.h"

/// The version of the reporting library that makes the records.
inline constexpr std::string_view VTClientVersionString = "8.4.2f21";

/// Client version and the product fields of the first installed product
/// with a layout. False when the registry has no module list or throws.
bool VTFillProductSummaryProperties(VTErrorProperties& record);
/// The system fields (see the file comment). Always true.
bool VTFillSystemSummaryProperties(VTErrorProperties& record);
/// Makes the process-wide processor description once.
void VTCacheProcessorDescription();
/// The processor description ("x86 Family %d Model %d Stepping %d"), or
/// nullopt when the processor does not say.
std::optional<std::string> VTProcessorDescription();
/// Forgets what was made once per process (tests with a new path root).
void VTResetSystemSummaryCacheForTesting();

/// The parts of the system fields that tests check on their own.
namespace vtsystem {
/// Windows locale code, language tag ("en-US") and English display names of
/// a POSIX or ICU locale name ("de_DE.UTF-8"); the codes are 0 and the
/// texts empty for what ICU does not know.
struct LocaleFacts {
    int windowsLocaleId = 0;
    std::string languageTag;
    std::string languageName;
    std::string countryName;
};
LocaleFacts localeFacts(const std::string& locale);
/// The UUID derived from a machine-id text (the keyed hash of its 32
/// hexadecimal digits), or nullopt when the text is no machine id.
std::optional<VTUUID> uuidFromMachineId(const std::string& text);
}  // namespace vtsystem
