#include <gtest/gtest.h>

#include "Engine/PelRequirement.h"
#include "ProgressFixture.h"

namespace progresstest {
namespace {

using platform::Dictionary;
using platform::Value;

class InstallProgressTest : public ProgressTest {
  protected:
    void SetUp() override {
        ProgressTest::SetUp();
        info_["PEL_BASE_PACKAGES"] =
            platform::Array{Dictionary{{"pkgName", "A.pkg"}}, Dictionary{{"pkgName", "B.pkg"}},
                            Dictionary{{"pkgName", "C.pkg"}}};
    }
    void start(bool withManifest = false) {
        launch(withManifest);
        main().setUiOptionsClicked(0x5);
        installScreen().setClock(clock_);
    }
    /// Runs `call` on an engine-like serial queue and lets its effects land.
    void fromEngine(const std::function<void(InstallProgressProtocol&)>& call) {
        auto queue = platform::SerialQueue::create("com.xpcinstall.serial.queue");
        InstallProgressProtocol& screen = installScreen();
        queue->async([&] { call(screen); });
        queue->sync([] {});
        pump();
    }
    static std::shared_ptr<PelRequirement> requirement(const std::string& kind, Dictionary check,
                                                       const std::string& id) {
        return PelRequirement::createRequirement("APP", std::make_shared<PelIE>("t", "m", "ERROR"),
                                                 Value(), kind, id, Value(std::move(check)),
                                                 nullptr);
    }
    int count(const std::string& error) {
        int n = 0;
        for (auto& ping : pings()) n += ping["error"] == error;
        return n;
    }
};

TEST_F(InstallProgressTest, EveryFailureSendsItsPingAndScreen) {
    start();
    const std::string installer = dir_.file("root/usr/sbin/installer");
    const Dictionary failure{{"termStatus", 3}, {"failureReason", "disk full"}, {"md5Hash", "ab"}};
    struct Case {
        const char* name;
        std::function<void(InstallProgressProtocol&)> call;
        bool installerPresent;
        std::string a, b;
        const char* screen;
    };
    const std::vector<Case> cases = {
        {"no installer", [](auto& s) { s.installComplete(302); }, false, "-373",
         "Installer /usr/sbin/installer is missing", "errorView"},
        {"competitive",
         [](auto& s) {
             s.installFailedWithRequirement(
                 requirement("InstallMatrix", {{"IMType", "INSTALL_COMPETITIVE"}}, "R-COMP"));
         },
         true, "-374", "R-COMP", "competitiveErrorView"},
        {"phase",
         [](auto& s) {
             s.installProgressPhaseString("Writing files");
             s.installComplete(302);
         },
         true, "-396", "Writing files", "errorView"},
        {"mandatory",
         [&](auto& s) {
             s.setInstallFailedPingDataForMandatoryPackage(failure);
             s.installComplete(302);
         },
         true, "-381", "disk full", "errorView"},
        {"timed out", [](auto& s) { s.installComplete(305); }, true, "-375", "installer timed out",
         "errorView"},
        {"missing package", [](auto& s) { s.installFailedWithMissingBasePackage(); }, true, "-397",
         "Your installer is either corrupted or missing important resources. Please try again "
         "later or <A action=\"openSupport:\">contact Support</A>.",
         "warningView"},
        {"helper nil", [](auto& s) { s.installFailedWithHelperTool(nullptr); }, true, "-398",
         "Failed to launch helper", "errorView"},
        {"helper error",
         [](auto& s) {
             platform::Error underlying("NSOSStatusErrorDomain", -60005, {});
             underlying.setUserInfoValue(std::string(platform::kLocalizedFailureReasonErrorKey),
                                         "denied");
             platform::Error error("InstallErrorDomain", -1, {});
             error.setUnderlyingError(underlying);
             s.installFailedWithHelperTool(&error);
         },
         true, "-398", "denied", "errorView"},
        {"authorisation", [](auto& s) { s.installFailedWithAuthorization(); }, true, "-399",
         "Insufficient Privileges", "warningView"},
        {"requirement",
         [](auto& s) {
             s.installFailedWithRequirement(requirement("PathCheck", {{"Path", "/x"}}, "R-PATH"));
         },
         true, "-400", "R-PATH", "errorView"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(installer);
        if (c.installerPresent) dir_.write("root/usr/sbin/installer", "");
        const std::size_t before = pings().size();
        fromEngine(c.call);
        auto sent = pings();
        ASSERT_EQ(sent.size(), before + 1);
        EXPECT_EQ(sent.back()["error"], "1");
        EXPECT_EQ(sent.back()["a"], c.a);
        EXPECT_EQ(sent.back()["b"], c.b);
        EXPECT_EQ(sent.back()["U"],
                  std::string(c.a == "-381" ? "" : "5"));  // package pings carry no U
        EXPECT_EQ(centerContent()->objectName(), c.screen);
    }
    // A requirement the installer does not run is the plug-in's to report.
    const std::size_t before = pings().size();
    fromEngine([](auto& s) {
        s.installFailedWithRequirement(
            PelRequirement::createRequirement("PLUGIN", nullptr, Value(), std::string("Misc"),
                                              "R-P", Value(Dictionary{{"X", 1}}), nullptr));
    });
    EXPECT_EQ(pings().size(), before);
}

TEST_F(InstallProgressTest, AnInstallFromStartToSuccess) {
    start();
    engine_->completes = false;
    main().performInstallOnly();
    EXPECT_EQ(installScreen().progressStatusText->text(), "Package 1 of 3");
    drive(3);  // the step list hands the install-start handler back
    engine_->waitIdle();
    pump();
    EXPECT_EQ(engine_->installs, 1);
    fromEngine([](InstallProgressProtocol& p) {
        p.installProgressPercent(10);
        p.packagesCompleted(1);
        p.installProgressPercent(50);
    });
    EXPECT_EQ(centerContent()->objectName(), "installProgressView");
    EXPECT_EQ(installScreen().progressStatusText->text(), "Package 2 of 3");
    EXPECT_EQ(installScreen().progressBar->doubleValue(), 50.0);
    EXPECT_TRUE(main().isProgressAnimationStarted());
    EXPECT_EQ(count("100"), 1);

    clock_->advance(std::chrono::milliseconds(1234));
    engine_->pluginFinished(true);
    engine_->waitIdle();
    pump();
    auto sent = pings();
    EXPECT_EQ(sent.back()["error"], "0");
    EXPECT_EQ(sent.back()["h"], "1234");
    EXPECT_EQ(sent.back()["U"], "5");
    EXPECT_EQ(main().installStatus(), kInstallStatusFinished);

    // One install per process: no second begin ping.
    main().performInstallOnly();
    drive(3);
    engine_->waitIdle();
    pump();
    EXPECT_EQ(count("100"), 1);
}

TEST_F(InstallProgressTest, TryAgainAfterTheAuthorisationWarningInstallsOnce) {
    start();
    engine_->completes = false;
    engine_->script = {[](InstallProgressProtocol& p) { p.installFailedWithAuthorization(); }};
    main().performInstallOnly();
    drive(3);
    engine_->waitIdle();
    pump();
    ASSERT_EQ(engine_->installs, 1);
    EXPECT_EQ(centerContent()->objectName(), "warningView");
    main().continueWithWarning();
    drive(5);
    engine_->waitIdle();
    pump();
    drive(5);
    EXPECT_EQ(engine_->installs, 2);
}

TEST_F(InstallProgressTest, ManifestCopyOnlyWhenThePluginTakesIt) {
    start(true);
    main().fsdViewController()->setFsd(fsd_);
    fromEngine([](auto& s) { s.installComplete(304); });
    ASSERT_EQ(progress_->manifests.size(), 1u);
    EXPECT_EQ(progress_->manifests[0],
              geteuid() == 0 || getegid() == 0
                  ? platform::Paths::resolve("/Library/Application Support/Pelgrave/Manifest")
                  : platform::Paths::join(platform::Paths::homeDirectory(),
                                          "Library/Application Support/Pelgrave/Manifest"));
    // The plug-in's own folder is a system path: it lies under the root.
    progress_->manifestFolder = "/Library/Application Support/Pelgrave/Silo/TLW/FSD";
    fromEngine([](auto& s) { s.installComplete(304); });
    EXPECT_EQ(progress_->manifests.back(), dir_.file("root") + progress_->manifestFolder);

    progress_->offersManifest = false;
    fromEngine([](auto& s) { s.installComplete(304); });
    EXPECT_EQ(progress_->manifests.size(), 2u);
}

}  // namespace
}  // namespace progresstest
