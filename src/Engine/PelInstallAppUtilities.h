// Where the installation's inputs are: the signed download manifest of a
// download-based installation, the base packages and the requirement list,
// and the user texts of failed requirements.
//
// The manifest search runs once, when the shared instance is made; its result
// decides the flow: with a manifest and its signature the packages are
// downloaded first, without them the bundle's packages are installed.
//
// Thread safety: the properties are guarded and may be read from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/System/Bundle.h"

class PelRequirement;

class PelInstallAppUtilities {
  public:
    using OptionalPath = std::optional<std::string>;

    /// The shared instance for the main bundle, made (and the manifest
    /// searched for) once per process, safely from any thread. Null after
    /// resetInstance(): the set-up does not run again.
    static std::shared_ptr<PelInstallAppUtilities> sharedUtilities();
    /// Drops the shared instance for good.
    static void resetInstance();
    /// Puts `utilities` in place of the shared instance (tests).
    static void replaceInstance(std::shared_ptr<PelInstallAppUtilities> utilities);

    /// Where the search reads a file's creation time (seconds since 1970).
    using CreationDateSource = std::function<std::optional<double>(const std::string& path)>;
    /// Replaces the file system's creation times (tests); null restores them.
    static void setCreationDateSource(CreationDateSource source);

    /// An instance for `bundle` (the application bundle); runs the manifest
    /// search now.
    explicit PelInstallAppUtilities(std::shared_ptr<const platform::Bundle> bundle);

    /// "<F>/.fsd/fsdmanifest.js", or nothing when no manifest was found.
    OptionalPath manifestPath() const;
    /// "<F>/.fsd/fsdmanifest-sig.txt", or nothing.
    OptionalPath sigPath() const;
    /// The installer folders found in Downloads, "<name>_<created>_<id>"
    /// joined by ","; nothing when that search did not run.
    OptionalPath installerDirWithManifestTimeStamp() const;
    /// Whether both the manifest and its signature were found.
    bool isFSDBasedInstall() const;

    /// The folder of the base packages.
    std::string basePkgDir() const;
    /// The path of the base package, or nothing when no file exists there.
    OptionalPath basePkgPath(const std::string& name) const;

    /// The stored requirement-list path, or the bundle's
    /// "PelSupportFolder/Requirements.plist"; nothing when no file exists
    /// there. The answer is stored, so a stored path whose file has gone is
    /// forgotten.
    OptionalPath pathToRequirementsPlist();
    void setPathToRequirementsPlist(OptionalPath path);

    /// The user text of a failed requirement: its title and message looked
    /// up in `bundle`'s tables and filled in, joined by a blank.
    static std::string localizedStringForRequirement(const PelRequirement& requirement,
                                                     const platform::Bundle& bundle);
    static std::string localizedStringForRequirement(const PelRequirement& requirement);
    /// The "%@ GB" or "%@ MB" text for a size text ("512MB"), or nothing when
    /// it has neither unit.
    static OptionalPath localizedMemoryString(std::string_view size,
                                              const platform::Bundle& bundle);

    /// Whether both files exist.
    static bool doesManifestExist(const OptionalPath& manifest, const OptionalPath& signature);
    /// Searches `downloads` for the newest "Install <product>….localized"
    /// folder holding both manifest files, filling the two paths when one is
    /// found, and records the installer-folder stamp.
    void searchForLatestManifest(const std::string& downloads, const std::string& productName,
                                 OptionalPath* manifest, OptionalPath* signature);
    /// The first copy among `registeredCopies` (application bundle paths, in
    /// the system's order) whose Info.plist equals `running`'s and whose
    /// folder holds both manifest files.
    static bool isManifestExistsGreater10_11(const std::vector<std::string>& registeredCopies,
                                             const platform::Bundle& running,
                                             OptionalPath* manifest, OptionalPath* signature);
    /// The first folder in the user's Downloads folder holding both manifest
    /// files. False when none does or the folder cannot be listed.
    static bool isManifestExistsLesser10_11(OptionalPath* manifest, OptionalPath* signature);

  private:
    void searchManifest();

    std::shared_ptr<const platform::Bundle> bundle_;
    mutable std::mutex mutex_;
    OptionalPath manifestPath_;
    OptionalPath sigPath_;
    OptionalPath stamp_;
    OptionalPath requirementsPath_;
};
