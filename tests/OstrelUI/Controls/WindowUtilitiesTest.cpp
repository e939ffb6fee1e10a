#include <gtest/gtest.h>

#include <QDialog>
#include <QMessageBox>
#include <thread>
#include <vector>

#include "OstrelUI/Controls/OstrelUIWindowUtilities.h"
#include "Platform/Dispatch/MainQueue.h"
#include "QtTestApp.h"

using namespace ostrelui;
using ostrelui_test::qtApp;

namespace {

struct Ended {
    QWidget* sheet;
    int code;
    bool operator==(const Ended&) const = default;
};

struct Sheets : ::testing::Test {
    bool app = (qtApp(), true);
    QWidget parent;
    QDialog dialog;
    std::vector<Ended> ended;
    SheetDidEndBlock recorder() {
        return [this](QWidget* sheet, int code) { ended.push_back({sheet, code}); };
    }
    void drainMainQueue() { platform::MainQueue::shared()->drain(); }
    void SetUp() override { parent.show(); }
    void TearDown() override { platform::MainQueue::shared()->discardPending(); }
};

}  // namespace

TEST_F(Sheets, StartedFromABackgroundThreadShowsOnTheMainQueueAndReportsTheCodeOnce) {
    std::thread([&] { runModalForWindow(dialog, &parent, recorder()); }).join();
    EXPECT_FALSE(dialog.isVisible()) << "shown on a later turn of the main queue";
    drainMainQueue();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog.parentWidget(), &parent);

    QDialog other(&parent);
    other.open();
    other.done(7);
    EXPECT_TRUE(ended.empty()) << "another dialog on the parent calls nothing";

    dialog.done(42);
    EXPECT_EQ(ended, (std::vector<Ended>{{&dialog, 42}}));
    dialog.done(43);  // already ended
    EXPECT_EQ(ended.size(), 1u);
}

TEST_F(Sheets, ALaterRunReplacesTheBlockAndANullBlockIsAllowed) {
    std::vector<int> first;
    runModalForWindow(dialog, &parent, [&first](QWidget*, int code) { first.push_back(code); });
    runModalForWindow(dialog, &parent, recorder());
    drainMainQueue();
    dialog.done(QDialog::Accepted);
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(ended, (std::vector<Ended>{{&dialog, QDialog::Accepted}}));

    runModalForWindow(dialog, &parent, nullptr);
    drainMainQueue();
    EXPECT_TRUE(dialog.isVisible());
    dialog.done(QDialog::Rejected);
    EXPECT_EQ(ended.size(), 1u);
}

TEST_F(Sheets, AlertRunsAtOnceAndReportsItself) {
    QMessageBox alert(QMessageBox::Warning, QStringLiteral("Quit?"), QStringLiteral("Quit now?"),
                      QMessageBox::Ok | QMessageBox::Cancel);
    runModalForWindow(alert, &parent, recorder());
    EXPECT_TRUE(alert.isVisible());
    alert.done(QMessageBox::Cancel);
    EXPECT_EQ(ended, (std::vector<Ended>{{&alert, QMessageBox::Cancel}}));
}

TEST_F(Sheets, ADialogGoneBeforeItsTurnIsSkipped) {
    auto* doomed = new QDialog;
    runModalForWindow(*doomed, &parent, recorder());
    delete doomed;
    drainMainQueue();
    EXPECT_TRUE(ended.empty());
}
