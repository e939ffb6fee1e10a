#include <gtest/gtest.h>

#include <cmath>

#include "OstrelUI/Controls/OstrelUIProgressIndicator.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "QtTestApp.h"

using namespace ostrelui;
using ostrelui_test::qtApp;
using ostrelui_test::renderWidget;

namespace {
// A bar placed by a layout in a 300 x 22 frame: after the first draw it is
// 300 x 20 with radius 10, so pointsToRightBezel is 286.
struct Bar {
    bool app = (qtApp(), true);
    QWidget parent;
    OstrelUIProgressIndicator* bar;
    Bar() {
        parent.resize(400, 100);
        bar = new OstrelUIProgressIndicator(&parent);
        bar->setGeometry(5, 7, 300, 22);
    }
};
}  // namespace

TEST(ProgressIndicator, FirstDrawTakesGeometryAndKeepsTheBarInPlace) {
    Bar b;
    b.bar->prepareFrame();
    EXPECT_TRUE(b.bar->initialized());
    EXPECT_EQ(b.bar->barWidth(), 300);
    EXPECT_EQ(b.bar->barHeight(), 20);
    EXPECT_EQ(b.bar->radius(), 10.0f);
    EXPECT_EQ(b.bar->pointsToRightBezel(), 286.0f);
    b.bar->move(50, 50);
    b.bar->prepareFrame();
    EXPECT_EQ(b.bar->pos(), QPoint(5, 7));
    // A layout that narrows the bar: the track follows, so it is never
    // drawn past the widget's right edge.
    b.bar->setGeometry(5, 7, 200, 22);
    b.bar->prepareFrame();
    EXPECT_EQ(b.bar->barWidth(), 200);
    EXPECT_EQ(b.bar->pos(), QPoint(5, 7));
}

TEST(ProgressIndicator, SquareShapeBeforeFirstDrawGivesRadiusZero) {
    Bar b;
    b.bar->setProgressBarShape(1);
    b.bar->setDoubleValue(100);
    const double w = b.bar->prepareFrame();
    EXPECT_EQ(b.bar->radius(), 0.0f);
    const auto fill = b.bar->progressFill(w, 20);
    ASSERT_TRUE(fill);
    EXPECT_EQ(fill->path.boundingRect(), QRectF(0, 1, 300, 20));
}

TEST(ProgressIndicator, DeterminateFillShapes) {
    Bar b;
    b.bar->prepareFrame();
    b.bar->setDoubleValue(0);
    EXPECT_FALSE(b.bar->progressFill(b.bar->prepareFrame(), 20));  // track only

    b.bar->setDoubleValue(50);
    const double half = b.bar->prepareFrame();
    EXPECT_DOUBLE_EQ(half, 150);
    auto fill = b.bar->progressFill(half, 20);
    ASSERT_TRUE(fill);
    EXPECT_FALSE(fill->rounded);
    EXPECT_EQ(fill->path.boundingRect(), QRectF(10, 1, 150, 20));

    // Exactly pointsToRightBezel: rounded, and as wide as w + radius.
    fill = b.bar->progressFill(286, 20);
    ASSERT_TRUE(fill);
    EXPECT_TRUE(fill->rounded);
    EXPECT_EQ(fill->path.boundingRect(), QRectF(0, 1, 296, 20));
    // Never wider than the bar.
    fill = b.bar->progressFill(299, 20);
    EXPECT_EQ(fill->path.boundingRect().width(), 300);
}

TEST(ProgressIndicator, EmptyRangeShowsNoProgressInsteadOfDividingByZero) {
    Bar b;
    b.bar->setMaxValue(0);
    b.bar->setDoubleValue(5);
    const double w = b.bar->prepareFrame();
    EXPECT_EQ(b.bar->percentComplete(), 0.0f);
    EXPECT_FALSE(std::isnan(w));
    EXPECT_FALSE(b.bar->progressFill(w, 20));
}

TEST(ProgressIndicator, IndeterminatePhaseAndStripes) {
    Bar b;
    b.bar->setIndeterminate(true);
    for (int i = 1; i <= 24; ++i) {
        b.bar->prepareFrame();
        ASSERT_EQ(b.bar->progressOffset(), i);
    }
    b.bar->prepareFrame();
    EXPECT_EQ(b.bar->progressOffset(), 0);
    EXPECT_EQ(OstrelUIProgressIndicator::stripeCount(300), 37);
    EXPECT_EQ(OstrelUIProgressIndicator::stripeCount(0), 25);
    const QRectF stripe = b.bar->stripeWithOrigin(QPointF(100, 1)).boundingRect();
    EXPECT_EQ(stripe, QRectF(92, 1, 20, 20));
}

TEST(ProgressIndicator, AnimationStartStopRules) {
    Bar b;
    b.bar->setDoubleValue(40);
    b.bar->startAnimation(nullptr);
    const QTimer* timer = b.bar->animatorTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 33);
    b.bar->startAnimation(nullptr);
    EXPECT_EQ(b.bar->animatorTimer(), timer);  // a second start does nothing
    b.bar->stopAnimation(b.bar);               // by itself, below the maximum
    EXPECT_NE(b.bar->animatorTimer(), nullptr);
    int other = 0;
    b.bar->stopAnimation(&other);
    EXPECT_EQ(b.bar->animatorTimer(), nullptr);

    // Not displayed while stopped: reaching the maximum stops the timer.
    b.bar->setDisplayedWhenStopped(false);
    b.bar->startAnimation(nullptr);
    b.bar->setDoubleValue(100);
    EXPECT_EQ(b.bar->animatorTimer(), nullptr);
}

TEST(ProgressIndicator, PaintsFlatFillOverFlatTrack) {
    Bar b;
    b.bar->setProgressBarGradientStyle(1);
    b.bar->setDoubleValue(50);
    const QImage image = renderWidget(*b.bar);
    EXPECT_EQ(image.pixelColor(80, 10), colorWithDeviceHex(0x36ADE1));
    const QColor track = image.pixelColor(250, 10);
    EXPECT_EQ(track.red(), 226);
    EXPECT_EQ(track.green(), 226);
}

TEST(ProgressBarBezelBorder, GeometryFromFrame) {
    qtApp();
    OstrelUIProgressBarBezelBorder bezel(QRect(0, 0, 306, 28));
    EXPECT_EQ(bezel.borderWidth(), 303);
    EXPECT_EQ(bezel.borderHeight(), 25);
    EXPECT_EQ(bezel.radius(), 12.0f);
    EXPECT_EQ(bezel.valueX(), 2);
    const QImage image = renderWidget(bezel);
    EXPECT_TRUE(bezel.initialized());
    EXPECT_GT(image.pixelColor(150, 14).red(), 240);
}
