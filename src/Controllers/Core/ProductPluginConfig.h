// The maker's web endpoints and codes that the product plug-ins put in their
// links, in one place.
#pragma once

namespace productconfig {

/// Host of the help redirect endpoint (licence, privacy, notices and failure
/// help pages).
inline constexpr const char* kHelpRedirectHost = "redirect.pelgrave.com";
/// Host of the support landing endpoint (the Help menu's page).
inline constexpr const char* kSupportLandingHost = "support.pelgrave.com";
/// Product code of the third-party notices page.
inline constexpr const char* kNoticesProductCode = "ostrel-mac";
/// Product named on the support landing page.
inline constexpr const char* kSupportProductName = "Ostrel Security Mac";
/// Help identifier of the support landing page.
inline constexpr const char* kSupportHelpID = "hvk_mac_cs_install_tlw";

}  // namespace productconfig
