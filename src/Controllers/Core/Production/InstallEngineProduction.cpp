// The production install engine: the shared PelInstallerFramework.
#include "Controllers/Core/InstallEngine.h"
#include "Engine/PelInstallerFramework.h"

namespace {

template <class T>
T& deref(T& object) {
    return object;
}
template <class T>
T& deref(T* object) {
    return *object;
}
template <class T>
T& deref(const std::shared_ptr<T>& object) {
    return *object;
}

class FrameworkInstallEngine final : public InstallEngine {
  public:
    bool performRequirementsCheck(const std::optional<std::string>& requirementsPath,
                                  const std::shared_ptr<IFPluginProtocol>& plugin,
                                  InstallProgressProtocol* progress,
                                  std::shared_ptr<PelRequirement>* outRequirement,
                                  platform::Error* error) override {
        return deref(PelInstallerFramework::sharedInstallerFramework())
            .performRequirementsCheck(requirementsPath, plugin.get(), progress, outRequirement,
                                      error);
    }

    void performInstallWithMultiplePackages(const platform::Array& packages,
                                            const std::shared_ptr<IFPluginProtocol>& plugin,
                                            InstallProgressProtocol* progress,
                                            const platform::Array& postInstallTools,
                                            const std::optional<std::string>& prompt,
                                            const std::optional<std::string>& imagePath) override {
        deref(PelInstallerFramework::sharedInstallerFramework())
            .performInstallWithMultiplePackages(packages, plugin.get(), progress, postInstallTools,
                                                prompt, imagePath);
    }
};

}  // namespace

std::shared_ptr<InstallEngine> makeProductionInstallEngine() {
    return std::make_shared<FrameworkInstallEngine>();
}
