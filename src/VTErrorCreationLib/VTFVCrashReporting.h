// The reporting client's crash reporter: FVCrashReporter with signal
// handler type 1, symbol strategy 2 and the configuration's crash-dump
// folder as its report folder.
#pragma once

#include <memory>
#include <string>

#include "VTErrorCreationLib/VTCrashReporting.h"

class FVCrashReporter;

class VTFVCrashReporting : public VTCrashReporting {
  public:
    explicit VTFVCrashReporting(const std::string& crashDumpsPath);

    bool enableCrashReporter(platform::Error* error) override;
    void enableUncaughtExceptionHandler() override;
    void handleUncaughtException(const platform::Exception& exception) override;
    std::optional<platform::Data> generateLiveReport() override;
    std::string crashReportPath() const override;

    /// The factory to hand to VTClient::setCrashReporterFactory.
    static VTCrashReportingFactory factory();

  private:
    std::shared_ptr<FVCrashReporter> reporter_;
};
