#include "Downloader/PelFSD.h"

#include <sys/stat.h>

#include <filesystem>

#include "Downloader/FSDError.h"
#include "Downloader/FSDFileNames.h"
#include "Downloader/FSDResumeData.h"
#include "Platform/System/PathNames.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "Platform/Values/DataFile.h"

namespace {

const std::optional<std::string> kNoAddress;

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Removes whatever is at `path`; a link is removed, never what it points at:
// an unlinkat walk from the folder holding it, so that a folder swapped for
// a link meanwhile cannot lead the removal elsewhere.
void removeItem(const std::string& path) { platform::SharedFolder::removeTreeAt(path, false); }

}  // namespace

std::shared_ptr<PelFSD> PelFSD::createFSD(const std::optional<std::string>& manifestPath,
                                          const std::optional<std::string>& sigPath,
                                          const std::string& downloadPath,
                                          PelFSDDelegateRef delegate,
                                          const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                                          platform::Error* error) {
    return createFSD(manifestPath, sigPath, std::nullopt, std::nullopt, downloadPath,
                     std::move(delegate), pingUtils, error);
}

std::shared_ptr<PelFSD> PelFSD::createFSDWithData(const std::optional<platform::Data>& manifestData,
                                                  const std::optional<platform::Data>& sigData,
                                                  const std::string& downloadPath,
                                                  PelFSDDelegateRef delegate,
                                                  const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                                                  platform::Error* error) {
    return createFSD(std::nullopt, std::nullopt, manifestData, sigData, downloadPath,
                     std::move(delegate), pingUtils, error);
}

std::shared_ptr<PelFSD> PelFSD::createFSD(
    const std::optional<std::string>& manifestPath, const std::optional<std::string>& sigPath,
    const std::optional<platform::Data>& manifestData, const std::optional<platform::Data>& sigData,
    const std::string& downloadPath, PelFSDDelegateRef delegate,
    const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error) {
    auto fsd = std::make_shared<PelFSD>();
    fsd->pingUtils_ = pingUtils;
    platform::Error manifestError;
    if (manifestData && sigData)
        fsd->manifest_ = FSDManifest::createFSDManifestWithData(manifestData, sigData, pingUtils,
                                                                &manifestError);
    else
        fsd->manifest_ =
            FSDManifest::createFSDManifest(manifestPath, sigPath, pingUtils, &manifestError);
    if (!fsd->manifest_) {
        setError(error, makeFSDError(kFSDErrorManifestParse,
                                     "Unable to create a valid fsd manifest object",
                                     manifestError.empty() ? nullptr : &manifestError));
        return nullptr;
    }
    if (pingUtils) pingUtils->setManifest_id(fsd->manifest_->manifest_id());
    if (!fsd->makeDownload(&fsd->manifest_->pelJobsArray(), downloadPath, std::move(delegate),
                           pingUtils, error))
        return nullptr;
    return fsd;
}

std::shared_ptr<PelFSD> PelFSD::createFSDWithJobArray(
    const std::vector<PelFSDJobPtr>* jobs, const std::string& downloadPath,
    PelFSDDelegateRef delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
    platform::Error* error) {
    if (!jobs || jobs->empty()) {
        setError(error, makeFSDError(kFSDErrorNoJobs, "fsdJobs paramerter cannot be empty"));
        return nullptr;
    }
    auto fsd = std::make_shared<PelFSD>();
    fsd->pingUtils_ = pingUtils;
    if (!fsd->makeDownload(jobs, downloadPath, std::move(delegate), pingUtils, error))
        return nullptr;
    return fsd;
}

bool PelFSD::makeDownload(const std::vector<PelFSDJobPtr>* jobs, const std::string& downloadPath,
                          PelFSDDelegateRef delegate,
                          const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                          platform::Error* error) {
    platform::Error driverError;
    download_ = FSDDownload::createWithPelJobsArray(jobs, downloadPath, std::move(delegate),
                                                    pingUtils, &driverError);
    if (download_) return true;
    setError(error,
             makeFSDError(kFSDErrorCreateDownloader, "Unable to create a valid fsd download object",
                          driverError.empty() ? nullptr : &driverError));
    return false;
}

void PelFSD::startFSDDownload() {
    if (download_) download_->startDownload();
}

void PelFSD::cancelFSDDownload() {
    if (download_) download_->cancelDownloads();
}

bool PelFSD::performSetupInstallerFile(platform::Error* error,
                                       FSDDownload::SetupInstallerCompletion completion) {
    PelFSDFilePtr file = manifest_ ? manifest_->setupInstallerFile() : nullptr;
    if (!download_) {
        setError(error,
                 makeFSDError(kFSDErrorNoSetupInstaller, "No setup installer File available."));
        return false;
    }
    return download_->downloadSetupInstallerFile(file, error, std::move(completion));
}

const std::optional<std::string>& PelFSD::failOverURL() const {
    return manifest_ ? manifest_->failOverURLString() : kNoAddress;
}

bool PelFSD::writeFSDInformation(const std::optional<std::string>& given, platform::Error* error) {
    if (!given || given->empty()) return false;
    const std::string folder = withoutTrailingSlashes(*given);
    const std::string home = withoutTrailingSlashes(platform::Paths::homeDirectory());
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(folder, ec);
    if (folder == "/" || folder == home || (!ec && (canonical == "/" || canonical == home)))
        return false;

    const std::optional<std::string> manifestPath =
        manifest_ ? manifest_->manifestPath() : std::nullopt;
    if (!manifestPath || manifestPath->empty()) {
        removeItem(folder);
        return false;
    }
    // Read first: the sources may well lie inside the folder being replaced.
    auto manifestBytes = platform::readDataFromFile(*manifestPath, error);
    if (!manifestBytes) return false;
    std::optional<platform::Data> sigBytes;
    const auto& sigPath = manifest_->sigPath();
    if (sigPath && !sigPath->empty()) {
        sigBytes = platform::readDataFromFile(*sigPath, error);
        if (!sigBytes) return false;
    }
    removeItem(folder);
    // Written in by path: for root only a folder no other user can change.
    if (const int code = fsdMakeWorkFolder(folder)) {
        setError(error, platform::Error::posix(code, folder));
        return false;
    }
    auto write = [&](const platform::Data& bytes, const std::string& source) {
        std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return fsdWriteFileAtomically(text, platform::pathInFolder(folder, lastComponent(source)),
                                      0644, error);
    };
    if (!write(*manifestBytes, *manifestPath)) return false;
    if (sigBytes) return write(*sigBytes, *sigPath);
    return true;
}

bool PelFSD::writeFSDInformationWithError(platform::Error* error) {
    if (!download_) return false;
    return writeFSDInformation(download_->downloadPath(), error);
}
