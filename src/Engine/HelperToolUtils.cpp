#include "Engine/HelperToolUtils.h"

#include "Platform/System/ServiceManagement.h"

HelperToolUtils& HelperToolUtils::sharedHelperUtils() {
    static HelperToolUtils* utils = new HelperToolUtils();
    return *utils;
}

void HelperToolUtils::setAuthoriser(std::shared_ptr<platform::Authoriser> authoriser) {
    authoriser_ = std::move(authoriser);
}

std::shared_ptr<platform::Authoriser> HelperToolUtils::authoriser() const {
    return authoriser_ ? authoriser_ : platform::defaultAuthoriser();
}

platform::AuthorizationRequest HelperToolUtils::authorizationRequest(
    const std::string& right, const std::optional<std::string>& prompt,
    const std::optional<std::string>& icon) {
    platform::AuthorizationRequest request;
    request.rights.push_back({right, "", 0});
    std::vector<platform::AuthorizationItem> environment;
    if (prompt) {
        std::string text = *prompt;
        if (text.empty() || text.back() != '\n') text += '\n';
        environment.push_back({"prompt", text, 0});
    }
    if (icon) environment.push_back({"icon", *icon, 0});
    if (!environment.empty()) request.environment = std::move(environment);
    request.flags = platform::kAuthorizationFlagInteractionAllowed |
                    platform::kAuthorizationFlagExtendRights |
                    platform::kAuthorizationFlagPreAuthorize;
    return request;
}

platform::OSStatus HelperToolUtils::getAuthRef(platform::AuthorizationRef* out,
                                               const std::optional<std::string>& prompt,
                                               const std::optional<std::string>& icon) {
    return authoriser()->createAuthorization(
        authorizationRequest(kPelBlessHelperRight, prompt, icon), out);
}

platform::OSStatus HelperToolUtils::getAuthRefToModifyDaemon(
    platform::AuthorizationRef* out, const std::optional<std::string>& prompt,
    const std::optional<std::string>& icon) {
    return authoriser()->createAuthorization(
        authorizationRequest(kPelModifyDaemonsRight, prompt, icon), out);
}

bool HelperToolUtils::launchHelperTool(const std::string& label, platform::Error* error,
                                       const platform::AuthorizationRef& authorization) {
    return platform::SMJobBless(platform::kSMDomainSystemLaunchd, label, authorization, error);
}

bool HelperToolUtils::shutdownDaemon(const std::string& label, platform::Error* error,
                                     const platform::AuthorizationRef& authorization) {
    return platform::SMJobRemove(platform::kSMDomainSystemLaunchd, label, authorization, true,
                                 error);
}

void HelperToolUtils::freeAuth(platform::AuthorizationRef* authorization) {
    if (!authorization || !*authorization) return;
    authoriser()->freeAuthorization(std::move(*authorization),
                                    platform::kAuthorizationFlagDestroyRights);
    *authorization = nullptr;
}
