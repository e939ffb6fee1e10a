// The file codec of the library's configuration and settings files: a keyed
// archive (root key "root") whose byte i is XORed with key[i mod length].
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"

/// The key table of the configuration file vtscd.dat.
extern const std::array<std::uint8_t, 144> kVTConfigurationKeyTable;
/// The key table of the settings file vtsettings.dat.
extern const std::array<std::uint8_t, 156> kVTSettingsKeyTable;

/// XORs every byte with the repeating key (an empty key leaves the bytes).
void VTScrambleBytes(platform::Data& bytes, std::span<const std::uint8_t> key);

/// The scrambled archive of `object` in `out`. Returns false without an
/// error when the object or `out` is missing; false with VTErrorDomain 5008
/// when the key is empty.
bool VTEncodeScrambledArchive(const VTCodable* object, platform::Data* out,
                              std::span<const std::uint8_t> key, platform::Error* error);

/// Decodes the object of class T (or a subclass) from scrambled bytes into
/// `out`. False with VTErrorDomain 5009 when there is no object of that
/// class; the unarchiver's error (a wrong class, a corrupt archive) is kept
/// under "Exception" (Error::errorsForKey).
template <class T>
bool VTDecodeScrambledArchive(std::optional<T>* out, const platform::Data& bytes,
                              std::span<const std::uint8_t> key, platform::Error* error) {
    if (!out) return false;
    platform::Data plain = bytes;
    VTScrambleBytes(plain, key);
    platform::Error reason;
    *out = VTCodingUtilities::objectWithData<T>(plain, &reason);
    if (*out) return true;
    platform::Error e = VTErrorUtilities::errorWithVantrelError(kVTErrorDecodingFailed);
    if (!reason.empty()) e.setErrorsForKey("Exception", {reason});
    platform::setError(error, std::move(e));
    return false;
}
