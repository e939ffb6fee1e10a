// The first thing the program does: switch on the in-house error reporting
// before the user interface starts. A failure here is logged and never stops
// the installer.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/System/Bundle.h"
#include "Platform/System/SystemLog.h"
#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"

/// The fixed base folder of the installer's error reports (resolved through
/// the path root).
inline constexpr std::string_view kPelErrorReportingBasePath = "/var/tmp/com.pelgrave.installer";

/// The steps of the start-up that can fail, replaceable in tests.
struct PelErrorReportingSteps {
    /// The configuration on a base folder, or nothing when none can be made.
    std::function<std::optional<VTSCDConfiguration>(const std::string& basePath)> configuration;
    /// The in-process client, or null with an error.
    std::function<std::shared_ptr<VTClient>(VTSCDConfiguration, platform::Error*)> client;

    /// The library's own: the hard-coded configuration and the embedded client.
    static PelErrorReportingSteps standard();
};

/// Builds the reporting configuration on the fixed base folder, makes the
/// embedded client, gives it the product name (`PEL_PRODUCT_NAME`) and
/// version ("CFBundleShortVersionString") of `mainBundle` and begins
/// reporting. When any step fails, logs "Could not initialize Vantrel (%@)"
/// with the description of the last error (or "(null)") to `log`.
/// Returns the client, or null when none was made.
std::shared_ptr<VTClient> PelStartErrorReporting(
    const platform::Bundle& mainBundle, platform::LogSink& log,
    const PelErrorReportingSteps& steps = PelErrorReportingSteps::standard());
