// The downloader as the screens see it: one signed manifest, its set-up
// file, the download of its packages and the copy of the manifest after an
// install. Production forwards to PelFSD; tests put a fake in its place.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class PelFSDProtocol;
class PelFSDPingUtils;

class FSDFacade {
  public:
    /// (success, path of the requirement list or none, path of the edition
    /// logo or none, error or null). Called once, on the main queue.
    using SetupCompletion = std::function<void(
        bool success, const std::optional<std::string>& requirementsPath,
        const std::optional<std::string>& logoPath, const platform::Error* error)>;

    /// Makes downloaders: (manifest path, signature path, download folder,
    /// delegate or null, ping sender or null, error out) -> downloader or null.
    using Factory = std::function<std::shared_ptr<FSDFacade>(
        const std::optional<std::string>& manifest, const std::optional<std::string>& signature,
        const std::string& downloadPath, PelFSDProtocol* delegate,
        const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error)>;

    virtual ~FSDFacade() = default;

    /// A downloader that has loaded and verified the manifest (it starts no
    /// transfer), or null with an "FSDErrorDomain" error, or, from a broken
    /// downloader, null with no error at all. The delegate is not owned and
    /// must outlive the downloader; its calls come on the main queue.
    static std::shared_ptr<FSDFacade> createFSD(const std::optional<std::string>& manifest,
                                                const std::optional<std::string>& signature,
                                                const std::string& downloadPath,
                                                PelFSDProtocol* delegate,
                                                const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                                                platform::Error* error);
    /// Replaces the factory (tests); null returns to the production one.
    static void setFactory(Factory factory);

    /// Starts fetching the manifest's set-up file; false (and no completion)
    /// when it cannot start.
    virtual bool performSetupInstallerFile(platform::Error* error, SetupCompletion completion) = 0;
    virtual void startFSDDownload() = 0;
    virtual void cancelFSDDownload() = 0;
    /// Keeps copies of the manifest and its signature in `folder`.
    virtual bool writeFSDInformation(const std::optional<std::string>& folder,
                                     platform::Error* error) = 0;
    /// The package descriptions of the packages unpacked so far
    /// (download()->packagePaths()).
    virtual platform::Array packagePaths() const = 0;

    /// The file names (inside the download folder) of the set-up file's
    /// requirement list and branding logo; none when the manifest has no
    /// set-up file or it names none.
    struct SetupFileNames {
        std::optional<std::string> reqsPlist;
        std::optional<std::string> brandingLogo;
    };
    virtual SetupFileNames setupInstallerFileNames() const { return {}; }
};

/// The production factory of this build, or null when it has none.
FSDFacade::Factory makeProductionFSDFactory();
