// The installer shell in a process of its own, for the signal tests:
//   shell_signal_probe <bundle> <root> <status>
// Launches the shell on the bundle (plug-in "TestPlugin"), sets the install
// status, starts a child that exits at once, and prints:
//   "ready"                  once launched;
//   "child <status>"         when the child's exit status was collected;
//   "overlay: <title>"       when the closing overlay shows (then exits 3);
//   "exited <code>"          when the event loop ends.
#include <spawn.h>
#include <sys/wait.h>

#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "Controllers/Core/PluginRegistry.h"
#include "Controllers/InstallerAppDelegate.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/MainWindowForm.h"
#include "Controllers/ShellFakes.h"
#include "Controllers/VTClientApplication.h"
#include "Engine/PelInstallAppUtilities.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"

extern char** environ;

int main(int argc, char* argv[]) {
    if (argc < 4) return 2;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    platform::Paths::setRoot(argv[2]);
    platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(argv[1]));
    const int status = std::atoi(argv[3]);
    PluginRegistry::registerPlugin("TestPlugin",
                                   [] { return std::make_shared<shelltest::FakePlugin>(); });
    ostrelui::setAnimationScale(0);

    VTClientApplication application(argc, argv);
    InstallerAppDelegate delegate;
    application.setDidFinishLaunchingHandler([&] {
        delegate.applicationDidFinishLaunching();
        auto* main = MainWindowController::sharedMainMenuController();
        main->setShouldCreateLaunchAgent(false);
        if (status != 500) main->switchCenterBoxView(main->form().okView, false, nullptr);
        main->setInstallStatus(status);
    });

    pid_t child = -1;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (child > 0) {
            int childStatus = 0;
            if (waitpid(child, &childStatus, WNOHANG) == child) {
                std::printf("child %d\n", WEXITSTATUS(childStatus));
                std::fflush(stdout);
                child = -1;
            }
        }
        auto* main = MainWindowController::sharedMainMenuController();
        if (main->isOverlayShown() && !main->form().closingErrorView->isHidden()) {
            std::printf("overlay: %s\n",
                        main->form().closingScreenTitleText->text().toUtf8().constData());
            std::fflush(stdout);
            QCoreApplication::exit(3);
        }
    });
    ostrelui::runOnNextTurn([&] {
        char truePath[] = "/bin/sh";
        char dashC[] = "-c";
        char script[] = "exit 7";
        char* childArgv[] = {truePath, dashC, script, nullptr};
        posix_spawn(&child, truePath, nullptr, nullptr, childArgv, environ);
        poll.start();
        std::printf("ready\n");
        std::fflush(stdout);
    });
    int code = application.run();
    std::printf("exited %d\n", code);
    std::fflush(stdout);
    MainWindowController::resetSharedInstance();
    return code;
}
