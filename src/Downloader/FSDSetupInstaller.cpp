// The setup-installer download: a small ZIP archive with the requirement
// list and the branding logo, fetched before the packages.
#include <sys/stat.h>

#include "Downloader/FSDArchive.h"
#include "Downloader/FSDDownload.h"
#include "Downloader/FSDError.h"
#include "Downloader/FSDFileNames.h"
#include "Foundation/PelLogging.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/System/PathNames.h"

extern std::atomic<bool> gFSDSetupInstallerStartSent;

namespace {

std::optional<std::string> existingFile(const std::string& folder,
                                        const std::optional<std::string>& name) {
    if (!name || !platform::isPlainFileName(*name)) return std::nullopt;
    std::string path = platform::pathInFolder(folder, *name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return path;
}

}  // namespace

bool FSDDownload::unzipFileFrom(const std::string& zipPath, const std::string& folder) {
    auto reader = FSDZipReader::open(zipPath);
    if (!reader) {
        PelLogging::logErrorMessageWithFormat(
            "unzipFileFrom downloadZipPath toDestination: downloadZipPath=%@ cannot be opened.",
            zipPath);
        fsdUnlinkFile(zipPath);
        return false;
    }
    bool result = false;
    for (FSDZipReader::Entry entry;;) {
        auto next = reader->next(&entry);
        if (next == FSDZipReader::Next::End) break;
        // Only plain files at the top, of a sane size, with good checksums.
        bool ok = next == FSDZipReader::Next::Entry && entry.kind == FSDZipReader::Kind::Regular &&
                  !entry.isHardLink && platform::isPlainFileName(entry.name) &&
                  entry.size <= kMaxSetupInstallerSize &&
                  fsdExtractEntryTo(*reader, folder, platform::pathInFolder(folder, entry.name),
                                    static_cast<std::uint64_t>(kMaxSetupInstallerSize), nullptr);
        if (!ok) {
            PelLogging::logErrorMessageWithFormat("Unable to unpack entry %@ of %@", entry.name,
                                                  zipPath);
            result = false;
            break;
        }
        result = true;
    }
    reader.reset();
    fsdUnlinkFile(zipPath);
    return result;
}

bool FSDDownload::downloadSetupInstallerFile(const PelFSDFilePtr& file, platform::Error* error,
                                             SetupInstallerCompletion completion) {
    if (!file) {
        setError(error,
                 makeFSDError(kFSDErrorNoSetupInstaller, "No setup installer File available."));
        return false;
    }
    auto url = file->downloadURL();
    auto name = url ? fsdFileNameForURL(*url) : std::nullopt;
    if (!name) {
        setError(error, makeFSDError(kFSDErrorSetupInstallerURL,
                                     "Unable to create a download URL for SetupInstaller file."));
        return false;
    }
    const std::string folder = downloadPath_;
    const std::string zipPath = platform::pathInFolder(folder, *name);
    const std::string address = *url;
    auto reqs = file->reqsPlist();
    auto logo = file->brandingLogo();
    std::weak_ptr<FSDDownload> weak = weak_from_this();
    std::weak_ptr<PelFSDPingUtils> pingUtils = pingUtils_;

    platform::HttpRequest request(address);
    request.setMaximumResponseLength(kMaxSetupInstallerSize);
    auto handler = [=](const platform::Data* data, const platform::HttpResponse* response,
                       const platform::Error* transferError) {
        platform::Error outcome;
        if (response && response->statusCode() == 404) {
            platform::Error plain(std::string(kFSDErrorDomain), kFSDErrorSetupInstallerURL);
            outcome =
                makeFSDError(kFSDErrorSetupInstallerURL,
                             "Setup Installer File Download URL location is not available", &plain);
        } else if (transferError) {
            outcome = makeFSDError(kFSDErrorSetupInstallerDownload,
                                   "Error occurred while downloading setup installer file",
                                   transferError);
        } else if (!data || data->empty()) {
            outcome = makeFSDError(kFSDErrorSetupInstallerDownload,
                                   "No SETUPInstaller.zip file available at download location.");
        } else {
            platform::Error writeError;
            std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
            if (!fsdWriteFileAtomically(bytes, zipPath, 0644, &writeError)) {
                outcome = makeFSDError(kFSDErrorSetupInstallerDownload,
                                       "Unable to write SETUP_INSTALL zip file", &writeError);
            } else if (!unzipFileFrom(zipPath, folder)) {
                outcome = makeFSDError(kFSDErrorUnzip, "Unable to unzip SETUP_INSTALL zip file");
            }
        }
        if (outcome.empty()) {
            if (!gFSDSetupInstallerStartSent.exchange(true)) {
                if (auto self = weak.lock()) self->sendStartPing();
            }
            auto reqsPath = existingFile(folder, reqs);
            auto logoPath = existingFile(folder, logo);
            platform::mainQueue()->async([=] {
                if (completion) completion(true, reqsPath, logoPath, nullptr);
                if (::unlink(zipPath.c_str()) == 0 || errno == ENOENT)
                    PelLogging::logDebugMessage("Removed SETUP_INSTALL zip file.");
                else
                    PelLogging::logErrorMessage("Unable to remove SETUP_INSTALL zip file.");
            });
            return;
        }
        platform::mainQueue()->async([completion, outcome] {
            if (completion) completion(false, std::nullopt, std::nullopt, &outcome);
        });
        if (auto pings = pingUtils.lock())
            pings->sendDownloadSetupInstallerFailPing(address, &outcome);
    };
    FSDURLDownload::downloadWithURLRequest(std::move(request), std::move(handler),
                                           platform::SerialQueue::create("com.pelgrave.fsd.setup"));
    return true;
}
