#include <gtest/gtest.h>

#include <QScrollBar>
#include <QWheelEvent>
#include <memory>

#include "OstrelUI/Controls/OstrelUIContainers.h"
#include "OstrelUI/Controls/OstrelUIViewController.h"
#include "OstrelUI/Controls/OstrelUIViews.h"
#include "Platform/Values/Exception.h"
#include "QtTestApp.h"

using namespace ostrelui;
using ostrelui_test::qtApp;
using ostrelui_test::renderWidget;

TEST(ViewController, DefaultsAndAbstractMethodsThrow) {
    qtApp();
    OstrelUIViewController controller;
    EXPECT_TRUE(controller.showsInBreadcrumbs());
    EXPECT_FALSE(controller.wantsTopViewControl());
    try {
        controller.goBack();
        FAIL() << "goBack returned";
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
        EXPECT_EQ(e.reason(), "Please override goBack in a subclass");
    }
    try {
        controller.handleQuitWasCancelled();
        FAIL() << "handleQuitWasCancelled returned";
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.reason(), "Please override handleQuitWasCancelled in a subclass");
    }
}

TEST(WhiteView, PaintsWhitePanelInsideTenPointMarginAndKeepsItsShadow) {
    qtApp();
    OstrelUIWhiteView view;
    view.resize(100, 80);
    view.setCornerRadius(8);
    EXPECT_FALSE(view.borderShadow().has_value());
    const QImage image = renderWidget(view);
    ASSERT_TRUE(view.borderShadow().has_value());
    EXPECT_EQ(view.borderShadow()->offset, QPointF(1, -5));
    EXPECT_EQ(view.borderShadow()->blurRadius, 5);
    EXPECT_EQ(image.pixelColor(50, 40), QColor(Qt::white));
    EXPECT_EQ(qAlpha(image.pixel(1, 1)), 0);                 // the margin's far corner
    EXPECT_NE(image.pixelColor(11, 11), QColor(Qt::white));  // rounded corner
}

TEST(GrayedOutView, FillColourRules) {
    qtApp();
    OstrelUIGrayedOutView view;
    EXPECT_EQ(view.fillColor(), QColor(Qt::black));
    view.setBackgroundColor(QColor(255, 255, 255, 128));
    EXPECT_EQ(view.fillColor().alpha(), 128);  // alpha 0 keeps the colour's own alpha
    view.setBackgroundColorAlpha(0.1f);
    EXPECT_NEAR(view.fillColor().alphaF(), 0.1, 0.01);
}

TEST(GrayedOutView, LeavesRoundedHoleOverClippedViewOnly) {
    qtApp();
    QWidget parent;
    parent.resize(200, 200);
    OstrelUIGrayedOutView overlay(&parent);
    overlay.setGeometry(0, 0, 200, 200);
    overlay.setBackgroundColor(QColor(Qt::white));
    overlay.setBackgroundColorAlpha(1.0f);
    const QImage uniform = renderWidget(overlay);
    EXPECT_EQ(uniform.pixelColor(100, 100), QColor(Qt::white));
    EXPECT_EQ(uniform.pixelColor(0, 0), QColor(Qt::white));

    QWidget hole(&parent);
    hole.setGeometry(50, 50, 100, 60);
    overlay.setViewToBeClipped(&hole);
    const QImage image = renderWidget(overlay);
    EXPECT_EQ(qAlpha(image.pixel(100, 80)), 0);   // inside the hole
    EXPECT_EQ(qAlpha(image.pixel(51, 51)), 255);  // the hole's rounded corner
    EXPECT_EQ(image.pixelColor(40, 80), QColor(Qt::white));
}

TEST(Window, IsStyledWithTransparentTitleBar) {
    qtApp();
    QWidget* content = new QWidget;
    std::unique_ptr<OstrelUIWindow> window(
        OstrelUIWindow::windowWithContentViewController(content));
    EXPECT_TRUE(window->titlebarAppearsTransparent());
    EXPECT_FALSE(window->titleVisible());
    EXPECT_TRUE(window->styleMask() & OstrelUIWindow::kFullSizeContentViewMask);
    EXPECT_TRUE(window->hasToolbar());
    EXPECT_FALSE(window->toolbarShowsBaselineSeparator());
    EXPECT_EQ(content->window(), window.get());
    // Applied as far as Qt goes: the standard buttons only, content from
    // edge to edge.
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    window->resize(300, 200);
    window->show();
    EXPECT_EQ(content->geometry(), QRect(0, 0, 300, 200));
    EXPECT_TRUE(OstrelUIGrayedOutWindow().canBecomeKeyWindow());
}

TEST(ClearTableView, OnlyAPlainScrollAreaLosesItsBackground) {
    qtApp();
    class CustomScrollArea : public QScrollArea {};
    QScrollArea plain;
    CustomScrollArea custom;
    ASSERT_TRUE(scrollAreaDrawsBackground(plain));
    ASSERT_TRUE(scrollAreaDrawsBackground(custom));
    auto* t1 = new OstrelUIClearTableView;
    auto* t2 = new OstrelUIClearTableView;
    EXPECT_EQ(t1->focusRingType(), 1);
    plain.setWidget(t1);
    custom.setWidget(t2);
    EXPECT_FALSE(scrollAreaDrawsBackground(plain));
    EXPECT_TRUE(scrollAreaDrawsBackground(custom));
}

TEST(EmbeddedScrollView, DisablesScrollingAboveEightHundredPoints) {
    qtApp();
    struct Case {
        double height;
        bool disabled;
    };
    for (const Case c : {Case{800, false}, Case{801, true}, Case{0, false}}) {
        OrbEmbeddedScrollView view;
        view.configureForScreenHeight(c.height);
        EXPECT_EQ(view.disableScrolling(), c.disabled) << c.height;
        EXPECT_EQ(view.verticalScrollBarPolicy(),
                  c.disabled ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
        EXPECT_EQ(view.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    }
}

TEST(EmbeddedScrollView, IgnoresTheWheelWhileDisabled) {
    qtApp();
    OrbEmbeddedScrollView view;
    view.resize(100, 100);
    auto* content = new QWidget;
    content->resize(100, 1000);
    view.setWidget(content);
    view.configureForScreenHeight(500);
    view.setDisableScrolling(true);
    QWheelEvent wheel(QPointF(50, 50), QPointF(50, 50), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &wheel);
    EXPECT_EQ(view.verticalScrollBar()->value(), 0);
    view.setDisableScrolling(false);
    QWheelEvent again(QPointF(50, 50), QPointF(50, 50), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &again);
    EXPECT_GT(view.verticalScrollBar()->value(), 0);
}
