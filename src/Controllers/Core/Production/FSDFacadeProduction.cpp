// The production downloader: PelFSD.
#include "Controllers/Core/FSDFacade.h"
#include "Downloader/PelFSD.h"

namespace {

class PelFSDFacade final : public FSDFacade {
  public:
    explicit PelFSDFacade(std::shared_ptr<PelFSD> fsd) : fsd_(std::move(fsd)) {}

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
        return download ? platform::Array(download->packagePaths()) : platform::Array();
    }

  private:
    std::shared_ptr<PelFSD> fsd_;
};

}  // namespace

FSDFacade::Factory makeProductionFSDFactory() {
    return [](const std::optional<std::string>& manifest,
              const std::optional<std::string>& signature, const std::string& downloadPath,
              PelFSDProtocol* delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
              platform::Error* error) -> std::shared_ptr<FSDFacade> {
        auto fsd = PelFSD::createFSD(manifest, signature, downloadPath, delegate, pingUtils, error);
        if (!fsd) return nullptr;
        return std::make_shared<PelFSDFacade>(std::move(fsd));
    };
}
