// The installer program: error reporting first, then the application.
#include <errno.h>

#include <cstdlib>
#include <memory>

#include "Controllers/HVKProductPlugin.h"
#include "Controllers/InstallerAppDelegate.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/PelErrorReportingStartup.h"
#include "Controllers/VTClientApplication.h"
#include "Downloader/PelFSDPingUtils.h"
#include "Downloader/StatPing.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Foundation/PelGenericUtils.h"
#include "Foundation/PelSignatureSettings.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/SystemEvents.h"
#include "Platform/System/SystemLog.h"

namespace {

// The libraries reach the running system only through what the program
// installs here, so that no test can ever restart the machine.
void installSystemServices() {
    PelGenericUtils::sharedGenUtils().setSystemEventSender(
        std::make_shared<platform::SessionManagerEventSender>());
    PelFSDPingUtils::setInstallerDirWithManifestTimeStampSource([] {
        auto utilities = PelInstallAppUtilities::sharedUtilities();
        if (!utilities) return std::string();
        return utilities->installerDirWithManifestTimeStamp().value_or(std::string());
    });
    // Development runs (scripts/run.sh) keep the statistics pings on this
    // machine: PEL_PING_HOST names the host (and port) of both endpoints.
    if (const char* host = std::getenv("PEL_PING_HOST"); host && *host)
        StatPing::setEndpointHosts(host, host);
}

}  // namespace

int main(int argc, char* argv[]) {
    PelSignatureLogTrustedKeysOnce();
    {
        platform::SystemLogSink::Options options;
        options.identity = program_invocation_short_name;
        options.copyToStderr = true;
        platform::SystemLogSink log(options);
        PelStartErrorReporting(*platform::Bundle::mainBundle(), log);
    }
    installSystemServices();
    registerProductPlugins();
    VTClientApplication application(argc, argv);
    InstallerAppDelegate delegate;
    application.setDidFinishLaunchingHandler(
        [&delegate] { delegate.applicationDidFinishLaunching(); });
    int status = application.run();
    MainWindowController::resetSharedInstance();
    return status;
}
