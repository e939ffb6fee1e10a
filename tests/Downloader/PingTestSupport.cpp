#include "Downloader/PingTestSupport.h"

#include <cstdlib>

#include "Downloader/StatPing.h"

namespace pingtest {

PingEnvironment::PingEnvironment(const testsupport::TempDir& root, const char* locale) {
    if (const char* lcAll = std::getenv("LC_ALL")) savedLocale_ = lcAll;
    setenv("LC_ALL", locale, 1);
    root.write("etc/os-release", "VERSION_ID=\"12\"\n");
    StatPing::resetCachedValuesForTesting();
    StatPing::setMachineIdSource([] { return "MACHINE-1"; });
}

PingEnvironment::~PingEnvironment() {
    StatPing::resetCachedValuesForTesting();
    StatPing::setMachineIdSource(nullptr);
    if (savedLocale_)
        setenv("LC_ALL", savedLocale_->c_str(), 1);
    else
        unsetenv("LC_ALL");
}

}  // namespace pingtest
