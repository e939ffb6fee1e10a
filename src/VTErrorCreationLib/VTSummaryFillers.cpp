#include "VTErrorCreationLib/VTSummaryFillers.h"

#include <pwd.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "Foundation/PelRegistry.h"
#include "Foundation/UnsecuredTelemetryInfo.h"
#include "Platform/Security/Crypto.h"
#include "Platform/System/OSRelease.h"
#include "Platform/System/Paths.h"
#include "Platform/System/UserAccount.h"

namespace {

// The application key of the machine UUID derived from /etc/machine-id.
constexpr std::array<std::uint8_t, 16> kMachineIdAppKey = {
    0x5e, 0x1b, 0x93, 0x0c, 0x7a, 0x44, 0x4f, 0x2d, 0xa8, 0x61, 0x3e, 0xd2, 0x9b, 0x07, 0xc5, 0x58};

std::mutex gCacheMutex;
std::optional<std::optional<std::string>> gProcessorDescription;

std::optional<std::string> readFile(std::string_view systemPath) {
    std::ifstream in(platform::Paths::resolve(systemPath), std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

std::string trim(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

// A usable locale name: not empty, not the C or POSIX locale.
bool usableLocale(std::string_view value) {
    return !value.empty() && value != "C" && value != "POSIX" && value.rfind("C.", 0) != 0;
}

std::string currentLocaleIdentifier() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && usableLocale(value)) return value;
    }
    return "en_US";
}

// The first language of a LANGUAGE list ("de:en") or a locale name.
std::optional<std::string> firstLanguage(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    std::string first = value->substr(0, value->find(':'));
    if (!usableLocale(first)) return std::nullopt;
    return first;
}

// LANGUAGE, else LANG, of a shell-style assignment file.
std::optional<std::string> languageOfLocaleFile(std::string_view systemPath) {
    auto text = readFile(systemPath);
    if (!text) return std::nullopt;
    for (const char* key : {"LANGUAGE", "LANG"})
        if (auto language = firstLanguage(platform::osReleaseValue(*text, key))) return language;
    return std::nullopt;
}

std::optional<std::string> userLanguage(std::uint32_t uid) {
    if (auto account = platform::userAccount(uid); account && !account->home.empty()) {
        if (auto language =
                languageOfLocaleFile(platform::Paths::join(account->home, ".config/locale.conf")))
            return language;
    }
    for (const char* name : {"LANGUAGE", "LANG"}) {
        const char* value = std::getenv(name);
        if (auto language = firstLanguage(value ? std::optional<std::string>(value) : std::nullopt))
            return language;
    }
    return std::nullopt;
}

// "de_DE.UTF-8@euro" -> "de_DE".
std::string icuLocaleName(const std::string& locale) {
    return locale.substr(0, locale.find_first_of(".@"));
}

std::string displayText(int32_t (*get)(const char*, const char*, UChar*, int32_t, UErrorCode*),
                        const std::string& locale) {
    UChar buffer[128];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = get(locale.c_str(), "en_US", buffer, 128, &status);
    if (U_FAILURE(status) || length <= 0) return {};
    // English display names are ASCII or Latin; encode as UTF-8.
    std::string out;
    for (int32_t i = 0; i < length && i < 128; ++i) {
        const UChar c = buffer[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::array<std::uint8_t, 32> hmacSha256(const std::uint8_t* key, std::size_t keyLength,
                                        const std::string& message) {
    std::array<std::uint8_t, 64> block{};
    for (std::size_t i = 0; i < keyLength && i < block.size(); ++i) block[i] = key[i];
    std::vector<std::uint8_t> inner(64 + message.size());
    for (std::size_t i = 0; i < 64; ++i) inner[i] = block[i] ^ 0x36;
    std::copy(message.begin(), message.end(), inner.begin() + 64);
    const auto innerHash = platform::sha256(inner.data(), inner.size());
    std::array<std::uint8_t, 96> outer{};
    for (std::size_t i = 0; i < 64; ++i) outer[i] = block[i] ^ 0x5c;
    std::copy(innerHash.begin(), innerHash.end(), outer.begin() + 64);
    return platform::sha256(outer.data(), outer.size());
}

VTUUID machineUUID() {
    if (auto text = readFile("/sys/class/dmi/id/product_uuid"))
        if (auto uuid = VTUUID::initWithUUIDString(trim(*text))) return *uuid;
    if (auto text = readFile("/etc/machine-id"))
        if (auto uuid = vtsystem::uuidFromMachineId(*text)) return *uuid;
    return VTUUID(VTUUID::Bytes{});
}

struct CpuInfo {
    std::optional<std::string> brand;
    std::optional<int> family, model, stepping;
    int cores = 0;
};

CpuInfo readCpuInfo() {
    CpuInfo info;
    auto text = readFile("/proc/cpuinfo");
    if (!text) return info;
    std::set<std::pair<std::string, std::string>> cores;
    int processors = 0;
    std::string physical, core;
    std::istringstream lines(*text);
    std::string line;
    auto finishProcessor = [&] {
        if (!core.empty()) cores.emplace(physical, core);
        physical.clear();
        core.clear();
    };
    while (std::getline(lines, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = trim(std::string_view(line).substr(0, colon));
        const std::string value = trim(std::string_view(line).substr(colon + 1));
        auto number = [&]() -> std::optional<int> {
            if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])))
                return std::nullopt;
            return std::atoi(value.c_str());
        };
        if (key == "processor") {
            finishProcessor();
            ++processors;
        } else if (key == "physical id") {
            physical = value;
        } else if (key == "core id") {
            core = value;
        } else if (key == "model name" && !info.brand) {
            info.brand = value;
        } else if (key == "cpu family" && !info.family) {
            info.family = number();
        } else if (key == "model" && !info.model) {
            info.model = number();
        } else if (key == "stepping" && !info.stepping) {
            info.stepping = number();
        }
    }
    finishProcessor();
    info.cores = !cores.empty() ? static_cast<int>(cores.size()) : processors;
    return info;
}

}  // namespace

namespace vtsystem {

LocaleFacts localeFacts(const std::string& locale) {
    LocaleFacts facts;
    const std::string name = icuLocaleName(locale);
    facts.windowsLocaleId = static_cast<int>(uloc_getLCID(name.c_str()));
    char tag[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = uloc_toLanguageTag(name.c_str(), tag, sizeof tag, false, &status);
    if (U_SUCCESS(status) && length > 0)
        facts.languageTag.assign(tag, static_cast<std::size_t>(length));
    facts.languageName = displayText(uloc_getDisplayLanguage, name);
    facts.countryName = displayText(uloc_getDisplayCountry, name);
    return facts;
}

std::optional<VTUUID> uuidFromMachineId(const std::string& text) {
    const std::string id = trim(text);
    if (id.size() != 32) return std::nullopt;
    for (char c : id)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    const auto digest = hmacSha256(kMachineIdAppKey.data(), kMachineIdAppKey.size(), id);
    VTUUID::Bytes bytes{};
    std::copy(digest.begin(), digest.begin() + 16, bytes.begin());
    // A version-4, RFC 4122 variant UUID, as the machine-id rules ask of
    // identifiers derived from it.
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return VTUUID(bytes);
}

}  // namespace vtsystem

bool VTFillProductSummaryProperties(VTErrorProperties& record) {
    try {
        PelRegistry::Registry* registry = PelRegistry::Registry::get();
        record.setClientVersion(std::string(VTClientVersionString));
        if (!registry) return false;
        // An empty registry hands out no array: no product, the defaults.
        PelRegistry::Module** modules = nullptr;
        const unsigned count = registry->copyModules(&modules);
        record.setProductBuildName(std::string("Pelgrave"));
        record.setProductLayoutType(std::string("Retail"));
        bool first = true;
        for (unsigned i = 0; i < count; ++i) {
            PelRegistry::Module* module = modules[i];
            const auto type = module->getType();
            auto* product = dynamic_cast<PelRegistry::Product*>(module);
            if ((type == PelRegistry::kModuleTypeProduct ||
                 type == PelRegistry::kModuleTypeSuite) &&
                product) {
                if (PelRegistry::Layout* layout = product->copyLayout()) {
                    if (first) {
                        first = false;
                        std::unique_ptr<std::string> name(layout->copyName());
                        if (name) record.setProductName(*name);
                        if (const std::string* version = layout->getVersion())
                            record.setProductVersion(*version);
                        if (const std::string* language = product->getLanguage())
                            record.setProductLanguages(platform::Array{platform::Value(*language)});
                    }
                    if (const std::string* build = layout->getBuildName())
                        record.setProductBuildName(*build);
                    if (const std::string* channel = layout->getChannel())
                        record.setProductLayoutType(*channel);
                    layout->Release();
                }
            }
        }
        for (unsigned i = 0; i < count; ++i) modules[i]->Release();
        delete[] modules;
        return true;
    } catch (...) {
        return false;
    }
}

void VTCacheProcessorDescription() {
    std::lock_guard<std::mutex> lock(gCacheMutex);
    if (gProcessorDescription) return;
    const CpuInfo info = readCpuInfo();
    std::optional<std::string> description;
    if (info.family && info.model && info.stepping) {
        char text[96];
        std::snprintf(text, sizeof text, "x86 Family %d Model %d Stepping %d", *info.family,
                      *info.model, *info.stepping);
        description = text;
    }
    gProcessorDescription = description;
}

std::optional<std::string> VTProcessorDescription() {
    VTCacheProcessorDescription();
    std::lock_guard<std::mutex> lock(gCacheMutex);
    return *gProcessorDescription;
}

void VTResetSystemSummaryCacheForTesting() {
    std::lock_guard<std::mutex> lock(gCacheMutex);
    gProcessorDescription.reset();
}

bool VTFillSystemSummaryProperties(VTErrorProperties& record) {
    // Linux has no server edition of the desktop system.
    record.setOsXServer(false);
    record.setOsVersion(platform::systemReleaseValue("VERSION_ID"));
    record.setOsBuild(platform::systemReleaseValue("BUILD_ID"));

    const std::string locale = currentLocaleIdentifier();
    std::optional<std::string> language;
    if (record.processUID() != 0) language = userLanguage(record.processUID());
    if (!language) language = languageOfLocaleFile("/etc/default/locale");

    const vtsystem::LocaleFacts facts = vtsystem::localeFacts(locale);
    record.setWindowsLocaleId(facts.windowsLocaleId);
    if (!facts.languageTag.empty()) record.setLocaleName(facts.languageTag);
    if (language) {
        const std::string name = displayText(uloc_getDisplayLanguage, icuLocaleName(*language));
        if (!name.empty()) record.setLanguage(name);
    }
    if (!facts.countryName.empty()) record.setCountry(facts.countryName);

    record.setMachineId(machineUUID());
    record.setMid(std::nullopt);
    if (const char* endpoint = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr))
        record.setMid(VTUUID::initWithUUIDString(endpoint));

    record.setProcessorName(VTProcessorDescription());
    const CpuInfo info = readCpuInfo();
    record.setProcessorCount(info.cores > 0 ? info.cores : 1);
    record.setProcessorBrandString(info.brand.value_or("Unknown"));
    auto product = readFile("/sys/class/dmi/id/product_name");
    const std::string productName = product ? trim(*product) : std::string();
    record.setSystemProductName(productName.empty() ? std::string("Unknown") : productName);
    return true;
}
