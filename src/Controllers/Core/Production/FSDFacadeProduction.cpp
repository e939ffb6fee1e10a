// The production downloader: PelFSD.
#include "Controllers/Core/FSDFacade.h"
#include "Downloader/FSDManifest.h"
#include "Downloader/PelFSD.h"
#include "Downloader/PelFSDFile.h"

namespace {

class PelFSDFacade final : public FSDFacade {
  public:
    PelFSDFacade(std::shared_ptr<PelFSD> fsd, std::shared_ptr<PelFSDProtocol> delegate)
        : fsd_(std::move(fsd)), delegate_(std::move(delegate)) {}

    bool performSetupInstallerFile(platform::Error* error, SetupCompletion completion) override {
        return fsd_->performSetupInstallerFile(error, std::move(completion));
    }
    void startFSDDownload() override { fsd_->startFSDDownload(); }
    void cancelFSDDownload() override { fsd_->cancelFSDDownload(); }
    bool writeFSDInformation(const std::optional<std::string>& folder,
                             platform::Error* error) override {
        return fsd_->writeFSDInformation(folder, error);
    }
    platform::Array packagePaths() const override {
        auto download = fsd_->download();
        platform::Array paths;
        if (download) {
            for (auto& package : download->packagePaths()) paths.emplace_back(std::move(package));
        }
        return paths;
    }

    SetupFileNames setupInstallerFileNames() const override {
        SetupFileNames names;
        if (const auto& manifest = fsd_->manifest()) {
            if (const auto& file = manifest->setupInstallerFile()) {
                names.reqsPlist = file->reqsPlist();
                names.brandingLogo = file->brandingLogo();
            }
        }
        return names;
    }

  private:
    std::shared_ptr<PelFSD> fsd_;
    // The downloader holds its delegate weakly; the screen that owns this
    // facade outlives it, so the reference lives as long as the facade.
    std::shared_ptr<PelFSDProtocol> delegate_;
};

}  // namespace

FSDFacade::Factory makeProductionFSDFactory() {
    return [](const std::optional<std::string>& manifest,
              const std::optional<std::string>& signature, const std::string& downloadPath,
              PelFSDProtocol* delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
              platform::Error* error) -> std::shared_ptr<FSDFacade> {
        std::shared_ptr<PelFSDProtocol> reference(delegate, [](PelFSDProtocol*) {});
        auto fsd =
            PelFSD::createFSD(manifest, signature, downloadPath, reference, pingUtils, error);
        if (!fsd) return nullptr;
        return std::make_shared<PelFSDFacade>(std::move(fsd), std::move(reference));
    };
}
