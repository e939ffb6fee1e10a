// The review pictures of the shell: every screen, overlay, sheet and dialog,
// written as <seq>-<status>-<name>.png to the folder in PEL_UI_GRAB_DIR
// (ctest -L screens writes them to <build>/screens/shell).
#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

#include "Controllers/InstallProgressViewController.h"
#include "Controllers/InstallerAboutWindowController.h"
#include "ShellFixture.h"

namespace shelltest {
namespace {

class ShellScreens : public ShellTest {
  protected:
    void SetUp() override {
        if (!std::getenv("PEL_UI_GRAB_DIR")) GTEST_SKIP() << "PEL_UI_GRAB_DIR is not set";
        restart();
    }
    // A fresh shell on the bundle of the pictures.
    void restart() {
        ShellTest::SetUp();
        info_["CFBundleName"] = "Ostrel Installer";
        info_["BuildVersion"] = "123";
        info_["NSHumanReadableCopyright"] = "Copyright 2026 Pelgrave. All rights reserved.";
        info_["PEL_PRODUCT_LOGO"] = "logo";
    }
    void shot(const QString& name) {
        ReviewPictures::capture(main().window(), main().installStatus(), name);
    }
};

TEST_F(ShellScreens, EveryScreen) {
    launch(true);  // the set-up overlay
    fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
    pump();
    shot(QStringLiteral("welcome"));

    main().switchCenterBoxView(form().okView, true, nullptr);
    pump();
    main().showOKScreen(QStringLiteral("All Set"), QStringLiteral("Your product is ready to use."));
    pump();
    main().showCompetitiveErrorScreen(QStringLiteral(
        "Another security product is installed on this computer. Remove it, then try again."));
    pump();
    main().showWarningScreen(
        QStringLiteral("Your computer has less free disk space than "
                       "recommended. <A action=\"openSupport:\">Learn more</A>"),
        nullptr);
    pump();
    main().setInstallStatus(503);
    main().showErrorScreen(
        QStringLiteral("The previous version could not be removed. Please "
                       "<A action=\"openSupport:\">contact Support</A>."));
    pump();
    main().startFSD();
    pump();
    main().setInstallStatus(501);
    delegate_->requestTerminate(QuitOrigin::Menu);  // "Installation in progress" over the download
    pump();
    main().continueInstalling();
    main().setInstallStatus(503);
    delegate_->requestTerminate(QuitOrigin::Close);  // "Uninstalling Previous Version"
    pump();
    main().continueInstalling();
    engine_->completes = false;
    main().performInstallOnly();
    pump();
    main().closingScreen(true);  // restart screen
    pump();
    delegate_->requestTerminate(QuitOrigin::Menu);  // "Restart Required"
    pump();
    main().continueInstalling();  // restarts (recorded) and quits
    std::filesystem::remove_all(dir_.file("Apps/.fsd"));
    TearDown();
    restart();
    info_["PEL_ON_COMPLETE_ACTION"] = "LOGOUT";
    launch();
    main().closingScreen(true);  // log-out screen
    pump();
    delegate_->requestTerminate(QuitOrigin::Menu);  // the log-out sheet
    pump();
    delegate_->logoutSheet()->accept();
    plugin_->implemented.insert(IFPluginOperation::closingScreenText);
    plugin_->closingText = "Thank you for installing Ostrel. You can close this window.";
    main().closingScreen(true);
    pump();
    QTimer::singleShot(100, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    delegate_->showAbout();
    TearDown();
    restart();
    info_["PEL_PRODUCT_PLUGIN_CLASS"] = "Missing";
    launch();
    pump();
}

}  // namespace
}  // namespace shelltest
