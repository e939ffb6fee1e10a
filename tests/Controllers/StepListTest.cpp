#include <gtest/gtest.h>

#include "ProgressFixture.h"

namespace progresstest {
namespace {

using Item = InstallerUIMiddlePanelRowViewItem;

class StepListTest : public ProgressTest {
  protected:
    void SetUp() override {
        ProgressTest::SetUp();
        launch();
    }
    QStringList titles() {
        QStringList out;
        for (int i = 0; i < left().numberOfRows(); ++i)
            out << left().cellAt(i)->titleMessage->text();
        return out;
    }
};

TEST_F(StepListTest, EveryCodeShowsItsRowsBoldRowsAndBar) {
    const QString install = "Installing Device Security", installed = "Device Security Installed",
                  prefs = "Update Preferences";
    struct Case {
        unsigned code;
        QStringList rows;
        std::set<int> bold;
        QString bar;
    };
    const std::vector<Case> cases = {
        {1, {}, {}, "bg-status-neutral"},
        {2, {"Uninstalling\u2026"}, {0}, "bg-status-neutral"},
        {3, {}, {}, "bg-status-orange"},
        {4, {"Uninstall Complete"}, {0}, "bg-status-neutral"},
        {5, {install, prefs}, {0}, "bg-status-neutral"},
        {6, {install, prefs}, {0}, "bg-status-neutral"},
        {7, {install, prefs}, {0}, "bg-status-neutral"},
        {8, {}, {}, "bg-status-orange"},
        {9, {installed, prefs}, {0, 1}, "bg-status-neutral"},
        {10, {installed, prefs}, {0}, "bg-status-neutral"},
        {11, {installed, prefs}, {1}, "bg-status-neutral"},
        {12, {installed, prefs}, {1}, "bg-status-neutral"},
        {13, {installed, prefs}, {1}, "bg-status-neutral"},
        {14, {installed, prefs}, {1}, "bg-status-neutral"},
        {15, {}, {}, "bg-status-neutral"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        left().setProgressStatus(c.code);
        drive(2.5);
        EXPECT_EQ(titles(), c.rows);
        EXPECT_EQ(left().selectedRowIndexes(), c.bold);
        for (int i = 0; i < static_cast<int>(c.rows.size()); ++i)
            EXPECT_EQ(left().cellAt(i)->isTitleBold(), c.bold.count(i) > 0) << i;
        EXPECT_EQ(left().centerBarImageName(), c.bar);
        if (!c.rows.isEmpty()) {
            EXPECT_EQ(left().theProgressPositioningConstraint().constant(),
                      c.rows.size() == 1 ? 381.0 : 309.0);
        }
    }
    // Code 0 empties the list and leaves the bar as it was.
    left().setProgressStatus(3);
    left().setProgressStatus(0);
    EXPECT_EQ(left().numberOfRows(), 0);
    EXPECT_EQ(left().centerBarImageName(), "bg-status-orange");
    left().setCenterPillarHealthStatus(2);
    EXPECT_EQ(left().centerBarImageName(), "bg-status-red");
}

TEST_F(StepListTest, RowsLookAndNames) {
    left().setProgressStatus(11);
    drive(2.5);
    MiddleRowView* first = left().cellAt(0);
    MiddleRowView* second = left().cellAt(1);
    EXPECT_EQ(first->statusImageName(), "ic-onboarding-complete");
    EXPECT_EQ(first->rowAlpha(), 0.5);
    EXPECT_EQ(second->statusImageName(), "ic-onboarding-alert");
    EXPECT_EQ(second->statusImage->accessibleName(), "ic-onboarding-alert");
    EXPECT_EQ(second->rowAlpha(), 1.0);
    EXPECT_EQ(second->titleMessage->objectName(),
              "com.pelgrave.installer.LeftNavigationView.centerBarItem1.TextField.titleText");
    EXPECT_EQ(
        second->statusImage->objectName(),
        "com.pelgrave.installer.LeftNavigationView.centerBarItem1.SpinningImageView.statusImage");
    EXPECT_TRUE(second->titleMessage->alignment() & Qt::AlignRight);
    EXPECT_EQ(second->titleMessage->font().letterSpacing(), 1.0);

    left().setProgressStatus(6);
    drive(2.5);
    EXPECT_EQ(first->subTitle->text(), "Downloading...");
    EXPECT_TRUE(first->subTitle->isVisibleTo(first));
    EXPECT_EQ(first->bottomSpaceToTitle().constant(), 32.0);
    EXPECT_TRUE(first->statusImage->isRunning());
}

TEST_F(StepListTest, DelaysGrowWithTheRowAndAMissingSubtitleSets25) {
    MiddleRowView cell(nullptr, clock_);
    cell.setRowNumber(2);
    cell.setTitleString(QStringLiteral("Third"));
    drive(1.25);
    EXPECT_EQ(cell.titleMessage->text(), "");
    drive(0.25);
    EXPECT_EQ(cell.titleMessage->text(), "Third");

    cell.bottomSpaceToTitle().setConstant(32.0);
    EXPECT_TRUE(cell.setSubTitleString(std::nullopt));
    EXPECT_EQ(cell.bottomSpaceToTitle().constant(), 25.0);
    drive(2);
    EXPECT_TRUE(cell.subTitle->isHidden());
}

TEST_F(StepListTest, InstallStartHandlerRunsOnceEvenWithUnchangedText) {
    // The list already shows the installing rows: the handler's row keeps
    // its text, and the handler still runs, once.
    left().setProgressStatus(7);
    drive(3);
    int runs = 0;
    left().setInstallationProgressStatusWithCompletionHandler([&] { ++runs; });
    drive(0.75);
    EXPECT_EQ(runs, 0);  // the last row's delay is 1 s
    drive(0.5);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(Item::itemForUpdatePreferencesIdle()->hasCompletionHandler());
    // Later lists that show the row with other text do not run it again.
    left().setProgressStatus(8);
    left().setProgressStatus(7);
    left().setProgressStatus(5);
    drive(3);
    EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace progresstest
