// What the reporting client needs of a crash reporter: enabling capture,
// the handler for uncaught exceptions, live reports of the running process
// and the place where a crash of an earlier run left its report.
//
// The crash reporter itself is a separate library. Until one is installed
// with VTClient::setCrashReporterFactory, a client has no crash reporter:
// beginReporting() answers "Not configured with crash reporting", liveDump()
// gives nothing and enableUncaughtExceptionHandler() does nothing.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Exception.h"
#include "Platform/Values/Value.h"

class VTCrashReporting {
  public:
    virtual ~VTCrashReporting() = default;

    /// Starts crash capture. Returns false and fills `error` when it cannot.
    virtual bool enableCrashReporter(platform::Error* error) = 0;
    /// Installs the reporter's handler for exceptions that nothing catches.
    virtual void enableUncaughtExceptionHandler() = 0;
    /// Hands an exception that nothing caught to the reporter's handler (the
    /// terminate hook calls it just before the process aborts). Does nothing
    /// while the handler is not installed.
    virtual void handleUncaughtException(const platform::Exception& exception) = 0;
    /// A crash report of the running process, or nothing when none can be made.
    virtual std::optional<platform::Data> generateLiveReport() = 0;
    /// Where a crash writes its report ("" when the reporter has no such file).
    virtual std::string crashReportPath() const = 0;
};

/// Makes the crash reporter of a client whose configuration enables crash
/// dumps; the argument is the configuration's crash-dump folder. May give
/// null (no reporter).
using VTCrashReportingFactory =
    std::function<std::shared_ptr<VTCrashReporting>(const std::string& crashDumpsPath)>;
