// The installer program: error reporting first, then the application.
#include <errno.h>

#include "Controllers/PelErrorReportingStartup.h"
#include "Controllers/VTClientApplication.h"
#include "Platform/Bundle.h"
#include "Platform/SystemLog.h"

int main(int argc, char* argv[]) {
    {
        platform::SystemLogSink::Options options;
        options.identity = program_invocation_short_name;
        options.copyToStderr = true;
        platform::SystemLogSink log(options);
        PelStartErrorReporting(*platform::Bundle::mainBundle(), log);
    }
    VTClientApplication application(argc, argv);
    return application.run();
}
