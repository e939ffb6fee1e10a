// The upgrade rules: which of the maker's installed products must be removed
// before the product on offer is installed, whether the installed product is
// newer than the offered one, and whether the computer must restart before
// the removal.
//
// The rules keep no state (besides the once-computed isInstallerQRB()); they
// read the offered product's version and SKU from the install facade's
// requirement container and the installed products from the registry.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

class PelRequirement;

namespace HVKProducts {
inline constexpr const char* kBrenmoor = "com.pelgrave.brenmoor";
inline constexpr const char* kBrenmoorBeta = "com.pelgrave.brenmoor-beta";
inline constexpr const char* kQuillonby = "com.pelgrave.quillonby";
inline constexpr const char* kQuillonbyTrial = "com.pelgrave.quillonby-trial";
inline constexpr const char* kCalderwick = "com.pelgrave.calderwick";
inline constexpr const char* kTessvale = "com.pelgrave.tessvale";
inline constexpr const char* kRowanfield = "com.pelgrave.rowanfield";
inline constexpr const char* kFennick = "com.pelgrave.fennick";
inline constexpr const char* kHarrowgate = "com.pelgrave.harrowgate";
inline constexpr const char* kOrrindale = "com.pelgrave.orrindale";
inline constexpr const char* kLunmark = "com.pelgrave.lunmark";
}  // namespace HVKProducts

class HVKUpgradeHelper {
  public:
    using Requirements = std::vector<std::shared_ptr<PelRequirement>>;

    /// Runs `requirements` in order and applies the rules to the failed ones.
    /// True when nothing is to be removed and nothing blocks. When products
    /// are to be removed and `productsToUninstall` is given, it receives them
    /// (each once, in the order first added). `isNewerVersion` and
    /// `rebootRequired` may be null. `failedReq`, when given, receives the
    /// requirement that blocks because the installed product is newer.
    /// Before the install facade has a requirement container nothing is
    /// decided: the call is logged and answers true.
    static bool productsToUninstall(const Requirements& requirements,
                                    std::optional<std::vector<std::string>>* productsToUninstall,
                                    bool* isNewerVersion, bool* rebootRequired,
                                    std::shared_ptr<PelRequirement>* failedReq);

    /// Whether the requirement list's "Layout" is "GenericQRB"; worked out
    /// once per process (resetInstallerQRB() forgets it, for tests).
    static bool isInstallerQRB();
    static void resetInstallerQRB();

    /// Whether the installed Brenmoor is the QRB edition.
    static bool isQRB();
    /// Whether the installed Brenmoor's layout name contains this installer's
    /// product name (less " for Mac"). An unknown or empty name: false.
    static bool isSameQRBLayoutInstalled();

    /// The installed version as "major.minor.build" for comparison: a part
    /// that the version leaves out counts as 0; a text outside the version
    /// grammar is returned unchanged, and no version is "0".
    static std::string comparableVersion(const std::optional<std::string>& installed);
};
