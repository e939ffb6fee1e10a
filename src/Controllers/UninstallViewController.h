// The removal of older versions before an install: runs the upgrade rules
// for the product plug-in's requirements, blocks when a newer version is
// installed, otherwise asks the user, gets the administrator's consent,
// blesses and starts the uninstall helper, collects its report and ends on
// the restart screen (or the error screen).
//
// Its two views (the prompt and the removal progress) belong to the product
// plug-in's view set. Every helper callback may arrive on any thread; its
// work is done on the main queue, in arrival order.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Controllers/IFPluginProtocol.h"
#include "Engine/PelUninstallXPCProtocol.h"
#include "Platform/System/Authorization.h"
#include "Platform/Values/Value.h"

class UninstallEngine;
namespace ostrelui {
class OstrelUIProgressIndicator;
class OstrelUITintedButton;
}  // namespace ostrelui

/// Told when the product's earlier shut-down has completed.
class ShutdownHVK5Protocol {
  public:
    virtual ~ShutdownHVK5Protocol() = default;
    virtual void shutdownComplete(bool success) = 0;
};

inline constexpr const char* kUninstallHelperLabel = "com.pelgrave.UninstallerToolHelper";
inline constexpr const char* kPostUninstallTool = "Contents/Resources/PelgraveRemovalTool";
inline constexpr const char* kPreUninstallTool = "Contents/Resources/preuninstall";

class UninstallViewController : public PelUninstallXPCProtocol, public ShutdownHVK5Protocol {
  public:
    using Requirements = IFPluginProtocol::Requirements;

    /// `engine` null: the shared UninstallEngine at each use.
    explicit UninstallViewController(std::shared_ptr<UninstallEngine> engine = nullptr);
    ~UninstallViewController() override;
    UninstallViewController(const UninstallViewController&) = delete;
    UninstallViewController& operator=(const UninstallViewController&) = delete;

    // Outlets (object names as here).
    QPointer<QWidget> uninstallPromptView;
    QPointer<QLabel> uninstallPromptText;
    QPointer<QLabel> uninstallPromptTitle;
    QPointer<QLabel> uninstallProductLogo;
    QPointer<ostrelui::OstrelUITintedButton> uninstallBeginButton;
    QPointer<ostrelui::OstrelUITintedButton> uninstallQuitButton;
    QPointer<QWidget> uninstallProgressView;
    QPointer<QLabel> uninstallProgressProductLogo;
    QPointer<QLabel> uninstallProgressStatus;
    QPointer<ostrelui::OstrelUIProgressIndicator> uninstallProgressBar;

    /// True when nothing blocks the install; false when this screen (the
    /// prompt) or an error screen is showing.
    bool startUpgradeForAllProducts(const Requirements& requirements, IFPluginProtocol* plugIn);

    // Actions of the prompt. Begin acts once until the prompt is shown again.
    void uninstallBegin();
    void quitInstaller();

    void performUninstall();
    void shutdownComplete(bool success) override;
    /// Forwards an InstallerProgressStatus code to the plug-in.
    void setProgressStatus(unsigned status);

    // PelUninstallXPCProtocol: callable from any thread.
    void uninstallStarted() override;
    void uninstallEnded() override;
    void uninstallEndedWithError() override;
    void startedUninstallingPackage(const Text& packageName) override;
    void appendToReport(const Text& report, const Text& packageName) override;
    void appendError(const Text& error, const Text& packageName) override;

    /// The report built so far (main thread).
    const std::string& report() const { return report_; }
    const std::optional<std::vector<std::string>>& productsToUninstall() const {
        return productsToUninstall_;
    }
    IFPluginProtocol* productPlugIn() const { return productPlugIn_; }

  private:
    std::shared_ptr<UninstallEngine> engine() const;
    void awakeFromNib();
    void onMain(std::function<void()> block);
    void appendLine(const Text& text, const Text& packageName);
    void endWithError();
    void endWithSuccess();

    std::shared_ptr<UninstallEngine> engine_;
    // The engine whose client was told about this controller.
    std::shared_ptr<UninstallEngine> client_;
    IFPluginProtocol* productPlugIn_ = nullptr;
    std::optional<std::vector<std::string>> productsToUninstall_;
    std::string report_;
    platform::AuthorizationRef uninstallRef_;
    bool beginTaken_ = false;
    bool ended_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
