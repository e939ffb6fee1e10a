#include "Controllers/Core/PelEULAUtils.h"

#include <cstdlib>
#include <filesystem>

#include "Foundation/PelLogging.h"
#include "Platform/System/Paths.h"
#include "Platform/Text/Format.h"
#include "Platform/Values/PropertyList.h"

namespace {

constexpr const char* kGlobalPreferencesPath = "/Library/Preferences/.GlobalPreferences.plist";
constexpr const char* kFallbackPrefix = "ieng";
constexpr const char* kNorthAmericaPrefix = "usca";

bool isNorthAmerica(const std::string& country) { return country == "US" || country == "CA"; }

std::optional<std::string> stringEntry(const platform::Dictionary& dictionary,
                                       std::string_view key) {
    auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.asString()) return std::nullopt;
    return *found->second.asString();
}

std::string beforeFirstDash(const std::string& text) { return text.substr(0, text.find('-')); }

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

}  // namespace

std::shared_ptr<PelEULAUtils> PelEULAUtils::createEULAUtilsWith(
    std::shared_ptr<const platform::Bundle> bundle) {
    return std::make_shared<PelEULAUtils>(std::move(bundle));
}

std::shared_ptr<PelEULAUtils> PelEULAUtils::createEULAUtils() {
    return createEULAUtilsWith(platform::Bundle::mainBundle());
}

std::string PelEULAUtils::currentLocaleIdentifier() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (!value || !*value) continue;
        std::string text = value;
        text = text.substr(0, text.find_first_of(".@"));
        if (text.empty() || text == "C" || text == "POSIX") continue;
        return text;
    }
    return "en_US";
}

std::vector<std::string> PelEULAUtils::prefixesFor(const std::optional<std::string>& systemCountry,
                                                   const std::string& locale) {
    std::vector<std::string> prefixes;
    if (systemCountry && isNorthAmerica(*systemCountry)) {
        prefixes = {kNorthAmericaPrefix, kFallbackPrefix};
        return prefixes;
    }
    std::size_t first = locale.find('_');
    if (first == std::string::npos) {
        prefixes.push_back(locale);
        if (locale.find('-') != std::string::npos) prefixes.push_back(beforeFirstDash(locale));
    } else {
        std::string language = locale.substr(0, first);
        std::size_t second = locale.find('_', first + 1);
        std::string country = systemCountry.value_or(
            second == std::string::npos ? locale.substr(first + 1)
                                        : locale.substr(first + 1, second - first - 1));
        std::string fullForm = second == std::string::npos ? locale : language;
        if (isNorthAmerica(country)) {
            prefixes.push_back(kNorthAmericaPrefix);
        } else {
            prefixes.push_back(fullForm);
            bool dashed = language.find('-') != std::string::npos;
            if (dashed) {
                std::size_t underscore = fullForm.find('_');
                std::string tail =
                    underscore == std::string::npos ? std::string() : fullForm.substr(underscore);
                prefixes.push_back(beforeFirstDash(language) + tail);
            }
            prefixes.push_back(language);
            if (dashed) prefixes.push_back(beforeFirstDash(language));
        }
    }
    prefixes.push_back(kFallbackPrefix);
    return prefixes;
}

bool PelEULAUtils::supportedEULAExists() {
    auto preferences = platform::PropertyList::dictionaryWithContentsOfFile(
        platform::Paths::resolve(kGlobalPreferencesPath));
    std::optional<std::string> country;
    std::optional<std::string> appleLocale;
    if (preferences) {
        country = stringEntry(*preferences, "Country");
        appleLocale = stringEntry(*preferences, "AppleLocale");
    }
    std::string locale = appleLocale.value_or(currentLocaleIdentifier());
    PelLogging::logDebugMessageWithFormat("%s: country %@ locale %@", __func__, country, locale);

    std::vector<std::string> prefixes = prefixesFor(country, locale);
    if (!bundle_) return false;
    for (const std::string& prefix : prefixes) {
        std::string path = platform::Paths::join(bundle_->resourcePath(),
                                                 platform::format("%@_License.rtf", prefix));
        if (exists(path)) {
            pathToEULARTF_ = path;
            return true;
        }
        path += "d";
        if (exists(path)) {
            pathToEULARTF_ = path;
            return true;
        }
    }
    PelLogging::logDebugMessageWithFormat("%s: no licence agreement found", __func__);
    return false;
}
