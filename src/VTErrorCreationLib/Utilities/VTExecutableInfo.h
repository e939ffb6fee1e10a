// The information property list embedded in an executable: the
// `__TEXT,__info_plist` section of a Mach-O image (thin or universal, 32 or
// 64 bit), or the section "__info_plist" of an ELF executable of ours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Platform/Values/Error.h"

enum class VTInfoPlistSearch {
    kFound,     // `section` holds the bytes
    kNotFound,  // a valid image without the section, or not an image we read
    kFailed,    // `error` filled
};

/// Finds the embedded list in an executable's bytes. Failures: code 2 of
/// VTUtilitiesErrorDomain ("The file is not a valid Mach-O executable", with
/// `url` under "URL") for truncated or inconsistent images, NSMachErrorDomain
/// 29 for an image shorter than a Mach-O header. All reads are bounds-checked.
VTInfoPlistSearch VTFindEmbeddedInfoPlist(std::span<const std::uint8_t> file, std::string_view url,
                                          std::span<const std::uint8_t>* section,
                                          platform::Error* error);
