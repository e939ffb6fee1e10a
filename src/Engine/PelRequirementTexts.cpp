// The user texts of failed requirements.
#include <algorithm>
#include <cctype>

#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelRequirement.h"
#include "Platform/Text/Format.h"

namespace {

constexpr const char* kTable = "SharedInstaller";
constexpr const char* kDefaultTable = "";

std::string lookUp(const platform::Bundle& bundle, const std::string& key, const char* table) {
    return bundle.localizedString(key, "", table);
}

std::optional<std::string> checkText(const PelRequirement& requirement, std::string_view key,
                                     std::optional<std::string> fallback = std::nullopt) {
    const platform::Value* value = requirement.icDic().get(key);
    if (!value) return fallback;
    return value->isString() ? value->stringValue() : value->description();
}

}  // namespace

std::string PelInstallAppUtilities::localizedStringForRequirement(
    const PelRequirement& requirement) {
    return localizedStringForRequirement(requirement, *platform::Bundle::mainBundle());
}

std::string PelInstallAppUtilities::localizedStringForRequirement(const PelRequirement& requirement,
                                                                  const platform::Bundle& bundle) {
    const auto& record = requirement.pelIE();
    std::string titleKey = record ? record->title() : std::string();
    std::string messageKey = record ? record->message() : std::string();
    std::string title, message;

    if (requirement.icType() == "Hardware") {
        title = lookUp(bundle, titleKey, kTable);
        message = lookUp(bundle, messageKey, kTable);
        if (title == titleKey || message == messageKey) {
            title = lookUp(bundle, titleKey, kDefaultTable);
            message = lookUp(bundle, messageKey, kDefaultTable);
        }
        platform::Value brandValue = bundle.objectForInfoDictionaryKey("PEL_BRAND");
        std::string brand =
            lookUp(bundle, brandValue.isString() ? brandValue.stringValue() : "Ostrel", kTable);
        auto sizeTitle = [&](const char* key, const char* fallback) {
            auto size = localizedMemoryString(*checkText(requirement, key, fallback), bundle);
            if (size) title = platform::format(title, *size, brand);
        };
        if (titleKey == "MIN_OS_title") {
            if (auto os = checkText(requirement, "MIN_OS")) title = platform::format(title, *os);
        } else if (titleKey == "MIN_MEMORY_ERROR_title") {
            sizeTitle("MIN_MEMORY", "512MB");
        } else if (titleKey == "MIN_DISK_SPACE_title") {
            sizeTitle("MIN_DISK_SPACE", "200MB");
        } else if (record && record->isWarning() && titleKey == "MIN_MEMORY_WARNING_title") {
            if (auto size =
                    localizedMemoryString(*checkText(requirement, "MIN_MEMORY", "2GB"), bundle)) {
                message = platform::format(message, *size);
                title = platform::format(title, *size);
            }
        }
    } else if (requirement.icType() == "InstallMatrix" &&
               checkText(requirement, "IMType") == "INSTALL_COMPETITIVE") {
        std::string nameKey = checkText(requirement, "Name").value_or("");
        title = lookUp(bundle, titleKey, kTable);
        message = lookUp(bundle, messageKey, kTable);
        std::string name = lookUp(bundle, nameKey, kTable);
        if (title == titleKey || message == messageKey) {
            title = lookUp(bundle, titleKey, kDefaultTable);
            message = lookUp(bundle, messageKey, kDefaultTable);
            name = lookUp(bundle, nameKey, kDefaultTable);
        }
        message = platform::format(message, name);
    } else {
        title = lookUp(bundle, titleKey, kDefaultTable);
        message = lookUp(bundle, messageKey, kDefaultTable);
    }
    return title + " " + message;
}

std::optional<std::string> PelInstallAppUtilities::localizedMemoryString(
    std::string_view size, const platform::Bundle& bundle) {
    std::string lower(size);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (auto [unit, format] : {std::pair{"gb", "%@ GB"}, std::pair{"mb", "%@ MB"}}) {
        auto at = lower.find(unit);
        if (at != std::string::npos)
            return platform::format(lookUp(bundle, format, kTable), lower.substr(0, at));
    }
    return std::nullopt;
}
