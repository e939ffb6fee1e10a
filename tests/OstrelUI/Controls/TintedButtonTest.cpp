#include <gtest/gtest.h>

#include <QDialog>
#include <QEnterEvent>
#include <QSignalSpy>
#include <QTest>

#include "KitTestSupport.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "QtTestApp.h"

using namespace ostrelui;
using namespace ostrelui_test;

namespace {

enum class State { Idle, Hover, Pressed, Disabled };

void enter(QWidget& w) {
    QEnterEvent e(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(&w, &e);
}

void leave(QWidget& w) {
    QEvent e(QEvent::Leave);
    QCoreApplication::sendEvent(&w, &e);
}

void putIn(OstrelUITintedButton& b, State s) {
    switch (s) {
        case State::Idle:
            break;
        case State::Hover:
            enter(b);
            break;
        case State::Pressed:
            enter(b);
            b.setMouseDown(true);
            break;
        case State::Disabled:
            b.setEnabled(false);
            break;
    }
}

struct FillCase {
    unsigned tint, shape;
    State state;
    QPoint sample;  // in a 120 x 30 button
    std::uint32_t expected;
    int tolerance;
};

}  // namespace

TEST(TintedButton, FillByTintShapeAndState) {
    qtApp();
    const QPoint middleLeft(4, 15), top(60, 0), bottom(60, 29);
    const FillCase cases[] = {
        {9, 5, State::Idle, middleLeft, 0xF8F8F8, 0},
        {9, 4, State::Idle, middleLeft, 0xFDD572, 0},
        {9, 2, State::Idle, QPoint(20, 15), 0xFFFFFF, 0},
        {9, 4, State::Hover, middleLeft, 0xFCC34F, 0},
        {9, 4, State::Pressed, middleLeft, 0xFDBB30, 0},
        {9, 4, State::Disabled, middleLeft, 0xDADADA, 0},
        {10, 4, State::Idle, top, 0xFEE189, 0},
        {10, 0, State::Idle, top, 0xFEE189, 0},
        {10, 4, State::Idle, middleLeft, 0xFFFFFF, 0},
        {10, 4, State::Hover, top, 0xFDBE2F, 0},
        {10, 4, State::Pressed, top, 0xF8994E, 0},
        {10, 4, State::Disabled, top, 0xFDF4D8, 0},
        // Gradients run from the top edge to the bottom edge.
        {0, 4, State::Idle, top, 0x1F8AC3, 3},
        {0, 4, State::Idle, bottom, 0x37BEDE, 3},
        {0, 4, State::Hover, top, 0x37BEDE, 3},
        {0, 4, State::Hover, bottom, 0x1F8AC3, 3},
        {3, 0, State::Idle, QPoint(60, 1), 0x5C8BC3, 4},  // steel's other row at shape 0
        {8, 5, State::Idle, middleLeft, 0xFF000A, 0},
        {8, 5, State::Hover, middleLeft, 0xED1919, 0},
    };
    for (const FillCase& c : cases) {
        OstrelUITintedButton b;
        b.resize(120, 30);
        b.setButtonTint(c.tint);
        b.setButtonShape(c.shape);
        putIn(b, c.state);
        const QRgb pixel = renderWidget(b).pixel(c.sample);
        EXPECT_TRUE(colorNear(pixel, c.expected, c.tolerance))
            << "tint " << c.tint << " shape " << c.shape << " state " << int(c.state) << ": "
            << hex(pixel);
    }
}

TEST(TintedButton, ShapesAndTheirCorners) {
    qtApp();
    OstrelUITintedButton b;
    const QRectF frame(0, 0, 100, 30);
    b.setButtonTint(9);
    struct Case {
        unsigned shape, tint;
        bool cornerFilled;
    } cases[] = {{4, 9, true}, {5, 9, true}, {0, 9, false}, {6, 9, false}};
    for (const auto& c : cases) {
        b.setButtonShape(c.shape);
        b.setButtonTint(c.tint);
        EXPECT_EQ(b.bezelPath(frame).contains(QPointF(0.5, 0.5)), c.cornerFilled) << c.shape;
    }
    // Shape 1: an 8 x 5 radius, 5 x 5 with tints 3 and 5.
    b.setButtonShape(1);
    b.setButtonTint(0);
    const QPointF wideCorner(1.5, 1.5);  // inside a 5 x 5 corner, outside an 8 x 5 one
    EXPECT_FALSE(b.bezelPath(frame).contains(wideCorner));
    b.setButtonTint(5);
    EXPECT_TRUE(b.bezelPath(frame).contains(wideCorner));
    b.setButtonShape(7);
    EXPECT_TRUE(b.bezelPath(frame).isEmpty());
}

TEST(TintedButton, PressDragOutAndBackClicksOnlyWhenReleasedInside) {
    qtApp();
    QWidget window;
    window.resize(300, 100);
    auto* b = new OstrelUITintedButton(QStringLiteral("Install"), &window);
    b->setGeometry(10, 10, 120, 30);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy clicks(b, &QAbstractButton::clicked);

    const QPoint inside(60, 15), outside(200, 60);
    QTest::mousePress(b, Qt::LeftButton, {}, inside);
    EXPECT_TRUE(b->mouseDown());
    QTest::mouseMove(b, outside);
    EXPECT_FALSE(b->mouseDown());
    EXPECT_TRUE(b->mouseDownOutside());
    EXPECT_FALSE(b->mouseInside());
    QTest::mouseMove(b, inside);
    EXPECT_TRUE(b->mouseDown()) << "the pressed look comes back";
    QTest::mouseRelease(b, Qt::LeftButton, {}, inside);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_FALSE(b->mouseDown());

    QTest::mousePress(b, Qt::LeftButton, {}, inside);
    QTest::mouseMove(b, outside);
    QTest::mouseRelease(b, Qt::LeftButton, {}, outside);
    EXPECT_EQ(clicks.count(), 1) << "released outside: no click";
    EXPECT_FALSE(b->mouseDown());
    EXPECT_FALSE(b->mouseDownOutside());
}

TEST(TintedButton, HoverFollowsThePointerOnlyWhileEnabled) {
    qtApp();
    OstrelUITintedButton b;
    b.resize(100, 30);
    enter(b);
    EXPECT_TRUE(b.mouseInside());
    b.resetHover();
    EXPECT_FALSE(b.mouseInside());
    b.setEnabled(false);
    enter(b);
    EXPECT_FALSE(b.mouseInside());
    b.setEnabled(true);
    enter(b);
    leave(b);
    EXPECT_FALSE(b.mouseInside());
}

TEST(TintedButton, SpaceAndReturnClickTheFocusedButton) {
    qtApp();
    OstrelUITintedButton b(QStringLiteral("Next"));
    EXPECT_EQ(b.focusPolicy(), Qt::StrongFocus);
    QSignalSpy clicks(&b, &QAbstractButton::clicked);
    QTest::keyClick(&b, Qt::Key_Space);
    QTest::keyClick(&b, Qt::Key_Return);
    QTest::keyClick(&b, Qt::Key_Enter);
    EXPECT_EQ(clicks.count(), 3);
}

TEST(TintedButton, InvalidTintDrawsTitleWithoutBezelAndReportsOnce) {
    qtApp();
    ReportRecorder recorder;
    for (unsigned tint : {1u, 11u}) {
        OstrelUITintedButton b(QStringLiteral("Go"));
        b.resize(100, 30);
        b.setButtonShape(4);
        b.setButtonTint(tint);
        b.setEnabled(true);
        const QImage first = renderWidget(b);
        renderWidget(b);
        EXPECT_EQ(qAlpha(first.pixel(2, 2)), 0) << "no bezel";
        EXPECT_TRUE(anyPainted(first)) << "the title is drawn";
    }
    EXPECT_EQ(recorder.reports,
              (std::vector<std::string>{"Invalid button tint for button kind: button tint 1",
                                        "Invalid button tint for button kind: button tint 11"}));
}

TEST(TintedButton, SizeHints) {
    qtApp();
    OstrelUITintedButton b(QStringLiteral("Download now"));
    b.resize(50, 32);
    const int plain = b.sizeHint().width();
    b.setButtonShape(1);
    EXPECT_EQ(b.sizeHint().width(), plain + 3);
    b.setButtonShape(3);
    EXPECT_EQ(b.sizeHint().width(), plain + 3);

    b.setWraps(true);
    const int text = b.fontMetrics().horizontalAdvance(b.text());
    EXPECT_EQ(b.sizeHint(), QSize(text + 20, 32));
    b.setXPadding(12);
    EXPECT_EQ(b.sizeHint(), QSize(text + 12, 32));
}

TEST(TintedButton, ADialogsDefaultButtonAnswersReturnAndEscapeRejects) {
    qtApp();
    QDialog dialog;
    auto* cancel = new OstrelUITintedButton(QStringLiteral("Later"), &dialog);
    auto* join = new OstrelUITintedButton(QStringLiteral("Join"), &dialog);
    join->setDefault(true);
    QSignalSpy joined(join, &QAbstractButton::clicked),
        cancelled(cancel, &QAbstractButton::clicked);
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    dialog.show();
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_EQ(joined.count(), 1);
    EXPECT_EQ(cancelled.count(), 0);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_EQ(rejected.count(), 1);
}

TEST(TintedButton, ImageSitsNinePointsFromTheLeftExceptOnTheDashboardArrow) {
    qtApp();
    QPixmap red(10, 10);
    red.fill(Qt::red);
    for (bool arrow : {false, true}) {
        OstrelUITintedButton b;
        b.resize(100, 30);
        b.setButtonTint(9);
        b.setButtonShape(4);
        b.setIcon(QIcon(red));
        b.setIconSize(QSize(10, 10));
        if (arrow) b.setObjectName(QStringLiteral("OrbDashboardArrowButton"));
        const QImage image = renderWidget(b);
        const int left = arrow ? 45 : 9;
        EXPECT_TRUE(colorNear(image.pixel(left, 15), 0xFF0000)) << arrow;
        EXPECT_TRUE(colorNear(image.pixel(left + 9, 15), 0xFF0000)) << arrow;
        EXPECT_FALSE(colorNear(image.pixel(left - 1, 15), 0xFF0000)) << arrow;
    }
}
