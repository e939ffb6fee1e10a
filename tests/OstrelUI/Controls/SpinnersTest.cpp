#include <gtest/gtest.h>

#include <chrono>
#include <numbers>

#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "QtTestApp.h"
#include "support/FakeClock.h"

using namespace ostrelui;
using namespace std::chrono_literals;
using ostrelui_test::qtApp;

namespace {
constexpr double kPi = std::numbers::pi;

struct SpinnerFixture : ::testing::Test {
    bool app = (qtApp(), true);
    std::shared_ptr<testsupport::FakeClock> clock = std::make_shared<testsupport::FakeClock>();
};
}  // namespace

TEST_F(SpinnerFixture, DefaultsFollowTheWidth) {
    OstrelUISpinnerView view(QRect(0, 0, 52, 52), nullptr, clock);
    const double r = 52 / 8.666666984558105;
    EXPECT_DOUBLE_EQ(view.radiusOfCircle(), r);
    EXPECT_LT(r, 6.0);
    EXPECT_DOUBLE_EQ(view.distanceFromCenterOfView(), 26 - r);
    EXPECT_EQ(view.numberOfCircles(), 8u);
    EXPECT_DOUBLE_EQ(view.animationDuration(), 0.6);
    EXPECT_TRUE(view.animates());
    EXPECT_TRUE(view.hideWhenStopped());
    EXPECT_TRUE(view.hasAnimation());
}

TEST_F(SpinnerFixture, TwelveDotsFadeAroundTheRingAndTheTurnRestarts) {
    OstrelUISpinnerView view(QRect(0, 0, 52, 52), nullptr, clock);
    clock->advance(250ms);
    EXPECT_NE(view.currentAngle(), 0);
    view.setNumberOfCircles(12);
    EXPECT_EQ(view.currentAngle(), 0);  // restarted
    const QImage& image = view.progressImage();
    const double r = view.radiusOfCircle(), d = view.distanceFromCenterOfView();
    // The first dot sits above the centre, fully opaque; the opposite one
    // (i = 6) has alpha 1 - 6/12.
    EXPECT_EQ(qAlpha(image.pixel(qRound(26 - r / 2), qRound(26 - d))), 255);
    EXPECT_NEAR(qAlpha(image.pixel(qRound(26 + r / 2), qRound(26 + d))), 128, 2);
    EXPECT_EQ(qAlpha(image.pixel(26, 26)), 0);
}

TEST_F(SpinnerFixture, TurnsInStepsOfOneDotPosition) {
    struct Case {
        double elapsed;
        double angle;
    };
    const Case cases[] = {{0, 0},   {0.07, 0},  {0.075, -kPi / 4}, {0.59, -7 * kPi / 4},
                          {0.6, 0}, {0.3, -kPi}};
    for (const Case& c : cases) {
        EXPECT_NEAR(OstrelUISpinnerView::angleAt(c.elapsed, 0.6, 8), c.angle, 1e-9) << c.elapsed;
    }
    EXPECT_EQ(OstrelUISpinnerView::angleAt(1, 0.6, 0), 0);  // no dots, no turn
    EXPECT_EQ(OstrelUISpinnerView::keyFrameValues(8).size(), 18u);
    EXPECT_EQ(OstrelUISpinnerView::keyFrameTimes(8).size(), 16u);
    EXPECT_FLOAT_EQ(OstrelUISpinnerView::keyFrameValues(8).back(), static_cast<float>(-2 * kPi));
}

TEST_F(SpinnerFixture, StoppingHidesOnlyWhenAsked) {
    QWidget parent;
    auto* view = new OstrelUISpinnerView(QRect(0, 0, 40, 40), &parent, clock);
    view->setHideWhenStopped(false);
    view->setAnimates(false);
    EXPECT_FALSE(view->isSpinnerHidden());
    EXPECT_TRUE(view->hasAnimation());  // still turning
    clock->advance(100ms);
    EXPECT_NE(view->currentAngle(), 0);
    view->setHideWhenStopped(true);
    EXPECT_TRUE(view->isSpinnerHidden());
    EXPECT_TRUE(view->isHidden());
    view->setAnimates(true);
    EXPECT_FALSE(view->isHidden());
}

TEST_F(SpinnerFixture, NotificationRestartsAndDestroyedViewIsForgotten) {
    {
        OstrelUISpinnerView view(QRect(0, 0, 40, 40), nullptr, clock);
        view.setNeedsMainWindowAnimationNotification(true);
        clock->advance(100ms);
        ASSERT_NE(view.currentAngle(), 0);
        platform::NotificationCenter::defaultCenter().post(kContentViewAnimationFinish);
        EXPECT_EQ(view.currentAngle(), 0);
        view.setNeedsMainWindowAnimationNotification(false);
    }
    // Posting after the view is gone must not reach it.
    platform::NotificationCenter::defaultCenter().post(kContentViewAnimationFinish);
}

TEST_F(SpinnerFixture, SpinningImageTurnsAtItsSpeed) {
    OstrelUISpinningImageView view(nullptr, clock);
    EXPECT_FALSE(view.isRunning());
    view.startRotationWithSpeed(2);
    clock->advance(250ms);
    EXPECT_NEAR(view.currentAngle(), -kPi, 1e-9);  // half a turn in a quarter second
    view.startRotation();                          // ignored while running
    EXPECT_NEAR(view.currentAngle(), -kPi, 1e-9);
    view.stopRotation();
    EXPECT_FALSE(view.isRunning());
    view.startRotation();
    clock->advance(250ms);
    EXPECT_NEAR(view.currentAngle(), -kPi / 2, 1e-9);
    view.animationDidStop(false);
    EXPECT_FALSE(view.isRunning());
    view.startRotation();
    view.animationDidStop(true);
    EXPECT_TRUE(view.isRunning());
}

// A held image stands still; what was started meanwhile turns on release,
// what was stopped does not.
TEST_F(SpinnerFixture, HeldSpinningImageStandsStillUntilReleased) {
    OstrelUISpinningImageView view(nullptr, clock);
    view.startRotation();
    view.setHeld(true);
    EXPECT_FALSE(view.isRunning());
    clock->advance(100ms);
    EXPECT_EQ(view.currentAngle(), 0);
    view.setHeld(false);
    EXPECT_TRUE(view.isRunning());

    view.setHeld(true);
    view.stopRotation();
    view.setHeld(false);
    EXPECT_FALSE(view.isRunning());

    view.setHeld(true);
    view.startRotation();
    EXPECT_FALSE(view.isRunning());
    view.setHeld(false);
    EXPECT_TRUE(view.isRunning());
}

TEST_F(SpinnerFixture, SpinningImagePaintsBackgroundAndImage) {
    OstrelUISpinningImageView view(nullptr, clock);
    view.resize(20, 20);
    view.setImageBackgroundColor(Qt::green);
    QImage red(20, 20, QImage::Format_ARGB32);
    red.fill(Qt::transparent);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) red.setPixelColor(x, y, Qt::red);  // top half
    view.setImage(red);
    view.startRotation();
    clock->advance(500ms);  // half a turn: the red half is now at the bottom
    const QImage image = ostrelui_test::renderWidget(view);
    EXPECT_EQ(image.pixelColor(10, 16), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(10, 3), QColor(Qt::green));
}

TEST(SpinnerPath, RotatesCounterClockwiseAboutThePoint) {
    QPainterPath dot;
    dot.addRect(QRectF(9, 0, 2, 2));  // below the centre (10, 10), y up
    const QRectF quarter =
        OstrelUISpinnerView::rotatedBezierPath(dot, static_cast<float>(kPi / 2), QPointF(10, 10))
            .boundingRect();
    EXPECT_NEAR(quarter.center().x(), 19, 1e-4);  // now to the right
    EXPECT_NEAR(quarter.center().y(), 10, 1e-4);
    EXPECT_EQ(OstrelUISpinnerView::rotatedBezierPath(dot, 0, QPointF(10, 10)), dot);
}
