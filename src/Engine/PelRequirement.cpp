#include "Engine/PelRequirement.h"

#include "Engine/PelInstallError.h"
#include "Engine/PelRequirementKinds.h"
#include "Platform/Text/Format.h"

std::shared_ptr<PelIE> PelIE::createPelIE(const std::optional<std::string>& title,
                                          const std::optional<std::string>& message,
                                          const std::optional<std::string>& type,
                                          platform::Error* error) {
    if (!title || !message || !type) {
        platform::setError(error, PelMakeInstallError(
                                      kPelErrPelIEIncomplete,
                                      "Error Occured:PelIE title or message or TypeString is nil"));
        return nullptr;
    }
    return std::make_shared<PelIE>(*title, *message, pelIEType(*type));
}

std::shared_ptr<PelIE> PelIE::createPelIEWithHardwareDic(const platform::Value& hardware,
                                                         platform::Error* error) {
    static const struct {
        const char* key;
        const char* title;
        const char* message;
    } kDefaults[] = {
        {"MIN_OS", "MIN_OS_title", "MIN_OS_body"},
        {"MAX_OS", "MAX_OS_title", "MAX_OS_body"},
        {"MIN_MEMORY", "MIN_MEMORY_ERROR_title", "MIN_MEMORY_ERROR_body"},
        {"MIN_DISK_SPACE", "MIN_DISK_SPACE_title", "MIN_DISK_SPACE_body"},
    };
    for (const auto& entry : kDefaults) {
        if (hardware.get(entry.key))
            return std::make_shared<PelIE>(entry.title, entry.message, "ERROR");
    }
    platform::setError(error,
                       PelMakeInstallError(kPelErrPelIEIncomplete,
                                           "Unable to create PelIE With Hardware Dictionary"));
    return nullptr;
}

std::string PelIE::pelIEType(std::string_view text) {
    return text == "WARNING" ? "WARNING" : "ERROR";
}

std::shared_ptr<PelRequirement> PelRequirement::createRequirement(
    const std::string& handler, std::shared_ptr<PelIE> pelIE, const platform::Value& skipReqID,
    const std::optional<std::string>& icType, const platform::Value& reqID,
    const platform::Value& icDic, platform::Error* error) {
    auto fail = [error](long code, const char* message) {
        platform::setError(error, PelMakeInstallError(code, message));
        return nullptr;
    };
    if (!icType)
        return fail(kPelErrInstallCheckTypeEmpty,
                    "install check type is empty. Requirement could not be created.");
    if (reqID.isNull())
        return fail(kPelErrRequirementIDMissing, "Requirement is missing a requirementID");
    std::shared_ptr<PelRequirement> requirement;
    if (*icType == "Hardware") {
        requirement = std::make_shared<PelHardwareRequirement>();
    } else if (*icType == "InstallMatrix") {
        requirement = std::make_shared<PelInstallMatrixRequirement>();
    } else if (*icType == "PartialInstall") {
        requirement = std::make_shared<PelPartialInstallRequirement>();
    } else if (*icType == "PathCheck") {
        requirement = std::make_shared<PelPathCheckRequirement>();
    } else if (*icType == "Misc") {
        requirement = std::make_shared<PelMiscRequirement>();
    } else {
        return fail(
            kPelErrInstallCheckTypeInvalid,
            "No valid install check type was specified in the requirement. Requirement could "
            "not be created");
    }
    if (handler == "APP" && !pelIE)
        return fail(
            kPelErrPelIEMissing,
            "No valid PelIE was found in the requirement. Requirement could not be created");
    if (icDic.isNull())
        return fail(
            kPelErrInstallCheckValueMissing,
            "No valid install check dictionary was specified in the requirement. Requirement "
            "could not be created");
    requirement->handler_ = handler;
    requirement->pelIE_ = std::move(pelIE);
    requirement->icType_ = *icType;
    requirement->icDic_ = icDic;
    requirement->reqID_ = reqID;
    requirement->skipReqID_ = skipReqID;
    return requirement;
}

std::string PelRequirement::toString() const {
    std::string record = pelIE_ ? pelIE_->toString() : std::string("(null)");
    return platform::format(
        "Requirement Type:%@\nRequirement Dictionary%@\nRequirement Install Exception;%@", handler_,
        icDic_, record);
}
