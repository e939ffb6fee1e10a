#include "VTErrorCreationLib/VTFVCrashReporting.h"

#include "FVCrashReporter/Source/FVCrashReporter.h"

VTFVCrashReporting::VTFVCrashReporting(const std::string& crashDumpsPath) {
    auto config = std::make_shared<FVCrashReporterConfig>(
        1, 2, crashDumpsPath.empty() ? std::nullopt : std::optional<std::string>(crashDumpsPath));
    reporter_ = FVCrashReporter::initWithConfiguration(std::move(config));
}

bool VTFVCrashReporting::enableCrashReporter(platform::Error* error) {
    return reporter_->enableCrashReporter(error);
}

void VTFVCrashReporting::enableUncaughtExceptionHandler() {
    reporter_->enableUncaughtExceptionHandler();
}

void VTFVCrashReporting::handleUncaughtException(const platform::Exception& exception) {
    FVCrashReporter::handleUncaughtException(exception);
}

std::optional<platform::Data> VTFVCrashReporting::generateLiveReport() {
    return reporter_->generateLiveReport(nullptr);
}

std::string VTFVCrashReporting::crashReportPath() const { return reporter_->crashReportPath(); }

VTCrashReportingFactory VTFVCrashReporting::factory() {
    return [](const std::string& crashDumpsPath) -> std::shared_ptr<VTCrashReporting> {
        try {
            return std::make_shared<VTFVCrashReporting>(crashDumpsPath);
        } catch (const platform::Exception&) {
            return nullptr;  // no identifier or process name to file reports under
        }
    };
}
