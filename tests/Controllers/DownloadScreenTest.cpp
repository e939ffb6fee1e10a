#include <gtest/gtest.h>

#include "ProgressFixture.h"

namespace progresstest {
namespace {

using platform::Dictionary;

class DownloadScreenTest : public ProgressTest {
  protected:
    void SetUp() override {
        ProgressTest::SetUp();
        launch(true);
        fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
        pump();
        for (const char* name : {"A.pkg", "B.pkg", "C.pkg"})
            packages_.push_back(
                Dictionary{{"pkgName", dir_.write(std::string("root/pkgs/") + name, "x")}});
    }
    FSDViewController& screen() { return *main().fsdViewController(); }
    PelFSDProtocol& delegate() { return *fsd_->delegate; }

    platform::Array packages_;
};

TEST_F(DownloadScreenTest, PackageLinesThenTheInstall) {
    fsd_->packages = {packages_[0], packages_[2]};  // B was optional and failed
    main().startFSD();
    pump();
    EXPECT_EQ(fsd_->starts, 1);
    EXPECT_EQ(centerContent(), &screen());
    EXPECT_EQ(progress_->statuses.back(), 6u);
    delegate().numberOfJobs(1, 3);
    for (int file = 1; file <= 3; ++file) {
        delegate().downloadDidBegin();
        EXPECT_EQ(screen().downloadStatus->text(), QStringLiteral("Package %1 of 3").arg(file));
        delegate().downloadSize(2000000);
        delegate().downloadWithDataOfLength(500000);
        EXPECT_EQ(screen().downloadIndicator->doubleValue(), 500000.0);
        EXPECT_EQ(main().installStatus(), kInstallStatusDownloading);
        delegate().downloadDidFinish();  // the optional failure finishes too
    }
    pump();
    EXPECT_EQ(main().installStatus(), kInstallStatusInstalling);
    EXPECT_EQ(main().basePkgs()->size(), 2u);
    drive(3);
    engine_->waitIdle();
    EXPECT_EQ(engine_->installs, 1);
    EXPECT_EQ(FSDViewController::toMb(1500000), "1.50 MB");

    // An unknown length keeps the bar indeterminate.
    delegate().downloadSize(-1);
    EXPECT_TRUE(screen().downloadIndicator->isIndeterminate());
}

TEST_F(DownloadScreenTest, NoFilesShowsTheDownloadErrorAtOnce) {
    main().startFSD();
    delegate().numberOfJobs(1, 0);
    pump();
    EXPECT_EQ(centerContent()->objectName(), "errorView");
    EXPECT_EQ(fsd_->cancels, 1);
    ASSERT_EQ(progress_->downloadFailures.size(), 1u);
    EXPECT_EQ(progress_->downloadFailures[0],
              "We are sorry. We are unable to download the support packages that are required to "
              "complete this installation of your product. Please contact Support.");
    EXPECT_EQ(engine_->installs, 0);
}

TEST_F(DownloadScreenTest, RetryIgnoresTheOldDownloaderAndCountsAgain) {
    fsd_->packages = {packages_[0], packages_[1]};
    main().startFSD();
    pump();
    PelFSDProtocol* old = fsd_->delegate;
    old->numberOfJobs(1, 2);
    old->downloadDidBegin();
    old->downloadDidFailWithError(platform::Error("FSDErrorDomain", -1));
    pump();
    EXPECT_EQ(centerContent()->objectName(), "warningView");
    EXPECT_EQ(progress_->downloadFailures.back(),
              "We were unable to download the support packages. Please check your internet "
              "connection and try again.");

    main().continueWithWarning();  // Try Again
    pump();
    PelFSDProtocol* current = fsd_->delegate;
    ASSERT_NE(current, old);
    current->numberOfJobs(1, 2);
    // Late calls of the cancelled downloader change nothing.
    for (int i = 0; i < 3; ++i) old->downloadDidFinish();
    EXPECT_EQ(screen().remainingFiles(), 2u);
    current->downloadDidFinish();
    current->downloadDidFinish();
    current->downloadDidFinish();  // one too many: the count stays at 0
    EXPECT_EQ(screen().remainingFiles(), 0u);
    pump();
    drive(3);
    engine_->waitIdle();
    EXPECT_EQ(engine_->installs, 1);
}

TEST_F(DownloadScreenTest, DownloadOnlyNeverInstalls) {
    fsd_->packages = {packages_[0]};
    main().setInstallStatus(kInstallStatusDownloading);
    screen().performFSDDownloadOnly();
    pump();
    delegate().numberOfJobs(1, 1);
    delegate().downloadDidFinish();
    drive(3);
    EXPECT_EQ(progress_->downloadsComplete, 1);
    EXPECT_EQ(engine_->installs, 0);
    EXPECT_EQ(main().installStatus(), kInstallStatusDownloading);
}

TEST_F(DownloadScreenTest, AMissingPackageOnDiskIsAnError) {
    fsd_->packages = {Dictionary{{"pkgName", dir_.file("root/pkgs/Gone.pkg")}}};
    main().startFSD();
    pump();
    delegate().numberOfJobs(1, 1);
    delegate().downloadDidFinish();
    pump();
    EXPECT_EQ(centerContent()->objectName(), "errorView");
    EXPECT_TRUE(screen().errorString()->startsWith("Your Ostrel product requires a base package"));
    EXPECT_EQ(engine_->installs, 0);
}

}  // namespace
}  // namespace progresstest
