#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QPainter>

#include "OstrelUI/Controls/PelPathAdditions.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "QtTestApp.h"

using namespace ostrelui;

TEST(ColorWithDeviceHex, SplitsComponentsAndIgnoresTopByte) {
    const QColor c = colorWithDeviceHex(0x0088c7);
    EXPECT_FLOAT_EQ(c.redF(), 0.0f);
    EXPECT_FLOAT_EQ(c.greenF(), 136.0f / 255.0f);
    EXPECT_FLOAT_EQ(c.blueF(), 199.0f / 255.0f);
    EXPECT_FLOAT_EQ(c.alphaF(), 1.0f);
    EXPECT_EQ(colorWithDeviceHex(0xff0088c7), c);
    EXPECT_EQ(colorWithDeviceHex(0xffffff), QColor(Qt::white));
}

TEST(Palette, ReturnsOneObjectPerColourWithStoredComponents) {
    EXPECT_EQ(&PelgraveUIHyperLinkColor(), &PelgraveUIHyperLinkColor());
    EXPECT_NE(&PelgraveUIBodyColor(), &PelgraveUITitleColor());
    struct Case {
        const QColor& color;
        float r, g, b;
    };
    const Case cases[] = {
        {PelgraveUIButtonDefaultColor(), 1.0f, 0.88f, 0.54f},
        {PelgraveUIHyperLinkColor(), 0.0f, 0.54f, 0.78f},
        {PelgraveUIWarningStateColor(), 0.78f, 0.1f, 0.0f},
        {PelgraveUISafeStateColor(), 0.2f, 0.6f, 0.2f},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(c.color.redF(), c.r, 1e-4);
        EXPECT_NEAR(c.color.greenF(), c.g, 1e-4);
        EXPECT_NEAR(c.color.blueF(), c.b, 1e-4);
        EXPECT_FLOAT_EQ(c.color.alphaF(), 1.0f);
    }
}

TEST(Fonts, MissingFaceYieldsNothingAndSizePassesThrough) {
    ostrelui_test::qtApp();
    EXPECT_FALSE(fontWithName(QStringLiteral("No Such Face Anywhere"), 12).has_value());
    const QStringList families = QFontDatabase::families();
    if (families.isEmpty()) GTEST_SKIP() << "no fonts installed";
    const auto font = fontWithName(families.front(), 13.5);
    ASSERT_TRUE(font.has_value());
    EXPECT_DOUBLE_EQ(font->pointSizeF(), 13.5);
}

TEST(TextPath, EmptyStringLeavesOnlyTheInitialMove) {
    ostrelui_test::qtApp();
    const QPainterPath path = pathWithAttributedString({});
    ASSERT_EQ(path.elementCount(), 1);
    EXPECT_TRUE(path.elementAt(0).isMoveTo());
    EXPECT_EQ(QPointF(path.elementAt(0)), QPointF(0, 0));
}

TEST(TextPath, RunWithoutFontUsesThePreviousRunsFont) {
    ostrelui_test::qtApp();
    QFont big;
    big.setPixelSize(40);
    QFont small;
    small.setPixelSize(10);
    // "b" carries no font: it must be drawn with the big font of the run before.
    const QPainterPath mixed = pathWithAttributedString(
        {TextRun{QStringLiteral("a"), big}, TextRun{QStringLiteral("b"), std::nullopt}});
    const QPainterPath allBig = pathWithAttributedString({TextRun{QStringLiteral("ab"), big}});
    const QPainterPath smallB = pathWithAttributedString(
        {TextRun{QStringLiteral("a"), big}, TextRun{QStringLiteral("b"), small}});
    EXPECT_NEAR(mixed.boundingRect().width(), allBig.boundingRect().width(), 1.0);
    EXPECT_GT(mixed.boundingRect().width(), smallB.boundingRect().width());
}

TEST(ShadowDrawing, NullPathDrawsAnEmptyImageOfTwiceTheBlur) {
    QImage target(50, 50, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::transparent);
    QPainter painter(&target);
    const QImage drawn =
        drawShadowUsingPath(painter, PelShadow{QPointF(0, 0), 4, Qt::black}, nullptr, 1.0);
    painter.end();
    EXPECT_EQ(drawn.size(), QSize(8, 8));
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x) ASSERT_EQ(qAlpha(drawn.pixel(x, y)), 0);
}

TEST(ShadowDrawing, ShadowFallsByItsOffsetAndPathItselfIsNotDrawn) {
    QImage target(100, 100, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::transparent);
    QPainterPath path;
    path.addRect(10, 10, 20, 20);
    QPainter painter(&target);
    // Offset height -40 moves the shadow 40 points down.
    drawShadowUsingPath(painter, PelShadow{QPointF(40, -40), 2, Qt::red}, &path, 1.0);
    painter.end();
    EXPECT_EQ(qAlpha(target.pixel(20, 20)), 0);
    EXPECT_EQ(target.pixelColor(60, 60), QColor(Qt::red));
}

TEST(BlurAndInnerShadow, StayInsideTheirAreas) {
    QImage target(100, 100, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::transparent);
    QPainterPath path;
    path.addRect(30, 30, 40, 40);
    QPainter painter(&target);
    drawBlurWithColor(painter, path, Qt::blue, 4);
    painter.end();
    EXPECT_EQ(target.pixelColor(50, 50), QColor(Qt::blue));
    EXPECT_EQ(qAlpha(target.pixel(5, 5)), 0);
    EXPECT_GT(qAlpha(target.pixel(28, 50)), 0);  // the blur spreads past the edge

    target.fill(Qt::transparent);
    QPainter inner(&target);
    applyInnerShadow(inner, path, PelShadow{QPointF(0, -5), 0, Qt::black});
    inner.end();
    // The surface above the hole casts its shadow 5 points into the top of it.
    EXPECT_EQ(qAlpha(target.pixel(50, 32)), 255);
    EXPECT_EQ(qAlpha(target.pixel(50, 50)), 0);
    EXPECT_EQ(qAlpha(target.pixel(50, 20)), 0);  // nothing outside the path
}
