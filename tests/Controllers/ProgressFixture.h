// The shell on a fixture bundle with a product plug-in that owns a real step
// list and slideshow on a fake clock, and sends install pings through a
// recording HTTP client.
#pragma once

#include <chrono>

#include "Controllers/InstallProgressViewController.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/MiddleRowView.h"
#include "Controllers/ProgressAnimationViewController.h"
#include "Downloader/PelInstallPingUtils.h"
#include "Downloader/PingTestSupport.h"
#include "OstrelUI/Controls/OstrelUIContainers.h"
#include "OstrelUI/Controls/OstrelUIProgressIndicator.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "ShellFixture.h"
#include "support/FakeClock.h"

namespace progresstest {

using namespace shelltest;

/// The product plug-in's progress part, as the product plug-in wires it.
class ProgressPlugin : public FakePlugin {
  public:
    std::unique_ptr<LeftNavigationViewController> left;
    std::unique_ptr<ProgressAnimationViewController> animation;
    std::shared_ptr<PelInstallPingUtils> pings;
    bool offersManifest = true;
    std::string manifestFolder;
    std::vector<std::string> manifests;
    std::vector<std::string> downloadFailures;
    int downloadsComplete = 0;

    explicit ProgressPlugin(const std::shared_ptr<platform::Clock>& clock) {
        left = std::make_unique<LeftNavigationViewController>(nullptr, clock);
        left->setCenterBarNeutralImageName(QStringLiteral("bg-status-neutral"));
        animation = std::make_unique<ProgressAnimationViewController>(clock);
        implemented.insert(
            {IFPluginOperation::setInstallationProgressStatusWithCompletionHandler,
             IFPluginOperation::animateProgressViewNow, IFPluginOperation::performInstallPing,
             IFPluginOperation::manifestLocation, IFPluginOperation::downloadFSDComplete,
             IFPluginOperation::downloadFSDFailedWithError});
    }

    bool respondsTo(IFPluginOperation operation) const override {
        if (operation == IFPluginOperation::manifestAvailable) return offersManifest;
        return FakePlugin::respondsTo(operation);
    }
    void setProgressStatus(unsigned status) override {
        FakePlugin::setProgressStatus(status);
        platform::MainQueue::shared()->async([this, status] { left->setProgressStatus(status); });
    }
    void setInstallationProgressStatusWithCompletionHandler(std::function<void()> done) override {
        platform::MainQueue::shared()->async([this, done] {
            animation->checkAndSkipPhishingScreen(
                [this, done] { left->setInstallationProgressStatusWithCompletionHandler(done); });
        });
    }
    void animateProgressViewNow() override { animation->showProgressViewAnimation(); }
    bool performInstallPing(std::shared_ptr<StatPing>* pinger) override {
        *pinger = pings;
        return pings != nullptr;
    }
    std::string manifestLocation() override { return manifestFolder; }
    void manifestAvailable(const std::string& path) override { manifests.push_back(path); }
    void downloadFSDComplete(bool) override { ++downloadsComplete; }
    void downloadFSDFailedWithError(const std::string& e) override {
        downloadFailures.push_back(e);
    }
};

class ProgressTest : public ShellTest {
  protected:
    void SetUp() override {
        ShellTest::SetUp();
        pings_ = PelInstallPingUtils::createInstallPingUtilsWithQueueName(
            std::string("com.pelgrave.installPing"), std::string("Ostrel Test"), std::string("2.0"),
            std::string("200"), std::nullopt, std::string("MID"));
        pings_->setHttpClient(http_);
        PluginRegistry::registerPlugin("TestPlugin", [this] {
            auto plugin = std::make_shared<ProgressPlugin>(clock_);
            plugin->pings = pings_;
            progress_ = plugin;
            plugin_ = plugin;
            return plugin;
        });
    }
    void TearDown() override {
        if (!http_->requests().empty()) http_->waitUntilSettled();
        progress_.reset();
        ShellTest::TearDown();
    }

    /// Moves the fake clock on in small steps, letting the event loop run
    /// the animations' next-turn completions in between.
    void drive(double seconds) {
        const auto step = std::chrono::milliseconds(250);
        for (double t = 0; t < seconds - 1e-9; t += 0.25) {
            clock_->advance(step);
            pump(6);
        }
    }

    /// The fields of the pings sent so far, in order.
    std::vector<std::map<std::string, std::string>> pings() {
        if (!http_->requests().empty()) http_->waitUntilSettled();
        std::vector<std::map<std::string, std::string>> out;
        for (const auto& request : http_->requests()) {
            std::map<std::string, std::string> fields;
            for (auto& [k, v] : pingtest::queryFields(request.url())) fields[k] = v;
            out.push_back(fields);
        }
        return out;
    }

    LeftNavigationViewController& left() { return *progress_->left; }
    ProgressAnimationViewController& animation() { return *progress_->animation; }
    InstallProgressViewController& installScreen() {
        return *main().installProgressViewController();
    }

    std::shared_ptr<testsupport::FakeClock> clock_ = std::make_shared<testsupport::FakeClock>();
    std::shared_ptr<pingtest::ObservingHttpClient> http_ =
        std::make_shared<pingtest::ObservingHttpClient>(
            std::make_shared<pingtest::ScriptedHttpClient>());
    std::shared_ptr<PelInstallPingUtils> pings_;
    std::shared_ptr<ProgressPlugin> progress_;
};

}  // namespace progresstest
