#include "Controllers/Core/SharedProductPluginUtilities.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Controllers/Core/ProductPluginConfig.h"
#include "Downloader/FSDManifestValues.h"
#include "Engine/PelRequirement.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"

namespace {

std::mutex& localeMutex() {
    static std::mutex mutex;
    return mutex;
}
std::optional<PluginLocale>& localeOverride() {
    static std::optional<PluginLocale> locale;
    return locale;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

std::optional<platform::Value> readPlist(const std::string& path) {
    if (!fileExists(path)) return std::nullopt;
    return platform::PropertyList::fromFile(path, nullptr, nullptr);
}

std::string bundledRequirementsPath() {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return {};
    return bundle->resourcePath() + "/PelSupportFolder/Requirements.plist";
}

}  // namespace

PluginLocale PluginLocale::parse(const std::string& text) {
    std::string base = text.substr(0, text.find_first_of(".@"));
    if (base.empty() || base == "C" || base == "POSIX") return {"en", ""};
    auto underscore = base.find_first_of("_-");
    if (underscore == std::string::npos) return {lower(base), ""};
    return {lower(base.substr(0, underscore)), base.substr(underscore + 1)};
}

PluginLocale PluginLocale::current() {
    {
        std::lock_guard lock(localeMutex());
        if (localeOverride()) return *localeOverride();
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return parse(value);
    }
    return {"en", ""};
}

void PluginLocale::setOverride(std::optional<PluginLocale> locale) {
    std::lock_guard lock(localeMutex());
    localeOverride() = std::move(locale);
}

SharedProductPluginUtilities& SharedProductPluginUtilities::sharedPluginUtilities() {
    static SharedProductPluginUtilities instance;
    return instance;
}

std::string SharedProductPluginUtilities::landingVersion() {
    if (auto list = readPlist(bundledRequirementsPath())) {
        if (const auto* version = list->get("PRODUCT_VERSION"); version && version->isString())
            return version->stringValue();
    }
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return {};
    auto shortVersion = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (!shortVersion.isString()) return {};
    return shortVersion.stringValue().substr(0, 3);
}

std::string SharedProductPluginUtilities::installerMenuHelpURL() const {
    static constexpr std::array<const char*, 22> kLanguages = {
        "cs", "da", "de", "el", "en", "es", "fi", "fr", "hu", "it", "ja",
        "ko", "nl", "no", "pl", "pt", "ro", "ru", "sk", "sv", "tr", "zh"};
    static constexpr std::array<const char*, 25> kCountries = {
        "cz", "dk", "de", "el", "us", "es", "mx", "fi", "fr", "hu", "it", "jp", "ko",
        "nl", "no", "pl", "br", "pt", "ro", "ru", "sk", "se", "tk", "cn", "tw"};
    PluginLocale locale = PluginLocale::current();
    std::string language = locale.language;
    std::string country = lower(locale.country);
    if (language == "nb") language = "no";
    if (language == "tr")
        country = "tk";
    else if (language == "el")
        country = "el";
    auto allowed = [](const auto& list, const std::string& code) {
        return std::find(list.begin(), list.end(), code) != list.end();
    };
    if (!allowed(kLanguages, language) || !allowed(kCountries, country)) {
        language = "en";
        country = "us";
    }
    std::string text = std::string("https://") + productconfig::kSupportLandingHost +
                       "/sp/landing?product=" + productconfig::kSupportProductName +
                       "&version=" + landingVersion() + "&ct=" + country + "&lg=" + language +
                       "&helpid=" + productconfig::kSupportHelpID;
    return fsdvalues::addingPercentEscapes(text);
}

namespace pluginlinks {

std::optional<std::string> getHelpID(const PelRequirement& requirement) {
    const platform::Value& dic = requirement.icDic();
    if (requirement.icType() == "Hardware") {
        if (dic.get("MIN_MEMORY")) {
            std::string type = requirement.pelIE() ? requirement.pelIE()->type() : std::string();
            if (type == "ERROR") return "system_requirements";
            if (type == "WARNING") return "low_memory";
            return std::nullopt;
        }
        if (dic.get("MIN_OS")) return "old_version";
        if (dic.get("MIN_DISK_SPACE")) return "low_disk_space";
        if (dic.get("BlockOnK32Bit")) return "32bit_error";
        return std::nullopt;
    }
    if (requirement.icType() == "InstallMatrix") {
        const platform::Value* type = dic.get("IMType");
        std::string text = type ? type->stringValue() : std::string();
        if (text == "INSTALL_OVER" || text == "INSTALL_UPGRADE") return "incompatible_ostrel";
        if (text == "INSTALL_COMPETITIVE") return "incompatiable_software";
    }
    return std::nullopt;
}

std::string languageCode(const PluginLocale& locale) {
    static const std::pair<const char*, const char*> kCodes[] = {
        {"cs", "ces"}, {"da", "dan"},    {"de", "deu"},    {"el", "ell"},    {"en", "eng"},
        {"es", "spa"}, {"fi", "fin"},    {"fr", "fra"},    {"hu", "hun"},    {"it", "ita"},
        {"ja", "jpn"}, {"ko", "kor"},    {"nl", "nld"},    {"no", "nor"},    {"nb", "nor"},
        {"pl", "pol"}, {"pt_PT", "qpp"}, {"pt_BR", "qbp"}, {"ro", "ron"},    {"ru", "rus"},
        {"sk", "eng"}, {"sv", "swe"},    {"tr", "tur"},    {"zh_CN", "qcs"}, {"zh_TW", "qct"}};
    auto find = [](const std::string& key) -> const char* {
        for (const auto& [k, code] : kCodes)
            if (key == k) return code;
        return nullptr;
    };
    if (const char* code = find(locale.language)) return code;
    if (!locale.country.empty())
        if (const char* code = find(locale.language + "_" + locale.country)) return code;
    return "eng";
}

std::string localizedSupportURLString(const std::string& helpID) {
    std::string code = languageCode(PluginLocale::current());
    return std::string("https://") + productconfig::kHelpRedirectHost +
           "/932743328/?ssdcat=306&env=int&origin=mac&displang=iso3:" + code +
           "&displocale=iso3:" + code + "&helpid=" + helpID;
}

std::string getSupportURL(const PelRequirement* requirement,
                          const std::optional<std::string>& requirementsPath) {
    std::optional<std::string> helpID =
        requirement ? getHelpID(*requirement) : std::optional<std::string>(getFSDHelpID());
    std::string text = localizedSupportURLString(helpID.value_or(std::string()));
    if (requirementsPath) {
        if (auto list = readPlist(*requirementsPath)) {
            const platform::Value* layout = list->get("Layout");
            if (layout && layout->isString() && layout->stringValue() == "GenericQRB")
                text += "&ispid=5555";
        }
    }
    return fsdvalues::addingPercentEscapes(text);
}

std::string agentPreferencesPath() {
    return platform::Paths::userLibrary("Preferences/com.pelgrave.obrk.plist");
}

std::optional<std::string> getMID() {
    auto prefs = readPlist(agentPreferencesPath());
    if (!prefs) return std::nullopt;
    const platform::Value* mid = prefs->get("MID");
    if (!mid || !mid->isString()) return std::nullopt;
    return mid->stringValue();
}

}  // namespace pluginlinks
