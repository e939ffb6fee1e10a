// Administrator authorisation and the blessing of privileged helper tools.
// The utilities decide nothing: they hand back the authoriser's status and
// the blessing's result.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Platform/System/Authorization.h"
#include "Platform/Values/Error.h"

inline constexpr const char* kPelBlessHelperRight = "com.apple.ServiceManagement.blesshelper";
inline constexpr const char* kPelModifyDaemonsRight = "com.apple.ServiceManagement.daemons.modify";

class HelperToolUtils {
  public:
    static HelperToolUtils& sharedHelperUtils();

    /// The authoriser asked (the process-wide one unless set; null restores it).
    void setAuthoriser(std::shared_ptr<platform::Authoriser> authoriser);
    std::shared_ptr<platform::Authoriser> authoriser() const;

    /// The request for `right`: the prompt ("\n" appended unless it ends
    /// with one) and the icon path as environment items, in that order; no
    /// environment when there are neither; flags 0x13.
    static platform::AuthorizationRequest authorizationRequest(
        const std::string& right, const std::optional<std::string>& prompt,
        const std::optional<std::string>& icon);

    platform::OSStatus getAuthRef(platform::AuthorizationRef* out,
                                  const std::optional<std::string>& prompt,
                                  const std::optional<std::string>& icon);
    platform::OSStatus getAuthRef(platform::AuthorizationRef* out) {
        return getAuthRef(out, std::nullopt, std::nullopt);
    }
    platform::OSStatus getAuthRefToModifyDaemon(platform::AuthorizationRef* out,
                                                const std::optional<std::string>& prompt,
                                                const std::optional<std::string>& icon);
    platform::OSStatus getAuthRefToModifyDaemon(platform::AuthorizationRef* out) {
        return getAuthRefToModifyDaemon(out, std::nullopt, std::nullopt);
    }

    /// Blesses the helper `label` into the system domain.
    bool launchHelperTool(const std::string& label, platform::Error* error,
                          const platform::AuthorizationRef& authorization);
    /// Removes the job `label` from the system domain and waits for it.
    bool shutdownDaemon(const std::string& label, platform::Error* error,
                        const platform::AuthorizationRef& authorization);
    /// Frees a non-null reference (destroying its rights) and nulls it.
    void freeAuth(platform::AuthorizationRef* authorization);

  private:
    std::shared_ptr<platform::Authoriser> authoriser_;
};
