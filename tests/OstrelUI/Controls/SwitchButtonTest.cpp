#include <gtest/gtest.h>

#include <QTest>

#include "KitTestSupport.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUISwitchButton.h"
#include "QtTestApp.h"

using namespace ostrelui;
using namespace ostrelui_test;

namespace {

QPixmap solid(int w, int h, QColor c) {
    QPixmap p(w, h);
    p.fill(c);
    return p;
}

// A 60 x 24 switch with an 18 x 18 knob: the knob's ends are x = 1 and
// x = 60 - 18 - 1 = 41.
struct Switch {
    bool app = (qtApp(), true);
    QWidget window;
    OstrelUISwitchButton* button = new OstrelUISwitchButton(&window);
    Switch() {
        button->setGeometry(0, 0, 60, 24);
        button->setOffStateImage(solid(60, 24, Qt::gray));
        button->setOffStateToggle(solid(18, 18, Qt::white));
        button->setOnStateToggle(solid(18, 18, Qt::blue));
    }
};

}  // namespace

TEST(OstrelUISwitchButton, LoadedOnShowsTheKnobAtTheOnEnd) {
    Switch s;
    s.button->setChecked(true);  // as a layout file sets it, before it is shown
    s.window.show();
    EXPECT_EQ(s.button->knobPosition(), QPointF(41, 3));
    const QImage image = renderWidget(*s.button);
    EXPECT_TRUE(colorNear(image.pixel(50, 12), 0x0000FF)) << hex(image.pixel(50, 12));
    EXPECT_TRUE(colorNear(image.pixel(5, 12), 0xA0A0A4)) << "on without an on track: off track";
}

TEST(OstrelUISwitchButton, ToggledKnobSlidesAndEndsAtTheOtherEnd) {
    Switch s;
    s.window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&s.window));
    EXPECT_EQ(s.button->knobPosition().x(), 1);

    setAnimationScale(0.1);
    QTest::keyClick(s.button, Qt::Key_Space);
    EXPECT_TRUE(s.button->isChecked());
    EXPECT_TRUE(s.button->isSliding());
    EXPECT_LT(s.button->knobPosition().x(), 41);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !s.button->isSliding(); }, 2000));
    EXPECT_EQ(s.button->knobPosition().x(), 41);

    s.button->setChecked(false);
    s.button->setChecked(true);  // turned back mid-slide: still ends on
    EXPECT_TRUE(QTest::qWaitFor([&] { return !s.button->isSliding(); }, 2000));
    EXPECT_EQ(s.button->knobPosition().x(), 41);
    setAnimationScale(0);

    s.button->setChecked(false);
    EXPECT_FALSE(s.button->isSliding()) << "no time to slide at scale 0";
    EXPECT_EQ(s.button->knobPosition().x(), 1);
}

TEST(OstrelUISwitchButton, LabelsSitCentredBesideTheKnobAtTheirOwnSize) {
    Switch s;
    s.button->resize(120, 24);
    EXPECT_EQ(s.button->labelFont().pointSizeF(), 13) << "default label font";
    const QFontMetricsF fm(s.button->labelFont());
    s.button->setOnStateString(QStringLiteral("ON"));
    s.button->setOffStateString(QStringLiteral("OFF position"));

    QRectF r = s.button->labelRect();  // off: right of the knob
    EXPECT_DOUBLE_EQ(r.width(), fm.horizontalAdvance(QStringLiteral("OFF position")));
    EXPECT_DOUBLE_EQ(r.x(), 18 + (120 - 18 - r.width()) / 2);

    s.button->setChecked(true);  // on: left of the knob
    r = s.button->labelRect();
    EXPECT_DOUBLE_EQ(r.width(), fm.horizontalAdvance(QStringLiteral("ON")));
    EXPECT_DOUBLE_EQ(r.x(), (120 - 18 - r.width()) / 2);

    s.button->setOnStateString(QString());  // on without an on label: the off one, right
    EXPECT_DOUBLE_EQ(s.button->labelRect().x(),
                     18 + (120 - 18 - fm.horizontalAdvance(QStringLiteral("OFF position"))) / 2);
    s.button->setOffStateString(QString());
    EXPECT_TRUE(s.button->labelRect().isEmpty());
}
