// The opt-in region checks: the machine's and the user's country, keyboard
// layout and time zone against the bundled "Regions.plist", and the two
// one-byte flag files the installed product reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Values/Value.h"

/// Bits of the region mask; 1 = list read, nothing matched; 0 = no list.
enum OptInRegionMask : std::uint64_t {
    kOptInRegionNoList = 0,
    kOptInRegionNoMatch = 0x1,
    kOptInRegionSystemLocale = 0x10,
    kOptInRegionUserLocale = 0x100,
    kOptInRegionSystemCountry = 0x1000,
    kOptInRegionKeyboardLayout = 0x10000,
    kOptInRegionTimeZone = 0x100000,
};

/// What the checks compare. The system's facts come from the preferences
/// file "/Library/Preferences/.GlobalPreferences.plist" ("AppleLocale",
/// "Country"), else the LANG of "/etc/default/locale" (and no system
/// country); the user's country from the process locale; the keyboard as
/// "xkb:<XKBLAYOUT>" of "/etc/default/keyboard"; the IANA time zone from TZ,
/// "/etc/timezone" or the "/etc/localtime" link. Every path goes through
/// platform::Paths.
struct RegionFacts {
    std::optional<std::string> systemLocaleCountry;
    std::optional<std::string> userCountry;
    std::optional<std::string> systemCountry;
    std::optional<std::string> keyboardLayout;
    std::optional<std::string> timeZone;

    static RegionFacts current();
    /// Replaces current() (tests); nullopt returns to the machine's.
    static void setOverride(std::optional<RegionFacts> facts);
};

/// The arrays of the list; null when missing or not an array.
const platform::Array* GetRestrictedCountries(const platform::Value& dictionary);
const platform::Array* GetRestrictedTimeZones(const platform::Value& dictionary);
const platform::Array* GetRestrictedKeyboardLayouts(const platform::Value& dictionary);

std::optional<std::string> CopyCurrentUserCountry();
bool IsSystemLocaleRestricted(const platform::Array* countries);
bool IsUserLocaleRestricted(const platform::Array* countries);
bool IsSystemCountryRestricted(const platform::Array* countries);
bool IsUserKeyboardLayoutRestricted(const platform::Array* layouts);
bool IsUserTimeZoneRestricted(const platform::Array* timeZones);

/// Whether the machine or user is in a restricted region of the list at
/// `path`; `mask` gets what matched (1 for nothing, 0 for no list).
bool GetRegionRestrictionMask(const std::string& path, std::uint64_t* mask);

/// Write the low byte of `value` at offset 0 of the opt-in / region flag
/// file (no truncation, no symlink followed, mode 0400 when created);
/// failures are silent.
void WriteOptInFlagFile(int value);
void WriteRegionFlagFile(int value);

inline constexpr const char* kOptInFlagFilePath =
    "/Library/Application Support/Pelgrave/Silo/TLW/Fellowguard/Flags/OptIn";
inline constexpr const char* kRegionFlagFilePath =
    "/Library/Application Support/Pelgrave/Silo/TLW/Fellowguard/RegionsFlags/RegionFlag";
