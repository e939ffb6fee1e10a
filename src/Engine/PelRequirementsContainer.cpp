#include "Engine/PelRequirementsContainer.h"

#include <algorithm>
#include <cctype>

#include "Controllers/IFPluginProtocol.h"
#include "Engine/PelInstallError.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelPathUtils.h"
#include "Platform/Values/PropertyList.h"

namespace {

std::optional<std::string> stringValue(const platform::Dictionary& dict, std::string_view key) {
    auto it = dict.find(key);
    if (it == dict.end() || !it->second.isString()) return std::nullopt;
    return it->second.stringValue();
}

std::optional<std::string> stringValue(const platform::Value& value, std::string_view key) {
    const platform::Value* found = value.get(key);
    if (!found || !found->isString()) return std::nullopt;
    return found->stringValue();
}

}  // namespace

std::shared_ptr<PelRequirementsContainer> PelRequirementsContainer::createContainerWithRequirements(
    const std::optional<std::string>& path, platform::Error* error) {
    if (!path) {
        platform::setError(error,
                           PelMakeInstallError(kPelErrRequirementsPathNil,
                                               "Failed to create container with requirements. "
                                               "RequirementsPlistPath is nil"));
        return nullptr;
    }
    if (!PelPathUtils::sharedPathUtils().fileExistsAtPath(path)) {
        platform::setError(
            error, PelMakeInstallError(kPelErrRequirementsPathMissing,
                                       platform::format("Failed to create container with "
                                                        "requirements. RequirementsPlistPath "
                                                        "does not exist at path: %@",
                                                        *path)));
        return nullptr;
    }
    auto container = std::make_shared<PelRequirementsContainer>();
    if (auto list = platform::PropertyList::dictionaryWithContentsOfFile(*path)) {
        auto entries = list->find("Requirements");
        if (entries != list->end()) container->requirements_ = gatherRequirements(entries->second);
        container->productName_ = stringValue(*list, "PRODUCT_NAME");
        container->pingProductName_ = stringValue(*list, "PING_PRODUCT_NAME");
        container->productVersion_ = stringValue(*list, "PRODUCT_VERSION");
        container->skuID_ = stringValue(*list, "SKU_ID");
        container->productID_ = stringValue(*list, "PRODUCT_ID");
        container->layout_ = stringValue(*list, "Layout");
    }
    if (!container->productName_ || !container->productVersion_ || !container->productID_) {
        platform::setError(error,
                           PelMakeInstallError(kPelErrRequirementsUnreadable,
                                               "Failed to create container with requirements. "
                                               "Unable to load requirements plist"));
        return nullptr;
    }
    return container;
}

PelRequirementsContainer::Requirements PelRequirementsContainer::gatherRequirements(
    const platform::Value& entries) {
    Requirements requirements;
    const platform::Array* list = entries.asArray();
    if (!list) return requirements;
    for (const platform::Value& entry : *list) {
        std::string handler = getHandler(entry.get("Handler"));
        std::optional<std::string> type = installCheckType(entry);
        const platform::Value* check = type ? entry.get(*type) : nullptr;
        platform::Value icDic = check ? *check : platform::Value();

        platform::Error recordError;
        std::shared_ptr<PelIE> record;
        if (const platform::Value* ie = entry.get("PelIE"))
            record = createPelIE(*ie, &recordError);
        else
            record = createPelIEWithICType(type, icDic, &recordError);
        if (!record && !recordError.empty()) {
            PelLogging::logErrorMessageWithFormat(
                "%s: Unable to create PelIE. Error Domain:%@ userInfo:%@", __func__,
                recordError.domain(), platform::Value(recordError.userInfo()));
        }

        const platform::Value* skip = entry.get("SkipReqID");
        const platform::Value* reqID = entry.get("ReqID");
        platform::Error error;
        auto requirement = PelRequirement::createRequirement(
            handler, record, skip ? *skip : platform::Value(), type,
            reqID ? *reqID : platform::Value(), icDic, &error);
        if (!requirement) {
            PelLogging::logErrorMessageWithFormat(
                "Unable to create Requirement:%@ Error occurred:\nError Domain:%@\nError "
                "userInfo:%@",
                entry, error.domain(), platform::Value(error.userInfo()));
            continue;
        }
        requirements.push_back(std::move(requirement));
    }
    return requirements;
}

std::optional<std::string> PelRequirementsContainer::installCheckType(
    const platform::Value& entry) {
    for (const char* type : {"Hardware", "InstallMatrix", "PartialInstall", "PathCheck", "Misc"}) {
        if (entry.get(type)) return std::string(type);
    }
    return std::nullopt;
}

std::string PelRequirementsContainer::getHandler(const platform::Value* handler) {
    if (!handler || !handler->isString()) return "APP";
    std::string text = handler->stringValue();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text == "plugin" ? "PLUGIN" : "APP";
}

std::shared_ptr<PelIE> PelRequirementsContainer::createPelIE(const platform::Value& record,
                                                             platform::Error* error) {
    return PelIE::createPelIE(stringValue(record, "title"), stringValue(record, "message"),
                              stringValue(record, "type"), error);
}

std::shared_ptr<PelIE> PelRequirementsContainer::createPelIEWithICType(
    const std::optional<std::string>& icType, const platform::Value& icDic,
    platform::Error* error) {
    if (icType != "Hardware") return nullptr;
    return PelIE::createPelIEWithHardwareDic(icDic, error);
}

bool PelRequirementsContainer::runRequirements(std::shared_ptr<PelRequirement>* outRequirement,
                                               IFPluginProtocol* plugin) {
    if (requirements_.empty()) return true;
    Requirements hardware, pluginGroup, competitive, rest;
    for (const auto& requirement : requirements_) {
        if (requirement->handler() == "PLUGIN") {
            pluginGroup.push_back(requirement);
        } else if (!requirement->isAppHandler()) {
            continue;
        } else if (requirement->icType() == "Hardware") {
            hardware.push_back(requirement);
        } else if (requirement->icType() == "InstallMatrix" &&
                   stringValue(requirement->icDic(), "IMType") == "INSTALL_COMPETITIVE") {
            competitive.push_back(requirement);
        } else {
            rest.push_back(requirement);
        }
    }
    if (!runRequirements(hardware, outRequirement)) {
        PelLogging::logDebugMessage("Hardware Requirements have failed");
        return false;
    }
    if (!runRequirements(competitive, outRequirement)) {
        PelLogging::logDebugMessage("Competitive Requirements have failed");
        return false;
    }
    if (plugin && !pluginGroup.empty() &&
        plugin->respondsTo(IFPluginOperation::runRequirementsWithPlugin) &&
        !plugin->runRequirementsWithPlugin(pluginGroup)) {
        PelLogging::logDebugMessage("One or more Plugin Requirements has failed.");
        return false;
    }
    if (!runRequirements(rest, outRequirement)) {
        PelLogging::logDebugMessage("App Requirements have failed");
        return false;
    }
    return true;
}

bool PelRequirementsContainer::runRequirements(const Requirements& group,
                                               std::shared_ptr<PelRequirement>* outRequirement) {
    for (const auto& requirement : group) {
        if (shouldSkipRequirement(requirement->reqID())) {
            PelLogging::logDebugMessageWithFormat("Requirement Skipped:%@", requirement->reqID());
            continue;
        }
        if (!requirement->isAppHandler()) continue;
        if (!requirement->runRequirement()) {
            PelLogging::logErrorMessageWithFormat("Failed Requirement:\n%@",
                                                  requirement->toString());
            if (requirement->pelIE() && requirement->pelIE()->isWarning()) {
                PelLogging::logDebugMessageWithFormat("Adding Requirement to be Skipped:%@",
                                                      requirement->reqID());
                addSkipReqID(requirement->reqID());
            }
            if (outRequirement) *outRequirement = requirement;
            return false;
        }
        PelLogging::logDebugMessageWithFormat("Passed Requirement\n%@", requirement->toString());
        if (!requirement->skipReqID().isNull()) addSkipReqID(requirement->skipReqID());
    }
    return true;
}

void PelRequirementsContainer::addSkipReqID(const platform::Value& identifier) {
    if (identifier.isNull() || shouldSkipRequirement(identifier)) return;
    skipTable_.push_back(identifier);
}

bool PelRequirementsContainer::shouldSkipRequirement(const platform::Value& identifier) const {
    return std::find(skipTable_.begin(), skipTable_.end(), identifier) != skipTable_.end();
}

void PelRequirementsContainer::updateSkipRequirementTableForRequirement(
    const PelRequirement& requirement) {
    if (requirement.skipReqID().isNull()) return;
    PelLogging::logDebugMessageWithFormat("Adding Requirement to be Skipped:%@",
                                          requirement.skipReqID());
    addSkipReqID(requirement.skipReqID());
}
