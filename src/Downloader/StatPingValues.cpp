// The values every ping carries, each computed once per process.
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <string>

#include "Downloader/PingSupport.h"
#include "Downloader/StatPing.h"
#include "Foundation/UnsecuredTelemetryInfo.h"
#include "Platform/Dispatch/Once.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/OSRelease.h"
#include "Platform/Text/Unicode.h"

namespace {

struct LanguageRow {
    std::string_view key;
    std::string_view name;
};

// Keys as looked up (language, language-script or language_country).
constexpr LanguageRow kLanguages[] = {
    {"en", "English"},
    {"ja", "Japanese"},
    {"de", "German"},
    {"ar", "Arabic"},
    {"cs", "Czech"},
    {"da", "Danish"},
    {"nl", "Dutch"},
    {"fi", "Finnish"},
    {"fr", "French"},
    {"el", "Greek"},
    {"he", "Hebrew"},
    {"hu", "Hungarian"},
    {"it", "Italian"},
    {"ko", "Korean"},
    {"pt_PT", "Portuguese"},
    {"pt_BR", "Brazilian"},
    {"pl", "Polish"},
    {"ro", "Romanian"},
    {"ru", "Russian"},
    {"sk", "Slovak"},
    {"es", "Spanish"},
    {"sv", "Swedish"},
    {"tr", "Turkish"},
    {"zh-Hans", "Chinese"},
    {"zh-Hant", "TraditionalChinese"},
    {"zh_CN", "Chinese"},
    {"zh_TW", "TraditionalChinese"},
    {"no", "Norwegian"},
};
static_assert(std::size(kLanguages) == 28);

const std::string_view* lookUp(std::string_view key) {
    for (const auto& row : kLanguages)
        if (row.key == key) return &row.name;
    return nullptr;
}

// glibc names scripts in the modifier ("sr_RS@latin").
std::string scriptForModifier(std::string_view modifier) {
    if (modifier == "latin") return "Latn";
    if (modifier == "cyrillic") return "Cyrl";
    if (modifier == "devanagari") return "Deva";
    return {};
}

// One cached text value.
struct CachedValue {
    platform::OnceToken token;
    std::string value;

    template <class F>
    std::string get(F compute) {
        token.callOnce([&] { value = compute(); });
        return value;
    }
    void reset() {
        token.reset();
        value.clear();
    }
};

CachedValue gOSVersion, gMachineId, gLanguage, gBundleVersion, gBuildNumber, gSubProduct;

std::mutex gSourceMutex;
// The machine's endpoint identifier from its shared file, unless a test
// installs another source.
StatPing::MachineIdSource gMachineIdSource = [] {
    return UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);
};

std::string infoString(std::string_view key, std::string_view missingMessage) {
    auto bundle = platform::Bundle::mainBundle();
    platform::Value v = bundle ? bundle->objectForInfoDictionaryKey(key) : platform::Value();
    if (v.isString()) return v.stringValue();
    pings::logToProcessLog(missingMessage);
    return {};
}

}  // namespace

std::string StatPing::languageNameFor(std::string_view language, std::string_view script,
                                      std::string_view country) {
    std::string lang(language);
    if (auto name = lookUp(lang)) return std::string(*name);
    if (!script.empty())
        if (auto name = lookUp(lang + "-" + std::string(script))) return std::string(*name);
    if (!country.empty())
        if (auto name = lookUp(lang + "_" + std::string(country))) return std::string(*name);
    return "English";
}

std::string StatPing::languageNameForLocale(std::string_view identifier) {
    // language[_-]Script?[_-]COUNTRY?[.codeset][@modifier]
    std::string_view modifier;
    if (auto at = identifier.find('@'); at != std::string_view::npos) {
        modifier = identifier.substr(at + 1);
        identifier = identifier.substr(0, at);
    }
    identifier = identifier.substr(0, identifier.find('.'));
    std::string language, script, country;
    std::size_t start = 0;
    for (int index = 0; start <= identifier.size() && index < 4; ++index) {
        std::size_t end = identifier.find_first_of("_-", start);
        std::string_view slice = identifier.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (index == 0) {
            for (char c : slice)
                language += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (slice.size() == 4 && script.empty() && country.empty()) {
            script += static_cast<char>(std::toupper(static_cast<unsigned char>(slice[0])));
            for (char c : slice.substr(1))
                script += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if ((slice.size() == 2 || slice.size() == 3) && country.empty()) {
            for (char c : slice)
                country += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (script.empty()) script = scriptForModifier(modifier);
    return languageNameFor(language, script, country);
}

std::string StatPing::currentLocaleIdentifier() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string_view v(value);
        if (v == "C" || v == "POSIX" || v.rfind("C.", 0) == 0) continue;
        return std::string(v);
    }
    return "en_US";
}

std::string StatPing::osVersion() {
    return gOSVersion.get(
        [] { return platform::systemReleaseValue("VERSION_ID").value_or("Unknown"); });
}

std::string StatPing::machineIdString() {
    return gMachineId.get([] {
        const char* id = nullptr;
        {
            std::lock_guard lock(gSourceMutex);
            if (gMachineIdSource) id = gMachineIdSource();
        }
        if (!id || !platform::unicode::isValidUTF8(id)) {
            pings::logToProcessLog("Failed to generate machine ID. Using default value (zero).");
            return std::string("0");
        }
        return std::string(id);
    });
}

void StatPing::setMachineIdSource(MachineIdSource source) {
    std::lock_guard lock(gSourceMutex);
    gMachineIdSource = std::move(source);
}

std::string StatPing::languageString() {
    return gLanguage.get([] { return languageNameForLocale(currentLocaleIdentifier()); });
}

std::string StatPing::bundleVersionString() {
    return gBundleVersion.get([] {
        return infoString("CFBundleShortVersionString",
                          "StatPing: CFBundleShortVersionString is NULL, Returning empty string");
    });
}

std::string StatPing::buildNumberString() {
    return gBuildNumber.get([] {
        return infoString("CFBundleVersion",
                          "StatPing: CFBundleVersion is NULL, returning empty string");
    });
}

std::string StatPing::subProductName() {
    return gSubProduct.get([] {
        return infoString("SubproductName",
                          "StatPing: SubproductName is NULL, returning empty string");
    });
}

void StatPing::resetCachedValuesForTesting() {
    for (CachedValue* v :
         {&gOSVersion, &gMachineId, &gLanguage, &gBundleVersion, &gBuildNumber, &gSubProduct})
        v->reset();
}
