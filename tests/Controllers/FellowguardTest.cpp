// The opt-in dialog: its answers, Learn More, and following the base window.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <cstdlib>

#include "Controllers/FellowguardUI.h"
#include "Controllers/ShellSupport.h"
#include "ControllersTestSupport.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "Platform/Dispatch/MainQueue.h"

namespace {

class Fellowguard : public ::testing::Test {
  protected:
    void SetUp() override {
        controllerstest::application();
        ostrelui::setAnimationScale(0);
        base_ = std::make_unique<QMainWindow>();
        base_->resize(800, 600);
        base_->move(100, 80);
        base_->show();
    }
    void TearDown() override {
        FellowguardUI::setDialogShownHook(nullptr);
        UrlOpener::setOpener(nullptr);
    }
    int run(std::function<void(FellowguardWindowController&)> drive, bool* learnMore) {
        FellowguardUI::setDialogShownHook(std::move(drive));
        return FellowguardUI::runWindowFromBaseWindow(base_.get(), QStringLiteral("Ostrel"),
                                                      nullptr, QPixmap(), learnMore);
    }
    std::unique_ptr<QMainWindow> base_;
};

TEST_F(Fellowguard, EveryWayOutAnswers) {
    struct Case {
        const char* name;
        std::function<void(FellowguardWindowController&)> drive;
        int expected;
    };
    const Case cases[] = {
        {"join", [](auto& d) { QTest::mouseClick(d.okButton, Qt::LeftButton); }, 1},
        {"return", [](auto& d) { QTest::keyClick(&d, Qt::Key_Return); }, 1},
        {"later", [](auto& d) { QTest::mouseClick(d.laterButton, Qt::LeftButton); }, 0},
        {"escape", [](auto& d) { QTest::keyClick(&d, Qt::Key_Escape); }, 0},
        {"close", [](auto& d) { d.close(); }, 0},
    };
    for (const Case& c : cases) {
        bool learnMore = true;
        QPointer<FellowguardWindowController> seen;
        EXPECT_EQ(run(
                      [&](FellowguardWindowController& d) {
                          seen = &d;
                          c.drive(d);
                      },
                      &learnMore),
                  c.expected)
            << c.name;
        EXPECT_FALSE(learnMore) << c.name;
        EXPECT_TRUE(seen.isNull()) << c.name;      // the dialog is gone and no filter remains
        base_->move(base_->pos() + QPoint(1, 1));  // would touch a stale observer
    }
}

TEST_F(Fellowguard, LearnMoreKeepsTheDialogAndReportsTheLastOpen) {
    std::vector<bool> results = {true, true, false};
    std::vector<std::string> opened;
    UrlOpener::setOpener([&](const std::string& url) {
        opened.push_back(url);
        return results[opened.size() - 1];
    });
    bool learnMore = true;
    int answer = run(
        [](FellowguardWindowController& d) {
            for (int i = 0; i < 3; ++i) {
                QTest::mouseClick(d.learnMoreButton, Qt::LeftButton);
                EXPECT_TRUE(d.isVisible());
            }
            QTest::mouseClick(d.laterButton, Qt::LeftButton);
        },
        &learnMore);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(opened.size(), 3u);
    EXPECT_NE(opened.front().find("ssdcat=134&displang=iso3:eng"), std::string::npos);
    EXPECT_FALSE(learnMore);
}

TEST_F(Fellowguard, FollowsTheBaseWindow) {
    QPoint before, after;
    QSize dialogSize;
    run(
        [&](FellowguardWindowController& d) {
            before = d.frameGeometry().topLeft();
            base_->move(300, 200);
            QCoreApplication::processEvents();
            after = d.frameGeometry().topLeft();
            dialogSize = d.frameGeometry().size();
            d.later();
        },
        nullptr);
    QRect base = base_->frameGeometry();
    EXPECT_EQ(after - before, QPoint(200, 120));
    EXPECT_EQ(after.x(), base.x() + (base.width() - dialogSize.width()) / 2);
    EXPECT_EQ(after.y(), base.y() + (base.height() - dialogSize.height()) / 2);
}

TEST_F(Fellowguard, OptimalPointKeepsZeroWhereTheBaseIsNotLarger) {
    using W = FellowguardWindowController;
    EXPECT_EQ(W::optimalPointForBaseRect({100, 50, 800, 600}, {0, 0, 400, 200}), QPointF(300, 250));
    EXPECT_EQ(W::optimalPointForBaseRect({100, 50, 400, 600}, {0, 0, 400, 200}), QPointF(0, 250));
    EXPECT_EQ(W::optimalPointForBaseRect({100, 50, 800, 150}, {0, 0, 400, 200}), QPointF(300, 0));
}

TEST_F(Fellowguard, ReviewPicture) {
    if (!std::getenv("PEL_UI_GRAB_DIR")) GTEST_SKIP() << "PEL_UI_GRAB_DIR is not set";
    run(
        [](FellowguardWindowController& d) {
            ReviewPictures::capture(&d, std::nullopt, QStringLiteral("opt-in-dialog"));
            d.later();
        },
        nullptr);
}

}  // namespace
