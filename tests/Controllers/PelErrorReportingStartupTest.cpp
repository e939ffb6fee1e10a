#include <gtest/gtest.h>

#include <fstream>

#include "Controllers/PelErrorReportingStartup.h"
#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/VTClientTestSupport.h"

namespace {

using vtclienttest::ClientTree;

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>PEL_PRODUCT_NAME</key><string>Ostrel</string>
<key>CFBundleShortVersionString</key><string>2.1.0</string>
</dict></plist>
)";

TEST(PelErrorReportingStartup, EachFailureIsLoggedOnceAndTheProgramGoesOn) {
    ClientTree tree;
    const std::string bundlePath = tree.temp().file("PelInstaller.app");
    tree.temp().write("PelInstaller.app/Contents/Info.plist", kInfoPlist);
    platform::Bundle bundle(bundlePath);

    PelErrorReportingSteps noConfiguration = PelErrorReportingSteps::standard();
    noConfiguration.configuration = [](const std::string&) { return std::nullopt; };
    PelErrorReportingSteps noClient = PelErrorReportingSteps::standard();
    noClient.client = [](VTSCDConfiguration, platform::Error* error) {
        platform::setError(error,
                           platform::Error("Test", 7, {{"NSLocalizedDescription", "no client"}}));
        return std::shared_ptr<VTClient>();
    };
    struct Case {
        const char* name;
        PelErrorReportingSteps steps;
        const char* line;
        bool client;
    } cases[] = {
        {"no configuration", noConfiguration, "Could not initialize Vantrel ((null))", false},
        {"no client", noClient, "Could not initialize Vantrel (no client)", false},
        {"no crash reporting", PelErrorReportingSteps::standard(),
         "Could not initialize Vantrel (Not configured with crash reporting)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::RecordingLogSink log;
        auto client = PelStartErrorReporting(bundle, log, c.steps);
        EXPECT_EQ(log.messages(), std::vector<std::string>{c.line});
        EXPECT_EQ(client != nullptr, c.client);
        if (client) {
            EXPECT_EQ(VTClient::currentClient(), client);
            EXPECT_EQ(client->productName(), "Ostrel");
            EXPECT_EQ(client->productVersion(), "2.1.0");
            EXPECT_EQ(*client->scdConfiguration()->basePath(),
                      platform::Paths::resolve("/var/tmp/com.pelgrave.installer"));
        }
    }
}

TEST(PelErrorReportingStartup, WithCrashReportingNothingIsLogged) {
    ClientTree tree;
    platform::Bundle bundle(tree.temp().path().string());
    auto reporter = std::make_shared<vtclienttest::FakeCrashReporter>();
    VTClient::setCrashReporterFactory([&](const std::string&) { return reporter; });
    PelErrorReportingSteps steps = PelErrorReportingSteps::standard();
    steps.configuration = [](const std::string& base) -> std::optional<VTSCDConfiguration> {
        auto configuration = VTSCDConfiguration::hardcodedConfigurationUsingPath(base);
        configuration.setEnableCrashDumps(true);
        return configuration;
    };
    platform::RecordingLogSink log;
    auto client = PelStartErrorReporting(bundle, log, steps);
    ASSERT_TRUE(client);
    EXPECT_TRUE(log.messages().empty());
    EXPECT_FALSE(client->productName()) << "a missing key gives none";
}

}  // namespace
