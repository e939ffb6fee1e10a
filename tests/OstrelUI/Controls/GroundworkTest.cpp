#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <stdexcept>
#include <string>
#include <vector>

#include "KitTestSupport.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "Platform/System/Bundle.h"
#include "QtTestApp.h"
#include "support/TempDir.h"

using namespace ostrelui;
using namespace ostrelui_test;

TEST(Guarded, ExceptionsFromSlotsAndEventsAreReportedNotThrown) {
    qtApp();
    ReportRecorder recorder;
    QPushButton button;
    int after = 0;
    QObject::connect(&button, &QPushButton::clicked, guarded([] {
        throw platform::Exception("NSRangeException", "index 4 beyond bounds");
    }));
    QObject::connect(&button, &QPushButton::clicked, [&after] { ++after; });
    button.click();
    EXPECT_EQ(after, 1) << "the next slot still runs";

    auto answer = guarded([](int x) -> int {
        if (x < 0) throw std::runtime_error("negative");
        return x * 2;
    });
    EXPECT_EQ(answer(4), 8);
    EXPECT_EQ(answer(-1), 0) << "a value-initialised result";
    guarded([] { throw 42; })();
    EXPECT_EQ(recorder.reports,
              (std::vector<std::string>{"NSRangeException: index 4 beyond bounds", "negative",
                                        "NSGenericException: An exception of unknown type"}));
}

TEST(Animation, ScaleZeroEndsAtOnceAndRunsCompletionsNextTurnInOrder) {
    qtApp();
    EXPECT_EQ(animationScale(), 0);
    EXPECT_EQ(scaledMilliseconds(0.3), 0);
    setAnimationScale(2);
    EXPECT_EQ(scaledMilliseconds(0.3), 600);
    setAnimationScale(0);

    QWidget parent;
    parent.resize(200, 100);
    auto* label = new QLabel(QStringLiteral("old"), &parent);
    label->setGeometry(0, 0, 200, 50);
    parent.show();
    std::vector<int> order;
    LayoutConstant spacing(30);
    Transition::run(
        label, TransitionType::PushFromTop, 0.5, [label] { label->setText(QStringLiteral("new")); },
        [&order] { order.push_back(1); });
    spacing.animateTo(642, 1.0, [&order] { order.push_back(2); });
    runAfter(0.25, [&order] { order.push_back(3); });
    EXPECT_EQ(label->text(), QStringLiteral("new")) << "the change lands at once";
    EXPECT_EQ(spacing.presentedConstant(), 642);
    EXPECT_TRUE(order.empty()) << "completions wait for the event loop";
    processEvents();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Animation, RealTransitionShowsTheLiveWidgetAtTheEnd) {
    qtApp();
    setAnimationScale(0.05);
    QWidget parent;
    parent.resize(200, 100);
    auto* label = new QLabel(QStringLiteral("old"), &parent);
    label->setGeometry(0, 0, 200, 50);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    bool done = false;
    Transition::run(
        label, TransitionType::Reveal, 0.5, [label] { label->hide(); }, [&done] { done = true; });
    EXPECT_TRUE(Transition::isAnimating(label));
    Transition::animateTransform(&parent, QTransform::fromTranslate(5, 0), 0.2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 2000));
    EXPECT_FALSE(Transition::isAnimating(label));
    EXPECT_TRUE(label->isHidden());
    EXPECT_EQ(label->graphicsEffect(), nullptr);

    // A transform leaves a snapshot in place until the identity returns.
    auto* child = new QLabel(QStringLiteral("moving"), &parent);
    child->setGeometry(0, 50, 100, 20);
    child->show();
    bool moved = false;
    Transition::animateTransform(child, QTransform::fromTranslate(-40, 0), 0.2,
                                 [&moved] { moved = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return moved; }, 2000));
    EXPECT_EQ(Transition::transformOf(child), QTransform::fromTranslate(-40, 0));
    EXPECT_NE(child->graphicsEffect(), nullptr) << "shown through its snapshot";
    Transition::setTransform(child, QTransform());
    EXPECT_EQ(child->graphicsEffect(), nullptr);
    setAnimationScale(0);
}

TEST(Animation, CompletionRunsWhenTheTargetGoesAway) {
    qtApp();
    setAnimationScale(1);
    bool done = false;
    {
        QWidget parent;
        auto* label = new QLabel(QStringLiteral("x"), &parent);
        parent.show();
        Transition::run(label, TransitionType::Fade, 10, {}, [&done] { done = true; });
    }
    setAnimationScale(0);
    processEvents();
    EXPECT_TRUE(done);
}

TEST(LayoutConstant, AppliesEveryValueAndAnswersTheModelValue) {
    qtApp();
    std::vector<double> applied;
    LayoutConstant c(30, [&applied](double v) { applied.push_back(v); });
    c.setConstant(381);
    c.animateTo(309, 0.5);
    EXPECT_EQ(c.constant(), 309);
    EXPECT_EQ(applied, (std::vector<double>{30, 381, 381, 309}));
}

TEST(Resources, ImagesComeFromTheMainBundleCachedAndMissingOnesAreEmpty) {
    qtApp();
    testsupport::TempDir dir;
    QImage red(4, 3, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(QString::fromStdString(dir.path().string() + "/logo.png")));
    platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(dir.path().string()));
    clearImageCache();

    EXPECT_EQ(imageNamed(QStringLiteral("logo")).size(), QSize(4, 3));
    EXPECT_EQ(imageNamed(QStringLiteral("logo.png")).size(), QSize(4, 3));
    QFile::remove(QString::fromStdString(dir.path().string() + "/logo.png"));
    EXPECT_EQ(imageNamed(QStringLiteral("logo")).size(), QSize(4, 3)) << "cached";
    EXPECT_TRUE(imageNamed(QStringLiteral("nothing.tiff")).isNull());

    platform::Bundle::setMainBundle(nullptr);
    clearImageCache();
}

TEST(Resources, MissingFaceKeepsTheWidgetFamilyWithSizeAndWeight) {
    qtApp();
    const QFont base(QStringLiteral("DejaVu Sans"), 13);
    const QFont light = kitFont(QStringLiteral("No Such Family Light"), 22, base);
    EXPECT_EQ(light.family(), base.family());
    EXPECT_EQ(light.pointSizeF(), 22);
    EXPECT_EQ(light.weight(), QFont::Light);
    EXPECT_EQ(kitFont(QStringLiteral("No Such Family Bold"), 9, base).weight(), QFont::Bold);
    EXPECT_EQ(kitFont(QStringLiteral("No Such Family"), 9, base).weight(), QFont::Normal);
}

TEST(Animation, TransitionStartsFromTheOldLookAndEndsOnTheLiveWidget) {
    qtApp();
    QWidget parent;
    parent.resize(100, 60);
    auto* panel = new QWidget(&parent);
    panel->setGeometry(0, 0, 100, 40);
    panel->setAutoFillBackground(true);
    auto paint = [panel](Qt::GlobalColor c) {
        QPalette p = panel->palette();
        p.setColor(QPalette::Window, c);
        panel->setPalette(p);
    };
    paint(Qt::red);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));

    setAnimationScale(1);
    bool done = false;
    Transition::run(
        panel, TransitionType::PushFromTop, 60, [&] { paint(Qt::blue); }, [&done] { done = true; });
    const QImage start = parent.grab().toImage();
    EXPECT_TRUE(colorNear(start.pixel(50, 20), 0xFF0000))
        << "old look first: " << hex(start.pixel(50, 20));
    setAnimationScale(0);
    Transition::run(panel, TransitionType::Fade, 1, {});  // ends the running one
    processEvents();
    EXPECT_TRUE(done);
    const QImage end = parent.grab().toImage();
    EXPECT_TRUE(colorNear(end.pixel(50, 20), 0x0000FF)) << hex(end.pixel(50, 20));
}

// A moved snapshot is drawn only within its widget's own place (a panel
// sliding out never paints over its neighbour), and not at all once the
// widget is hidden.
TEST(Animation, AMovedSnapshotStaysInItsPlaceAndGoesWithItsWidget) {
    qtApp();
    QWidget parent;
    parent.resize(200, 100);
    parent.setAutoFillBackground(true);
    QPalette white = parent.palette();
    white.setColor(QPalette::Window, Qt::white);
    parent.setPalette(white);
    auto* panel = new QWidget(&parent);
    panel->setGeometry(100, 0, 100, 100);
    panel->setAutoFillBackground(true);
    QPalette red = panel->palette();
    red.setColor(QPalette::Window, Qt::red);
    panel->setPalette(red);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));

    Transition::setTransform(panel, QTransform::fromTranslate(-50, 0));
    QImage moved = parent.grab().toImage();
    EXPECT_TRUE(colorNear(moved.pixel(120, 50), 0xFF0000)) << hex(moved.pixel(120, 50));
    EXPECT_TRUE(colorNear(moved.pixel(75, 50), 0xFFFFFF))
        << "outside its place: " << hex(moved.pixel(75, 50));
    panel->hide();
    QImage hidden = parent.grab().toImage();
    EXPECT_TRUE(colorNear(hidden.pixel(120, 50), 0xFFFFFF)) << hex(hidden.pixel(120, 50));
    Transition::setTransform(panel, QTransform());
}
