// Review pictures of the progress screens (ctest -L screens):
// <build>/screens/progress/.
#include <gtest/gtest.h>

#include "ProgressFixture.h"

namespace progresstest {
namespace {

class ProgressScreens : public ProgressTest {
  protected:
    void SetUp() override {
        ProgressTest::SetUp();
        if (!std::getenv("PEL_UI_GRAB_DIR")) GTEST_SKIP() << "PEL_UI_GRAB_DIR is not set";
        info_["PEL_BASE_PACKAGES"] = platform::Array{platform::Dictionary{{"pkgName", "A.pkg"}},
                                                     platform::Dictionary{{"pkgName", "B.pkg"}},
                                                     platform::Dictionary{{"pkgName", "C.pkg"}}};
    }
    void grab(QWidget* widget, const QString& name) {
        pump();
        ReviewPictures::capture(widget, main().installStatus(), name);
    }
    QWidget* box() { return animation().animationBox(); }
};

TEST_F(ProgressScreens, DownloadInstallSlideshowAndStepList) {
    launch(true);
    fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
    pump();
    main().window()->show();

    // Download screen: second of three files, a quarter in.
    main().startFSD();
    pump();
    fsd_->delegate->numberOfJobs(1, 3);
    fsd_->delegate->downloadDidBegin();
    fsd_->delegate->downloadDidFinish();
    fsd_->delegate->downloadDidBegin();
    fsd_->delegate->downloadSize(4000000);
    fsd_->delegate->downloadWithDataOfLength(1000000);
    grab(main().window(), QStringLiteral("download"));

    // Install screen at 0, 50 and 100 %.
    engine_->completes = false;
    main().setBasePkgs(info_["PEL_BASE_PACKAGES"].asArray() ? *info_["PEL_BASE_PACKAGES"].asArray()
                                                            : platform::Array());
    main().performInstallOnly();
    drive(3);
    engine_->waitIdle();
    grab(main().window(), QStringLiteral("install-0"));
    auto* screen = main().installProgressViewController();
    screen->installProgressPercent(50);
    screen->packagesCompleted(1);
    pump();
    grab(main().window(), QStringLiteral("install-50"));
    screen->installProgressPercent(100);
    screen->packagesCompleted(2);
    pump();
    grab(main().window(), QStringLiteral("install-100"));

    // Slideshow, step by step (the animations take no time here).
    ProgressAnimationViewController& show = animation();
    show.showDidYouKnowScreen();
    show.didYouKnowBigText->show();
    grab(box(), QStringLiteral("slideshow-1-teaser"));
    show.didYouKnowBigText->hide();
    show.showProgressViewAnimation();
    pump();
    drive(4);
    grab(box(), QStringLiteral("slideshow-2-phishing-line-1"));
    drive(6);
    grab(box(), QStringLiteral("slideshow-3-phishing-line-2"));
    drive(5);
    grab(box(), QStringLiteral("slideshow-4-phishing-line-3"));
    drive(4.5);
    grab(box(), QStringLiteral("slideshow-5-product"));
    show.showInstallCompleteScreen();
    drive(1);
    grab(box(), QStringLiteral("slideshow-6-completed"));
    grab(main().window(), QStringLiteral("install-completed"));

    // Step list for every code.
    for (unsigned code = 0; code <= 14; ++code) {
        left().setProgressStatus(code);
        drive(2.5);
        grab(&left(), QStringLiteral("steps-code-%1").arg(code, 2, 10, QLatin1Char('0')));
    }
}

}  // namespace
}  // namespace progresstest
