// The contract between the installer shell (main window, install engine,
// screens) and the product plug-in, the one object that knows the product.
//
// Every operation is optional: a plug-in overrides the ones it offers and
// answers respondsTo() for exactly those, and callers ask respondsTo() before
// each call, skipping the step when the answer is no. The one exception is
// setProgressStatus(), which the install progress screen sends without
// asking, so every plug-in implements it (it is pure virtual here).
//
// The default bodies do nothing and return empty values, so a call that was
// not tested first is harmless. Plain C++: the UI types are only named, so
// the install engine builds without Qt.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;
class QImage;
class StatPing;
class PelRequirement;
namespace ostrelui {
struct AttributedText;  // OstrelUI/Controls/AttributedText.h
}

/// The operations of IFPluginProtocol, in declaration order.
enum class IFPluginOperation {
    centerView,
    leftNavigationView,
    getAttributedProductTitle,
    getAttributedProductSubtitle,
    getProductFooterLogoImageAndSize,
    shouldEnableWelcomeText,
    backgroundImageName,
    setProgressStatus,
    setInstallationProgressStatusWithCompletionHandler,
    setCenterPillarHealthStatus,
    animateProgressViewNow,
    closingScreenText,
    installBegin,
    performInstallPing,
    performFSDPing,
    runRequirementsWithPlugin,
    installComplete,
    installCompleteWithDelegate,
    installFailedWithError,
    manifestAvailable,
    manifestLocation,
    installerWillTerminate,
    shouldShowSupportForInstallFailures,
    getSupportURL,
    downloadFSDComplete,
    downloadFSDFailedWithError,
    setBackgroundImage,
    // Informal operations outside the protocol's 27, asked all the same.
    /// The window's height choice: setIsWindowAtMaxHeight().
    isWindowAtMaxHeight,
    /// The left panel's image name: leftBackgroundImage().
    leftBackgroundImage,
};

/// The number of protocol operations in IFPluginOperation (the informal
/// ones after them not counted).
inline constexpr int kIFPluginOperationCount = 27;

/// A size in points.
struct IFPluginSize {
    double width = 0;
    double height = 0;
};

/// The install engine's side of the end of an install: the plug-in (or a
/// screen it hands the delegate to) sends pluginFinished() exactly once per
/// install, which lets the engine report completion.
class IFPluginDelegate {
  public:
    virtual ~IFPluginDelegate() = default;
    virtual void pluginFinished(bool success) = 0;
};

/// The product plug-in. Views and images stay owned by the plug-in. Calls come from the main thread
/// unless a method says otherwise.
class IFPluginProtocol {
  public:
    using Requirements = std::vector<std::shared_ptr<PelRequirement>>;

    virtual ~IFPluginProtocol() = default;

    /// Whether the plug-in implements `operation`. setProgressStatus is
    /// always implemented.
    virtual bool respondsTo(IFPluginOperation operation) const = 0;

    virtual QWidget* centerView() { return nullptr; }
    virtual QWidget* leftNavigationView() { return nullptr; }
    /// The product's title and subtitle with their character spacing and
    /// fonts (see AttributedStringWithString); null when there is none.
    virtual std::shared_ptr<const ostrelui::AttributedText> getAttributedProductTitle() {
        return nullptr;
    }
    virtual std::shared_ptr<const ostrelui::AttributedText> getAttributedProductSubtitle() {
        return nullptr;
    }
    /// The footer logo called `name`, with its size in `size`; null when none.
    virtual const QImage* getProductFooterLogoImageAndSize(IFPluginSize* /*size*/,
                                                           const std::string& /*name*/) {
        return nullptr;
    }
    virtual bool shouldEnableWelcomeText() { return false; }
    virtual std::string backgroundImageName() { return {}; }
    /// An InstallerProgressStatus code. May be called from any thread.
    virtual void setProgressStatus(unsigned status) = 0;
    /// May be called from any thread.
    virtual void setInstallationProgressStatusWithCompletionHandler(
        std::function<void()> /*done*/) {}
    virtual void setCenterPillarHealthStatus(unsigned /*status*/) {}
    virtual void animateProgressViewNow() {}
    virtual std::string closingScreenText(bool /*success*/) { return {}; }
    virtual void installBegin() {}
    /// Stores the install ping sender (or null) in `pinger`; false disables
    /// install pings.
    virtual bool performInstallPing(std::shared_ptr<StatPing>* /*pinger*/) { return false; }
    /// The same for the download pings.
    virtual bool performFSDPing(std::shared_ptr<StatPing>* /*pinger*/) { return false; }
    /// Runs the requirements whose handler is the plug-in; true when they pass.
    virtual bool runRequirementsWithPlugin(const Requirements& /*requirements*/) { return true; }
    virtual void installComplete(bool /*success*/) {}
    /// End of an install; the plug-in sends delegate->pluginFinished() once
    /// its own end-of-install work is done. The delegate outlives the call.
    virtual void installCompleteWithDelegate(bool /*success*/, IFPluginDelegate* /*delegate*/) {}
    /// An InstallFailureCode, with the failed requirement when there is one.
    virtual void installFailedWithError(int /*code*/,
                                        const std::shared_ptr<PelRequirement>& /*requirement*/) {}
    virtual void manifestAvailable(const std::string& /*path*/) {}
    virtual std::string manifestLocation() { return {}; }
    virtual void installerWillTerminate() {}
    virtual bool shouldShowSupportForInstallFailures() { return false; }
    /// The support address for a failed requirement (or none) or a failed
    /// download; "" when there is none.
    virtual std::string getSupportURL(const std::shared_ptr<PelRequirement>& /*requirement*/,
                                      bool /*fsdFailure*/) {
        return {};
    }
    virtual void downloadFSDComplete(bool /*success*/) {}
    virtual void downloadFSDFailedWithError(const std::string& /*error*/) {}
    virtual void setBackgroundImage(const void* /*ignored*/) {}
    /// Told once the window's height is chosen (true: the taller window).
    virtual void setIsWindowAtMaxHeight(bool /*atMaxHeight*/) {}
    /// The image shown in the left panel in place of backgroundImageName().
    virtual std::string leftBackgroundImage() { return {}; }
};
