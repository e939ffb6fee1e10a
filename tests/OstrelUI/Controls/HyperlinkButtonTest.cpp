#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QEnterEvent>
#include <QSignalSpy>
#include <QTest>

#include "KitTestSupport.h"
#include "OstrelUI/Controls/XHyperlinkButton.h"
#include "QtTestApp.h"

using namespace ostrelui;
using namespace ostrelui_test;

namespace {

void enter(QWidget& w) {
    QEnterEvent e(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(&w, &e);
}

}  // namespace

TEST(XHyperlinkButton, TitleColourByState) {
    qtApp();
    const QColor enabled(Qt::blue), disabled(Qt::gray), clicked(Qt::red), hover(Qt::green);
    const QColor text = QApplication::palette().color(QPalette::Text);
    const QColor systemDisabled = QApplication::palette().color(QPalette::Disabled, QPalette::Text);
    struct Case {
        const char* name;
        bool setColors, isEnabled, inside, down;
        QColor expected;
    } cases[] = {
        {"enabled", true, true, false, false, enabled},
        {"hover", true, true, true, false, hover},
        {"clicked wins over hover", true, true, true, true, clicked},
        {"disabled", true, false, false, false, disabled},
        {"no colours", false, true, true, false, text},
        {"no colours, pressed", false, true, false, true, text},
        {"no colours, disabled", false, false, false, false, systemDisabled},
    };
    for (const Case& c : cases) {
        XHyperlinkButton b(QStringLiteral("Privacy policy"));
        if (c.setColors) {
            b.setEnabledColor(enabled);
            b.setDisabledColor(disabled);
            b.setClickedColor(clicked);
            b.setHoverColor(hover);
        }
        b.setEnabled(c.isEnabled);
        if (c.inside) enter(b);
        b.setDown(c.down);
        EXPECT_EQ(b.titleColor(), c.expected) << c.name;
    }
}

TEST(XHyperlinkButton, HoverIsTrackedOnlyWithAHoverColourAndTheHandOnlyWhileEnabled) {
    qtApp();
    XHyperlinkButton b(QStringLiteral("Help"));
    enter(b);
    EXPECT_FALSE(b.mouseInside());
    b.setHoverColor(QColor(Qt::green));
    enter(b);
    EXPECT_TRUE(b.mouseInside());

    EXPECT_EQ(b.cursor().shape(), Qt::PointingHandCursor);
    b.setEnabled(false);
    EXPECT_NE(b.cursor().shape(), Qt::PointingHandCursor);
    b.setEnabled(true);
    EXPECT_EQ(b.cursor().shape(), Qt::PointingHandCursor);
}

TEST(XHyperlinkButton, ArchiveRoundTripWritesOnlyColoursThatAreSet) {
    qtApp();
    XHyperlinkButton b;
    b.setUnderlined(true);
    b.setEnabledColor(QColor(0x00, 0x8A, 0xC7));
    b.setHoverColor(QColor(0x10, 0x20, 0x30, 0x80));
    platform::Dictionary archive;
    b.encode(archive);
    EXPECT_EQ(archive.count(XHyperlinkButton::kDisabledColorKey), 0u);
    EXPECT_EQ(archive.count(XHyperlinkButton::kClickedColorKey), 0u);
    EXPECT_EQ(archive.at(XHyperlinkButton::kEnabledColorKey).stringValue(), "#FF008AC7");
    EXPECT_EQ(archive.at(XHyperlinkButton::kHoverColorKey).stringValue(), "#80102030");
    EXPECT_TRUE(archive.at(XHyperlinkButton::kUnderlineKey).boolValue());

    XHyperlinkButton copy;
    copy.setClickedColor(QColor(Qt::red));  // no key: left as it is
    copy.decode(archive);
    EXPECT_TRUE(copy.underlined());
    EXPECT_EQ(copy.enabledColor(), b.enabledColor());
    EXPECT_EQ(copy.hoverColor(), b.hoverColor());
    EXPECT_FALSE(copy.hasDisabledColor());
    EXPECT_EQ(copy.clickedColor(), QColor(Qt::red));
}

TEST(XHyperlinkButton, AccessibleAsALinkWhosePressClicks) {
    qtApp();
    XHyperlinkButton b(QStringLiteral("Open support"));
    QSignalSpy clicks(&b, &QAbstractButton::clicked);
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&b);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::Link);
    EXPECT_EQ(iface->text(QAccessible::Name), QStringLiteral("Open support"));
    ASSERT_NE(iface->actionInterface(), nullptr);
    EXPECT_TRUE(iface->actionInterface()->actionNames().contains(
        QAccessibleActionInterface::pressAction()));
    iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(clicks.count(), 1);

    QTest::keyClick(&b, Qt::Key_Space);
    EXPECT_EQ(clicks.count(), 2) << "Space clicks the focused link";
}
