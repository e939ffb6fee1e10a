// A launched installer shell on a fixture bundle, with fakes for the engine,
// the downloader, the plug-in, the browser and the system events.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include "Controllers/ClosingScreens.h"
#include "Controllers/Core/InstallerInstanceLock.h"
#include "Controllers/Core/PluginRegistry.h"
#include "Controllers/Core/UninstallEngine.h"
#include "Controllers/FSDViewController.h"
#include "Controllers/InstallerAppDelegate.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/MainWindowForm.h"
#include "Controllers/ShellSupport.h"
#include "ControllersTestSupport.h"
#include "Downloader/StatPing.h"
#include "Engine/HelperToolUtils.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Foundation/PelGenericUtils.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SystemEvents.h"
#include "ShellFakes.h"

namespace shelltest {

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        controllerstest::application();
        ostrelui::setAnimationScale(0);
        exits_ = 0;
        opened_.clear();
        createSucceeds_ = true;
        createError_.reset();
        fsdCreations_ = 0;
        plugin_.reset();
        root_.emplace(dir_.file("root"), dir_.file("root/home"));
        UrlOpener::setOpener([this](const std::string& url) {
            opened_.push_back(url);
            return true;
        });
        ScreenInfo::setMainScreenHeight(900);
        events_ = std::make_shared<platform::RecordingEventSender>();
        PelGenericUtils::sharedGenUtils().setSystemEventSender(events_);
        engine_ = std::make_shared<FakeInstallEngine>();
        InstallEngine::setShared(engine_);
        fsd_ = std::make_shared<FakeFSD>();
        FSDFacade::setFactory([this](const std::optional<std::string>&,
                                     const std::optional<std::string>&, const std::string&,
                                     PelFSDProtocol* delegate,
                                     const std::shared_ptr<PelFSDPingUtils>&,
                                     platform::Error* error) -> std::shared_ptr<FSDFacade> {
            ++fsdCreations_;
            if (!createSucceeds_) {
                if (error && createError_) *error = *createError_;
                return nullptr;
            }
            fsd_->delegate = delegate;
            return fsd_;
        });
        kext_ = std::make_shared<FakeKextClient>();
        KextAssistantClient::setFactory([this] { return kext_; });
        PluginRegistry::registerPlugin("TestPlugin", [this] {
            plugin_ = std::make_shared<FakePlugin>();
            return plugin_;
        });
        info_ = {
            {"PEL_PRODUCT_NAME", "Ostrel Test"},
            {"PEL_PRODUCT_PLUGIN_CLASS", "TestPlugin"},
            {"PEL_BASE_PACKAGES", platform::Array{platform::Dictionary{{"pkgName", "Ostrel.pkg"}}}},
            {"CFBundleShortVersionString", "2.0"},
            {"CFBundleVersion", "200"}};
    }

    /// Closes the shell: the window, its screens and the delegate go.
    void closeShell() {
        // The fake engine's queue may still be calling into the install
        // screen: let it finish before the window and its screens go.
        for (int i = 0; i < 3 && engine_; ++i) {
            engine_->waitIdle();
            pump();
        }
        delegate_.reset();
        MainWindowController::resetSharedInstance();
        pump();
    }

    void TearDown() override {
        closeShell();
        PluginRegistry::unregisterPlugin("TestPlugin");
        InstallEngine::setShared(nullptr);
        FSDFacade::setFactory(nullptr);
        KextAssistantClient::setFactory(nullptr);
        UrlOpener::setOpener(nullptr);
        ScreenInfo::setMainScreenHeight(std::nullopt);
        ReviewPictures::setFolder(std::nullopt);
        PelGenericUtils::sharedGenUtils().setSystemEventSender(nullptr);
        PelInstallAppUtilities::replaceInstance(nullptr);
        platform::Bundle::setMainBundle(nullptr);
        ostrelui::clearImageCache();
        InstallerInstanceLock::releaseShared();
        root_.reset();
        // What the product screens' fixtures put in place.
        PluginRegistry::unregisterPlugin("HVKProductPlugin");
        UninstallEngine::setShared(nullptr);
        HelperToolUtils::sharedHelperUtils().setAuthoriser(nullptr);
        StatPing::setEndpointHosts("", "");
    }

    /// Launches the shell (delegate, window) on the fixture bundle.
    void launch(bool withManifest = false) {
        std::string bundle = writeBundle(dir_, info_, withManifest);
        platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(bundle));
        ostrelui::clearImageCache();
        PelInstallAppUtilities::replaceInstance(
            std::make_shared<PelInstallAppUtilities>(platform::Bundle::mainBundle()));
        delegate_ = std::make_unique<InstallerAppDelegate>();
        delegate_->setExitHandler([this] { ++exits_; });
        delegate_->applicationDidFinishLaunching();
        pump();
    }

    /// Runs what is due: posted events, main-queue blocks, next-turn work.
    static void pump(int turns = 12) {
        for (int i = 0; i < turns; ++i) {
            QCoreApplication::processEvents();
            platform::MainQueue::shared()->drain();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

    MainWindowController& main() { return *MainWindowController::sharedMainMenuController(); }
    MainWindowForm& form() { return main().form(); }
    QWidget* centerContent() { return form().centerBox->currentWidget(); }
    QString overlayTitle() {
        return main().isOverlayShown() && form().closingErrorView->isVisible()
                   ? form().closingScreenTitleText->text()
                   : QString();
    }

    testsupport::TempDir dir_;
    std::optional<platform::Paths::ScopedRoot> root_;
    platform::Dictionary info_;
    std::vector<std::string> opened_;
    std::shared_ptr<platform::RecordingEventSender> events_;
    std::shared_ptr<FakeInstallEngine> engine_;
    std::shared_ptr<FakeFSD> fsd_;
    bool createSucceeds_ = true;
    std::optional<platform::Error> createError_;
    int fsdCreations_ = 0;
    std::shared_ptr<FakePlugin> plugin_;
    /// The kernel-module client every product plug-in gets.
    std::shared_ptr<FakeKextClient> kext_;
    std::unique_ptr<InstallerAppDelegate> delegate_;
    int exits_ = 0;
};

}  // namespace shelltest
