// The product plug-ins: HVKProductPlugin (the main product, with the
// welcome agreement view, the progress slideshow and the left step list) and
// JHWProductPlugin (a plainer family: no slideshow, grey bar, own title).
#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/IFPluginProtocol.h"
#include "Controllers/LeftNavigationViewController.h"

class ProgressAnimationViewController;
class KextAssistantInstallerViewController;
class UninstallViewController;
namespace platform {
class Clock;
}

/// Owns a slideshow controller whose panels may be deleted by the window
/// they were shown in.
class AnimationHolder {
  public:
    explicit AnimationHolder(std::shared_ptr<platform::Clock> clock);
    ~AnimationHolder();
    std::unique_ptr<ProgressAnimationViewController> controller;

  private:
    QPointer<QWidget> animationPage_, installPage_, completedPage_;
};

class HVKProductPlugin : public IFPluginProtocol {
  public:
    /// `clock` drives the delayed steps of the completion sequence (the
    /// default clock when null).
    explicit HVKProductPlugin(std::shared_ptr<platform::Clock> clock = nullptr);
    ~HVKProductPlugin() override;

    bool respondsTo(IFPluginOperation operation) const override;

    QWidget* centerView() override;
    QWidget* leftNavigationView() override;
    std::shared_ptr<const ostrelui::AttributedText> getAttributedProductTitle() override;
    std::shared_ptr<const ostrelui::AttributedText> getAttributedProductSubtitle() override;
    const QImage* getProductFooterLogoImageAndSize(IFPluginSize* size,
                                                   const std::string& name) override;
    std::string backgroundImageName() override;
    void setProgressStatus(unsigned status) override;
    void setInstallationProgressStatusWithCompletionHandler(std::function<void()> done) override;
    void setCenterPillarHealthStatus(unsigned status) override;
    void animateProgressViewNow() override;
    void installBegin() override;
    bool performInstallPing(std::shared_ptr<StatPing>* pinger) override;
    bool performFSDPing(std::shared_ptr<StatPing>* pinger) override;
    bool runRequirementsWithPlugin(const Requirements& requirements) override;
    void installCompleteWithDelegate(bool success, IFPluginDelegate* delegate) override;
    void installFailedWithError(int code,
                                const std::shared_ptr<PelRequirement>& requirement) override;
    void manifestAvailable(const std::string& path) override;
    std::string manifestLocation() override;
    void installerWillTerminate() override;
    bool shouldShowSupportForInstallFailures() override;
    std::string getSupportURL(const std::shared_ptr<PelRequirement>& requirement,
                              bool fsdFailure) override;
    void setBackgroundImage(const void* ignored) override;

    // Outlets and their accessors (the second family replaces the last two).
    AgreeInstallViewController* agreeAndInstallViewController() const { return agree_; }
    virtual ProgressAnimationViewController* animationViewController() const;
    virtual LeftNavigationViewController* leftNavigationViewController() const;
    QLabel* backgroundImageView() const { return backgroundImageView_; }
    /// The kernel-module approval screens, which finish a successful install
    /// when the module still needs the user's approval.
    KextAssistantInstallerViewController* kextAssistantViewController() const {
        return kextAssistantViewController_.get();
    }

    UninstallViewController* uninstallViewController() const { return uninstall_.get(); }

    bool haveProgressAnimations() const { return haveProgressAnimations_; }
    bool isKeenwatchOptInAllowed() const { return isKeenwatchOptInAllowed_; }
    std::uint64_t ofgPrivacyRegionMask() const { return ofgPrivacyRegionMask_; }
    bool isWindowAtMaxHeight() const { return isWindowAtMaxHeight_; }
    void setIsWindowAtMaxHeight(bool v) override { isWindowAtMaxHeight_ = v; }

    /// The Help menu's action: opens the support landing page.
    void showInstallerHelp();
    std::string leftBackgroundImageName() const { return "img-bg-left"; }
    /// Removes the downloaded packages and set-up files of a download-based
    /// install.
    void cleanUpTemporaryFiles();

  protected:
    void setTitles(const QString& title, const QString& subtitle);
    void after(double seconds, std::function<void()> block);
    void onMain(std::function<void()> block);

    bool haveProgressAnimations_ = true;
    std::shared_ptr<platform::Clock> clock_;

  private:
    /// Writes the opt-in and region flag files (opt-in allowed only).
    void sendOptInFlagToFellowguard();
    std::string regionsPlistPath() const;

    QPointer<AgreeInstallViewController> agree_;
    QPointer<LeftNavigationViewController> left_;
    std::unique_ptr<AnimationHolder> animation_;
    std::unique_ptr<KextAssistantInstallerViewController> kextAssistantViewController_;
    std::unique_ptr<UninstallViewController> uninstall_;
    QPointer<QLabel> backgroundImageView_;
    std::shared_ptr<const ostrelui::AttributedText> attributedTitle_, attributedSubtitle_;
    std::unique_ptr<QImage> footerLogo_;
    bool isKeenwatchOptInAllowed_ = false;
    bool isWindowAtMaxHeight_ = false;
    std::uint64_t ofgPrivacyRegionMask_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class JHWProductPlugin : public HVKProductPlugin {
  public:
    explicit JHWProductPlugin(std::shared_ptr<platform::Clock> clock = nullptr);
    ~JHWProductPlugin() override;

    bool respondsTo(IFPluginOperation operation) const override;
    QWidget* centerView() override;
    QWidget* leftNavigationView() override;
    const QImage* getProductFooterLogoImageAndSize(IFPluginSize* size,
                                                   const std::string& name) override;
    bool shouldEnableWelcomeText() override { return true; }
    std::string backgroundImageName() override { return {}; }
    void animateProgressViewNow() override {}
    bool shouldShowSupportForInstallFailures() override { return false; }

    ProgressAnimationViewController* animationViewController() const override;
    LeftNavigationViewController* leftNavigationViewController() const override;
    JHWInstallViewController* jhwInstallViewController() const { return jhw_; }
    QLabel* productNameLabel() const { return productNameLabel_; }

    void showTKMQInstallerHelp();

  private:
    QPointer<JHWInstallViewController> jhw_;
    QPointer<QLabel> productNameLabel_;
    QPointer<LeftNavigationViewController> left_;
    std::unique_ptr<AnimationHolder> animation_;
    std::unique_ptr<QImage> footerLogo_;
};

/// Registers "HVKProductPlugin" and "JHWProductPlugin" in the plug-in
/// registry (idempotent).
void registerProductPlugins();
