// The downloader facade: the one object through which the screens use the
// downloader.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Downloader/FSDDownload.h"
#include "Downloader/FSDManifest.h"
#include "Downloader/PelFSDPingUtils.h"
#include "Downloader/PelFSDProtocol.h"
#include "Platform/Values/Error.h"

/// Checks and parses the manifest, makes the driver for its job, and starts,
/// cancels and feeds the download. Called on the main thread; the driver's
/// delegate calls arrive on the main queue.
class PelFSD {
  public:
    /// From the manifest and signature files. Null with -97 "Unable to create
    /// a valid fsd manifest object" (the manifest's error underneath) or -91
    /// "Unable to create a valid fsd download object" (the driver's error
    /// underneath).
    static std::shared_ptr<PelFSD> createFSD(const std::optional<std::string>& manifestPath,
                                             const std::optional<std::string>& sigPath,
                                             const std::string& downloadPath,
                                             PelFSDDelegateRef delegate,
                                             const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                                             platform::Error* error);
    /// The same from bytes; the facade then has no manifest path.
    static std::shared_ptr<PelFSD> createFSDWithData(
        const std::optional<platform::Data>& manifestData,
        const std::optional<platform::Data>& sigData, const std::string& downloadPath,
        PelFSDDelegateRef delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
        platform::Error* error);
    /// The common constructor: bytes, when both are given, win over paths.
    static std::shared_ptr<PelFSD> createFSD(const std::optional<std::string>& manifestPath,
                                             const std::optional<std::string>& sigPath,
                                             const std::optional<platform::Data>& manifestData,
                                             const std::optional<platform::Data>& sigData,
                                             const std::string& downloadPath,
                                             PelFSDDelegateRef delegate,
                                             const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                                             platform::Error* error);
    /// Without a manifest. Null with -86 "fsdJobs paramerter cannot be empty"
    /// or -91 as above.
    static std::shared_ptr<PelFSD> createFSDWithJobArray(
        const std::vector<PelFSDJobPtr>* jobs, const std::string& downloadPath,
        PelFSDDelegateRef delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
        platform::Error* error);

    void startFSDDownload();
    void cancelFSDDownload();
    /// Fetches the manifest's setup-installer file (see
    /// FSDDownload::downloadSetupInstallerFile()).
    bool performSetupInstallerFile(platform::Error* error,
                                   FSDDownload::SetupInstallerCompletion completion);

    /// Replaces the folder `folder` with one holding copies of the manifest
    /// and its signature under their own names. The files are read before
    /// anything is removed; the folder is removed without following links;
    /// "/" and the home folder are refused. A facade without a manifest path
    /// removes the folder and answers false. False with an error when a file
    /// cannot be read or written.
    bool writeFSDInformation(const std::optional<std::string>& folder, platform::Error* error);
    /// The same into the download folder.
    bool writeFSDInformationWithError(platform::Error* error);

    const std::optional<std::string>& failOverURL() const;

    const FSDManifestPtr& manifest() const { return manifest_; }
    const FSDDownloadPtr& download() const { return download_; }
    std::shared_ptr<PelFSDPingUtils> pingUtils() const { return pingUtils_.lock(); }

  private:
    // Makes the driver for `jobs`; false with -91 (the driver's error
    // underneath) when it cannot be made.
    bool makeDownload(const std::vector<PelFSDJobPtr>* jobs, const std::string& downloadPath,
                      PelFSDDelegateRef delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                      platform::Error* error);

    FSDManifestPtr manifest_;
    FSDDownloadPtr download_;
    std::weak_ptr<PelFSDPingUtils> pingUtils_;
};

using PelFSDPtr = std::shared_ptr<PelFSD>;
