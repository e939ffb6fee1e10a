#include "Controllers/Core/OptInRegions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "Controllers/Core/SharedProductPluginUtilities.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"

namespace {

std::mutex& factsMutex() {
    static std::mutex mutex;
    return mutex;
}
std::optional<RegionFacts>& factsOverride() {
    static std::optional<RegionFacts> facts;
    return facts;
}

std::optional<std::string> countryOf(const std::string& locale) {
    PluginLocale parsed = PluginLocale::parse(locale);
    if (parsed.country.empty()) return std::nullopt;
    return parsed.country;
}

std::string unquote(std::string value) {
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' '))
        value.pop_back();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return value;
}

/// KEY=value of a shell-style settings file.
std::optional<std::string> settingOf(const std::string& systemPath, const std::string& key) {
    std::ifstream in(platform::Paths::resolve(systemPath));
    std::string line;
    while (std::getline(in, line)) {
        auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        line = line.substr(start);
        if (line.rfind(key + "=", 0) != 0) continue;
        std::string value = unquote(line.substr(key.size() + 1));
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

std::optional<std::string> currentTimeZone() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) return std::string(*tz == ':' ? tz + 1 : tz);
    std::ifstream in(platform::Paths::resolve("/etc/timezone"));
    std::string name;
    if (std::getline(in, name) && !unquote(name).empty()) return unquote(name);
    std::error_code ec;
    auto target = std::filesystem::read_symlink(platform::Paths::resolve("/etc/localtime"), ec);
    if (ec) return std::nullopt;
    std::string text = target.string();
    auto at = text.find("zoneinfo/");
    if (at == std::string::npos) return std::nullopt;
    return text.substr(at + 9);
}

bool contains(const platform::Array* list, const std::optional<std::string>& value) {
    if (!list || !value) return false;
    return std::any_of(list->begin(), list->end(), [&](const platform::Value& entry) {
        return entry.isString() && entry.stringValue() == *value;
    });
}

const platform::Array* arrayAt(const platform::Value& dictionary, const char* key) {
    const platform::Value* value = dictionary.get(key);
    return value ? value->asArray() : nullptr;
}

void writeFlag(const char* systemPath, int value) {
    std::string path = platform::Paths::resolve(systemPath);
    // No truncation: an existing file keeps its further bytes. A planted
    // link is refused rather than followed.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0400);
    if (fd < 0) return;
    unsigned char byte = static_cast<unsigned char>(value & 0xff);
    ssize_t written = ::write(fd, &byte, 1);
    (void)written;
    ::close(fd);
}

}  // namespace

RegionFacts RegionFacts::current() {
    {
        std::lock_guard lock(factsMutex());
        if (factsOverride()) return *factsOverride();
    }
    RegionFacts facts;
    auto prefs = platform::PropertyList::dictionaryWithContentsOfFile(
        platform::Paths::resolve("/Library/Preferences/.GlobalPreferences.plist"));
    if (prefs) {
        if (auto it = prefs->find("AppleLocale"); it != prefs->end() && it->second.isString())
            facts.systemLocaleCountry = countryOf(it->second.stringValue());
        if (auto it = prefs->find("Country"); it != prefs->end() && it->second.isString())
            facts.systemCountry = it->second.stringValue();
    } else if (auto lang = settingOf("/etc/default/locale", "LANG")) {
        facts.systemLocaleCountry = countryOf(*lang);
    }
    PluginLocale user = PluginLocale::current();
    if (!user.country.empty()) facts.userCountry = user.country;
    if (auto layout = settingOf("/etc/default/keyboard", "XKBLAYOUT"))
        facts.keyboardLayout = "xkb:" + *layout;
    facts.timeZone = currentTimeZone();
    return facts;
}

void RegionFacts::setOverride(std::optional<RegionFacts> facts) {
    std::lock_guard lock(factsMutex());
    factsOverride() = std::move(facts);
}

const platform::Array* GetRestrictedCountries(const platform::Value& dictionary) {
    return arrayAt(dictionary, "Countries");
}
const platform::Array* GetRestrictedTimeZones(const platform::Value& dictionary) {
    return arrayAt(dictionary, "TimeZones");
}
const platform::Array* GetRestrictedKeyboardLayouts(const platform::Value& dictionary) {
    return arrayAt(dictionary, "KeyboardLayouts");
}

std::optional<std::string> CopyCurrentUserCountry() { return RegionFacts::current().userCountry; }

bool IsSystemLocaleRestricted(const platform::Array* countries) {
    return contains(countries, RegionFacts::current().systemLocaleCountry);
}
bool IsUserLocaleRestricted(const platform::Array* countries) {
    return contains(countries, CopyCurrentUserCountry());
}
bool IsSystemCountryRestricted(const platform::Array* countries) {
    return contains(countries, RegionFacts::current().systemCountry);
}
bool IsUserKeyboardLayoutRestricted(const platform::Array* layouts) {
    return contains(layouts, RegionFacts::current().keyboardLayout);
}
bool IsUserTimeZoneRestricted(const platform::Array* timeZones) {
    return contains(timeZones, RegionFacts::current().timeZone);
}

bool GetRegionRestrictionMask(const std::string& path, std::uint64_t* mask) {
    std::uint64_t bits = 0;
    if (mask) *mask = 0;
    auto list = platform::PropertyList::dictionaryWithContentsOfFile(path);
    if (!list) return false;
    platform::Value dictionary(std::move(*list));
    const platform::Array* countries = GetRestrictedCountries(dictionary);
    if (!countries) return false;
    if (IsSystemLocaleRestricted(countries)) bits |= kOptInRegionSystemLocale;
    if (IsUserLocaleRestricted(countries)) bits |= kOptInRegionUserLocale;
    if (IsSystemCountryRestricted(countries)) bits |= kOptInRegionSystemCountry;
    if (IsUserKeyboardLayoutRestricted(GetRestrictedKeyboardLayouts(dictionary)))
        bits |= kOptInRegionKeyboardLayout;
    if (IsUserTimeZoneRestricted(GetRestrictedTimeZones(dictionary))) bits |= kOptInRegionTimeZone;
    bool restricted = bits != 0;
    if (!restricted) bits = kOptInRegionNoMatch;
    if (mask) *mask = bits;
    return restricted;
}

void WriteOptInFlagFile(int value) { writeFlag(kOptInFlagFilePath, value); }
void WriteRegionFlagFile(int value) { writeFlag(kRegionFlagFilePath, value); }
