#include "FVCrashReporter/Source/FVCrashHostInfo.h"

#include <errno.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "FVCrashReporter/Source/FVCrashLog.h"
#include "FVCrashReporter/Source/FVCrashSysctl.h"

namespace {

// Scans an unsigned decimal integer at `at`; false when there is none.
bool scanInteger(std::string_view text, size_t* at, unsigned* value) {
    size_t i = *at;
    unsigned long long result = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        result = result * 10 + static_cast<unsigned>(text[i] - '0');
        if (result > 0xFFFFFFFFull) return false;
        ++i;
    }
    if (i == *at) return false;
    *value = static_cast<unsigned>(result);
    *at = i;
    return true;
}

bool scanDot(std::string_view text, size_t* at) {
    if (*at >= text.size() || text[*at] != '.') return false;
    ++*at;
    return true;
}

}  // namespace

std::shared_ptr<FVCrashHostInfo> FVCrashHostInfo::currentHostInfo() {
    char* release = fvcrash_sysctl_string("kern.osrelease");
    if (!release) {
        int failure = errno;
        FVCrashLog(LOG_ERR, "Failed to fetch kern.osrelease value %d: %s", failure,
                   std::strerror(failure));
        return nullptr;
    }
    std::string text(release);
    std::free(release);
    return initWithRelease(text);
}

std::shared_ptr<FVCrashHostInfo> FVCrashHostInfo::initWithRelease(std::string_view release) {
    auto info = std::make_shared<FVCrashHostInfo>();
    FVCrashHostInfoVersion& v = info->version_;
    size_t at = 0;
    const bool complete = scanInteger(release, &at, &v.major) && scanDot(release, &at) &&
                          scanInteger(release, &at, &v.minor) && scanDot(release, &at) &&
                          scanInteger(release, &at, &v.revision);
    if (!complete) {
        FVCrashLog(LOG_ERR, "Unexpected kern.osrelease string format: %.*s",
                   static_cast<int>(release.size()), release.data());
    }
    return info;
}
