#include "Controllers/PelErrorReportingStartup.h"

#include "Platform/System/Paths.h"
#include "Platform/Text/Format.h"
#include "VTErrorCreationLib/VTFVCrashReporting.h"

namespace {

std::optional<std::string> infoString(const platform::Bundle& bundle, std::string_view key) {
    const auto& info = bundle.infoDictionary();
    auto it = info.find(key);
    if (it == info.end() || !it->second.isString()) return std::nullopt;
    return *it->second.asString();
}

}  // namespace

PelErrorReportingSteps PelErrorReportingSteps::standard() {
    PelErrorReportingSteps steps;
    steps.configuration = [](const std::string& basePath) -> std::optional<VTSCDConfiguration> {
        return VTSCDConfiguration::hardcodedConfigurationUsingPath(basePath);
    };
    steps.client = [](VTSCDConfiguration configuration, platform::Error* error) {
        // Crash capture is on: the client makes its reporter with this.
        VTClient::setCrashReporterFactory(VTFVCrashReporting::factory());
        return VTClient::embeddedClientWithConfig(std::move(configuration), error);
    };
    return steps;
}

std::shared_ptr<VTClient> PelStartErrorReporting(const platform::Bundle& mainBundle,
                                                 platform::LogSink& log,
                                                 const PelErrorReportingSteps& steps) {
    std::optional<platform::Error> lastError;
    std::shared_ptr<VTClient> client;
    bool begun = false;
    auto configuration = steps.configuration(platform::Paths::resolve(kPelErrorReportingBasePath));
    if (configuration) {
        platform::Error error;
        client = steps.client(std::move(*configuration), &error);
        if (client) {
            client->setProductName(infoString(mainBundle, "PEL_PRODUCT_NAME"));
            client->setProductVersion(infoString(mainBundle, "CFBundleShortVersionString"));
            platform::Error beginError;
            begun = client->beginReporting(&beginError);
            if (!begun && !beginError.empty()) lastError = beginError;
        } else if (!error.empty()) {
            lastError = error;
        }
    }
    if (!begun) {
        std::optional<std::string> description;
        if (lastError) description = lastError->localizedDescription();
        log.log(platform::kLogNotice,
                platform::format("Could not initialize Vantrel (%@)", description));
    }
    return client;
}
