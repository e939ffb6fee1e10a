#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QTest>

#include "KitTestSupport.h"
#include "OstrelUI/Controls/OstrelUITintedPopupButton.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "QtTestApp.h"

using namespace ostrelui;
using namespace ostrelui_test;

TEST(OstrelUITintedPopupButton, ColoursByStyleAndState) {
    qtApp();
    const QColor white = QColor::fromRgbF(1, 1, 1, 1), clear(Qt::transparent);
    const QColor style2Normal = QColor::fromRgbF(0.99f, 0.84f, 0.45f, 1);
    const QColor style2Fill = QColor::fromRgbF(0.0f, 0.54f, 0.78f, 1);
    const QColor style2Border = QColor::fromRgbF(0.44f, 0.78f, 0.93f, 1);
    struct Case {
        unsigned style, state;
        bool enabled;
        QColor fill, border;
    } cases[] = {
        {0, 0, true, PelgraveUIButtonDefaultColor(), clear},
        {0, 1, true, PelgraveUIButtonHoverColor(), clear},
        {0, 2, true, PelgraveUIButtonClickedColor(), clear},
        {0, 1, false, PelgraveUIButtonDisabledColor(), clear},
        {1, 0, true, white, PelgraveUIButtonDefaultColor()},
        {1, 2, true, white, PelgraveUIButtonClickedColor()},
        {1, 1, false, white, PelgraveUIButtonDisabledColor()},
        {2, 0, true, white, style2Normal},
        {2, 1, true, white, PelgraveUIButtonHoverColor()},
        {2, 2, true, style2Fill, style2Border},
        {2, 2, false, white, PelgraveUIButtonDisabledColor()},
        {3, 0, true, white, clear},
        {7, 2, true, white, clear},
    };
    for (const Case& c : cases) {
        OstrelUITintedPopupButton b;
        b.setButtonStyle(c.style);
        b.setEnabled(c.enabled);
        b.setUIState(c.state);
        EXPECT_EQ(b.backgroundColor(), c.fill) << c.style << "/" << c.state << "/" << c.enabled;
        EXPECT_EQ(b.borderColor(), c.border) << c.style << "/" << c.state << "/" << c.enabled;
    }
}

TEST(OstrelUITintedPopupButton, HoverAndTheOpenMenuDrive) {
    qtApp();
    QWidget window;
    auto* b = new OstrelUITintedPopupButton(&window);
    b->setGeometry(0, 0, 100, 30);
    b->addItems({QStringLiteral("English"), QStringLiteral("Deutsch")});
    b->setButtonStyle(2);
    QPixmap image(10, 10), alternate(10, 10);
    image.fill(Qt::black);
    alternate.fill(Qt::red);
    b->setImage(image);
    b->setAlternateImage(alternate);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(b, &enter);
    EXPECT_EQ(b->uiState(), 1u);
    EXPECT_EQ(b->borderWidth(), 2);
    EXPECT_TRUE(b->mouseInside());

    b->showPopup();
    EXPECT_TRUE(b->isMenuShown());
    EXPECT_EQ(b->uiState(), 2u);
    const QImage open = renderWidget(*b);
    EXPECT_TRUE(colorNear(open.pixel(5, 15), 0x008AC7)) << hex(open.pixel(5, 15));
    EXPECT_TRUE(colorNear(open.pixel(50, 15), 0xFF0000)) << "alternate image while open";

    b->hidePopup();
    EXPECT_FALSE(b->isMenuShown());
    EXPECT_EQ(b->uiState(), 0u);
    EXPECT_EQ(b->currentImage().cacheKey(), image.cacheKey()) << "the image is back";
    const QImage closed = renderWidget(*b);
    EXPECT_TRUE(colorNear(closed.pixel(50, 15), 0x000000)) << hex(closed.pixel(50, 15));
    EXPECT_TRUE(colorNear(closed.pixel(5, 15), 0xFFFFFF)) << hex(closed.pixel(5, 15));
    // The title is drawn too, beside and under the image: some of its
    // pixels lie left of the image.
    int titlePixels = 0;
    for (int y = 4; y < closed.height() - 4; ++y)
        for (int x = 10; x < 44; ++x) titlePixels += qGray(closed.pixel(x, y)) < 160;
    EXPECT_GT(titlePixels, 5) << "the title beside the image";
}
