#include "OstrelUI/Controls/OstrelUIGuard.h"

#include <cstdio>
#include <mutex>

#include "Platform/Values/Exception.h"

namespace ostrelui {

namespace {

std::mutex& reporterMutex() {
    static std::mutex mutex;
    return mutex;
}

ExceptionReporter& reporterSlot() {
    static ExceptionReporter reporter;
    return reporter;
}

}  // namespace

void setExceptionReporter(ExceptionReporter reporter) {
    std::lock_guard<std::mutex> lock(reporterMutex());
    reporterSlot() = std::move(reporter);
}

void reportException(const std::exception& exception) noexcept {
    try {
        ExceptionReporter reporter;
        {
            std::lock_guard<std::mutex> lock(reporterMutex());
            reporter = reporterSlot();
        }
        if (reporter) {
            reporter(exception);
        } else {
            std::fprintf(stderr, "Uncaught exception in the user interface: %s\n",
                         exception.what());
        }
    } catch (...) {
        // A failing reporter must not throw back into Qt.
    }
}

void reportCurrentException() noexcept {
    try {
        throw;
    } catch (const std::exception& exception) {
        reportException(exception);
    } catch (...) {
        try {
            const platform::Exception unknown(std::string(platform::kGenericException),
                                              "An exception of unknown type");
            reportException(unknown);
        } catch (...) {
        }
    }
}

}  // namespace ostrelui
