#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "QtTestApp.h"

using namespace ostrelui;
using ostrelui_test::processEvents;
using ostrelui_test::qtApp;

namespace {

struct Recorder : XTextFieldWithLinksDelegate {
    std::vector<std::string> actions;
    unsigned implementedMethods() const override { return 0; }
    bool performLinkAction(const std::string& action, XTextFieldWithLinks*) override {
        actions.push_back(action);
        return true;
    }
};

const QString kMarkup = QStringLiteral(
    "Read the <A HREF=\"https://example.com/eula\">licence</A>, "
    "<A ACTION=\"openSupport:\">contact Support</A> or <A ACTION=\"showPrivacy:\">privacy</A>.");

// A window with a button, the field (three links: an address and two
// actions with a target) and another button.
struct Form : ::testing::Test {
    bool app = (qtApp(), true);
    Recorder delegate;
    std::shared_ptr<Recorder> target = std::make_shared<Recorder>();
    std::vector<QUrl> opened;
    QWidget window;
    QPushButton* before = new QPushButton(QStringLiteral("Back"), &window);
    XTextFieldWithLinks* field = new XTextFieldWithLinks(&window, &delegate);
    QPushButton* after = new QPushButton(QStringLiteral("Next"), &window);

    Form() {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(before);
        layout->addWidget(field);
        layout->addWidget(after);
        field->setObjectName(QStringLiteral("agreementText"));
        field->setUrlOpener([this](const QUrl& u) {
            opened.push_back(u);
            return true;
        });
        field->setFixedWidth(420);
        EXPECT_TRUE(field->parseAndSetString(kMarkup, target));
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    }
};

}  // namespace

TEST_F(Form, AccessibilityTreeRolesValuesIdentifiersAndPress) {
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(field);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->role(), QAccessible::Button);
    EXPECT_FALSE(view->state().invisible);
    ASSERT_EQ(view->childCount(), 3);

    const QString texts[] = {QStringLiteral("licence"), QStringLiteral("contact Support"),
                             QStringLiteral("privacy")};
    const QString ids[] = {QString(), QStringLiteral("agreementText_openSupport"),
                           QStringLiteral("agreementText_showPrivacy")};
    for (int i = 0; i < 3; ++i) {
        QAccessibleInterface* link = view->child(i);
        ASSERT_NE(link, nullptr);
        EXPECT_EQ(link->role(), QAccessible::Link);
        EXPECT_EQ(link->text(QAccessible::Value), texts[i]);
        EXPECT_EQ(link->text(QAccessible::Description), texts[i]);
        EXPECT_EQ(link->text(QAccessible::UserText), ids[i]) << "identifier";
        EXPECT_EQ(view->indexOfChild(link), i);
        EXPECT_EQ(link->parent(), view);
        EXPECT_EQ(link->window(), window.windowHandle());
        EXPECT_EQ(view->child(i), link) << "the same child each time";
    }

    view->child(1)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(target->actions, (std::vector<std::string>{"openSupport:"}));
    view->child(0)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(opened, (std::vector<QUrl>{QUrl(QStringLiteral("https://example.com/eula"))}));
    EXPECT_TRUE(delegate.actions.empty());

    // Hit testing in screen coordinates.
    for (const auto& r : field->linkRects()) {
        const QPoint screen = field->mapToGlobal(r.rect.center().toPoint());
        EXPECT_EQ(view->childAt(screen.x(), screen.y()), view->child(r.link)) << r.link;
    }
    const QPoint plain =
        field->mapToGlobal(QPoint(3, static_cast<int>(field->linkRects()[0].rect.center().y())));
    EXPECT_EQ(view->childAt(plain.x(), plain.y()), nullptr) << "plain text: the view itself";

    // A new parse gives new children.
    field->parseAndSetString(QStringLiteral("Only <A ACTION=\"retry:\">retry</A>"));
    ASSERT_EQ(view->childCount(), 1);
    EXPECT_EQ(view->child(0)->text(QAccessible::UserText), QStringLiteral("agreementText_retry"));
    view->child(0)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(delegate.actions, (std::vector<std::string>{"retry:"})) << "no target: the delegate";
}

TEST_F(Form, TabStepsThroughTheLinksAndOutAndSpacePresses) {
    before->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(before->hasFocus());
    QTest::keyClick(before, Qt::Key_Tab);
    ASSERT_TRUE(field->hasFocus());
    EXPECT_EQ(field->focusedLink(), 0);
    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_EQ(field->focusedLink(), 1);
    QTest::keyClick(field, Qt::Key_Space);
    EXPECT_EQ(target->actions, (std::vector<std::string>{"openSupport:"}));
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(field);
    EXPECT_TRUE(view->child(1)->state().focused);
    EXPECT_FALSE(view->child(0)->state().focused);

    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_EQ(field->focusedLink(), 2);
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(target->actions.size(), 2u);
    QTest::keyClick(field, Qt::Key_Tab);
    EXPECT_TRUE(after->hasFocus()) << "out after the last link";

    QTest::keyClick(after, Qt::Key_Backtab);
    ASSERT_TRUE(field->hasFocus());
    EXPECT_EQ(field->focusedLink(), 2) << "Shift+Tab comes in at the last link";
    QTest::keyClick(field, Qt::Key_Backtab);
    EXPECT_EQ(field->focusedLink(), 1);

    field->setEnabled(false);
    before->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(before, Qt::Key_Tab);
    EXPECT_TRUE(after->hasFocus()) << "a disabled field is skipped";
}

TEST(XTextFieldWithLinksPlaceholder, TakesItsPlaceInTheLayoutAndTracksItsHeight) {
    qtApp();
    QWidget form;
    auto* layout = new QVBoxLayout(&form);
    layout->setSpacing(0);
    auto* top = new QLabel(QStringLiteral("Welcome"), &form);
    QPointer<XTextFieldWithLinks_ph> placeholder = new XTextFieldWithLinks_ph(
        QStringLiteral("Need help? <A ACTION=\"openSupport:\">contact Support</A>"), &form);
    auto* spacer = new QSpacerItem(10, 15, QSizePolicy::Minimum, QSizePolicy::Fixed);
    auto* bottom = new QLabel(QStringLiteral("Footer"), &form);
    layout->addWidget(top);
    layout->addWidget(placeholder);
    layout->addItem(spacer);
    layout->addWidget(bottom);
    QFont font(QStringLiteral("DejaVu Sans"), 15);
    placeholder->setFont(font);
    QPalette palette = placeholder->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    placeholder->setPalette(palette);
    placeholder->setTag(7);
    form.resize(400, 200);
    form.show();
    processEvents();
    const QRect phFrame = placeholder->geometry();

    XTextFieldWithLinks* real = placeholder->nibInstantiate();
    processEvents();
    EXPECT_TRUE(placeholder.isNull()) << "the placeholder is gone";
    EXPECT_EQ(layout->indexOf(real), 1) << "in the placeholder's place";
    EXPECT_EQ(real->parentWidget(), &form);
    EXPECT_TRUE(real->isVisible());
    EXPECT_EQ(real->font(), font);
    EXPECT_EQ(real->placeholderTextColor(), QColor(Qt::red));
    EXPECT_EQ(real->tag(), 7);
    EXPECT_EQ(real->stringValue(), QStringLiteral("Need help? contact Support"));
    ASSERT_EQ(real->linkObjects().size(), 1u);
    EXPECT_EQ(real->zeroableSpacer(), spacer);
    EXPECT_EQ(real->minimumWidth(), phFrame.width()) << "width >= the frame's";

    ASSERT_TRUE(real->tracksHeight());
    const int textHeight = real->sizeHint().height();
    EXPECT_EQ(real->heightConstant(), textHeight + 4);
    EXPECT_EQ(real->minimumHeight(), textHeight + 4);

    real->setStringValue(QString());
    EXPECT_EQ(real->heightConstant(), 0);
    EXPECT_EQ(real->minimumHeight(), 0);
    EXPECT_EQ(spacer->sizeHint().height(), 0) << "the spacer collapses";
    real->setStringValue(QStringLiteral("Back again"));
    EXPECT_EQ(spacer->sizeHint().height(), 15) << "and comes back";
    EXPECT_GT(real->heightConstant(), 4);
}

TEST(XTextFieldWithLinksPlaceholder, FixedSizesStayAndALoosePlaceholderKeepsItsFrame) {
    qtApp();
    QWidget form;
    auto* layout = new QVBoxLayout(&form);
    auto* fixed = new XTextFieldWithLinks_ph(QStringLiteral("Fixed"), &form);
    fixed->setFixedSize(200, 30);
    layout->addWidget(fixed);
    form.show();
    processEvents();
    XTextFieldWithLinks* real = fixed->nibInstantiate();
    EXPECT_EQ(real->minimumWidth(), 200);
    EXPECT_EQ(real->maximumWidth(), 200);
    EXPECT_FALSE(real->tracksHeight()) << "the form fixes the height";

    // Outside any layout: the same frame, 1 point off the top and the bottom,
    // at the placeholder's place among its siblings.
    QWidget plain;
    auto* below = new QLabel(&plain);
    auto* loose = new XTextFieldWithLinks_ph(QStringLiteral("Loose"), &plain);
    auto* above = new QLabel(&plain);
    loose->setGeometry(10, 20, 150, 22);
    XTextFieldWithLinks* looseReal = loose->nibInstantiate();
    EXPECT_EQ(looseReal->geometry().topLeft(), QPoint(10, 21));
    EXPECT_EQ(looseReal->width(), 150);
    EXPECT_EQ(looseReal->minimumHeight(), looseReal->heightConstant()) << "tracks its text";
    const QObjectList kids = plain.children();
    EXPECT_LT(kids.indexOf(below), kids.indexOf(looseReal));
    EXPECT_LT(kids.indexOf(looseReal), kids.indexOf(above));
}
