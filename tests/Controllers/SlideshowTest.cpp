#include <gtest/gtest.h>

#include "ProgressFixture.h"

namespace progresstest {
namespace {

class SlideshowTest : public ProgressTest {
  protected:
    void SetUp() override {
        ProgressTest::SetUp();
        launch();
        main().setInstallStatus(kInstallStatusInstalling);
    }
};

TEST_F(SlideshowTest, ACycleRunsAndStartsOver) {
    animation().showProgressViewAnimation();
    pump();
    EXPECT_EQ(animation().animationSeqNm(), 1u);
    drive(4);  // teaser done, phishing lines on screen
    EXPECT_TRUE(animation().isPhishingAnimationRunning());
    EXPECT_TRUE(animation().phisingAnimationImage->isVisibleTo(animation().progressAnimationView));
    EXPECT_EQ(animation().didYouInfoTextField->text(),
              "use websites or emails that look legitimate.");
    drive(12);
    EXPECT_EQ(animation().didYouInfoTextField->text(),
              "then allow cybercriminals to access your private accounts.");
    drive(3.5);  // product screen (the animations take no time here)
    EXPECT_FALSE(animation().isPhishingAnimationRunning());
    EXPECT_EQ(animation().animationBox()->currentWidget(),
              static_cast<QWidget*>(animation().progressInstallScrollView));
    drive(2);  // back to the start: a second cycle
    EXPECT_EQ(animation().animationSeqNm(), 2u);
    EXPECT_EQ(animation().skippedAnimationSeq(), 0u);
    EXPECT_EQ(animation().animationBox()->currentWidget(),
              static_cast<QWidget*>(animation().progressAnimationScrollView));
}

TEST_F(SlideshowTest, SkipDuringThePhishingLines) {
    animation().showProgressViewAnimation();
    pump();
    drive(4);
    ASSERT_TRUE(animation().isPhishingAnimationRunning());
    bool ranBeforeRestart = false;
    int runs = 0;
    animation().checkAndSkipPhishingScreen([&] {
        ++runs;
        // The return to the start is 2 s after the product screen.
        ranBeforeRestart = animation().animationBox()->currentWidget() ==
                           static_cast<QWidget*>(animation().progressInstallScrollView);
    });
    EXPECT_EQ(animation().skippedAnimationSeq(), 1u);
    EXPECT_EQ(animation().animationSeqNm(), 2u);
    drive(1);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(ranBeforeRestart);
    EXPECT_FALSE(animation().isPhishingAnimationRunning());
    // The cut cycle's lines never come: at 14.5 s it would show its third
    // line; the new cycle shows its first.
    drive(9.5);
    EXPECT_EQ(animation().didYouInfoTextField->text(),
              "use websites or emails that look legitimate.");
    EXPECT_EQ(runs, 1);
    drive(11);  // the new cycle's product screen

    // Not running: at once, no counter changes.
    ASSERT_FALSE(animation().isPhishingAnimationRunning());
    const auto seq = animation().animationSeqNm();
    animation().checkAndSkipPhishingScreen([&] { ++runs; });
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(animation().animationSeqNm(), seq);
}

TEST_F(SlideshowTest, ASkipWhoseProductStepFindsTheInstallOverStillRunsTheBlock) {
    animation().showProgressViewAnimation();
    pump();
    drive(4);
    ASSERT_TRUE(animation().isPhishingAnimationRunning());
    int runs = 0;
    animation().checkAndSkipPhishingScreen([&] { ++runs; });
    main().setInstallStatus(kInstallStatusFinished);
    drive(1);
    EXPECT_EQ(runs, 1);
}

TEST_F(SlideshowTest, StopsAtStatus500AndWhenThePreferencesBegin) {
    main().setInstallStatus(kInstallStatusLaunched);
    animation().showProgressViewAnimation();
    drive(3);
    EXPECT_EQ(animation().animationSeqNm(), 0u);

    main().setInstallStatus(kInstallStatusDownloading);
    animation().showProgressViewAnimation();
    drive(4);
    EXPECT_EQ(animation().animationSeqNm(), 1u);
    animation().setIsUpdatingPreference(true);
    drive(30);
    EXPECT_EQ(animation().animationSeqNm(), 1u);
}

TEST_F(SlideshowTest, CompletedPanel) {
    animation().showInstallCompleteScreen();
    drive(1);
    EXPECT_EQ(animation().continuingSetupTextField->text(),
              "Continuing setup to update your preferences\u2026");
    EXPECT_EQ(animation().animationBox()->currentWidget(), animation().progressCompletedView);
    EXPECT_TRUE(installScreen().progressStatusText->isHidden());
}

}  // namespace
}  // namespace progresstest
