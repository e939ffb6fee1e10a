// The licence window against a local server: a PDF grows the window and is
// shown; an error page or a failure ends the sheet and shows the alert;
// saving replaces a file only with a complete one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QBuffer>
#include <QMainWindow>
#include <QMessageBox>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfView>
#include <QPdfWriter>
#include <QPrinter>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "OstrelUI/Controls/OstrelUIEULAController.h"
#include "OstrelUI/Controls/OstrelUIWindowUtilities.h"
#include "Platform/Dispatch/MainQueue.h"
#include "QtTestApp.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

namespace {

using ostrelui::OstrelUIEULAController;

std::string makePdf(int pages) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        QPainter painter(&writer);
        for (int i = 0; i < pages; ++i) {
            if (i > 0) writer.newPage();
            painter.drawText(QPointF(100, 100), QStringLiteral("Licence page %1").arg(i + 1));
        }
    }
    return buffer.data().toStdString();
}

testsupport::ScriptedReply reply(int status, std::string body) {
    testsupport::ScriptedReply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

testsupport::ScriptedReply stall() {
    testsupport::ScriptedReply r;
    r.stallBeforeReply = true;
    return r;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// A review picture in PEL_UI_GRAB_DIR, when set.
void grab(QWidget* widget, const char* name) {
    const char* folder = std::getenv("PEL_UI_GRAB_DIR");
    if (!folder) return;
    std::filesystem::create_directories(folder);
    widget->grab().save(QString::fromLocal8Bit(folder) +
                        QStringLiteral("/%1.png").arg(QLatin1String(name)));
}

class EULAController : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrelui_test::qtApp();
        base_ = std::make_unique<QMainWindow>();
        base_->setGeometry(100, 100, 900, 700);
        base_->show();
        OstrelUIEULAController::setAgreementURLOverride(server_.url("/licence.pdf"));
    }
    void TearDown() override {
        OstrelUIEULAController::setAgreementURLOverride(std::nullopt);
        server_.releaseStalls();
        base_.reset();
    }
    /// Runs the window as a sheet and turns the loop until `done` or 10 s.
    void runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            platform::MainQueue::shared()->drain();
        }
    }
    void start() {
        controller_ = new OstrelUIEULAController(base_.get());
        ostrelui::runModalForWindow(*controller_, base_.get(),
                                    [this](QWidget*, int code) { endCodes_.push_back(code); });
        runUntil([&] { return controller_->isVisible(); });
    }
    QMessageBox* alert() {
        return base_->findChild<QMessageBox*>(QStringLiteral("EULAErrorAlert"));
    }

    testsupport::LoopbackHttpServer server_;
    testsupport::TempDir dir_;
    std::unique_ptr<QMainWindow> base_;
    QPointer<OstrelUIEULAController> controller_;
    std::vector<int> endCodes_;
};

TEST_F(EULAController, PdfGrowsTheWindowAndShowsTheDocument) {
    const std::string pdf = makePdf(2);
    server_.enqueue(reply(200, pdf));
    start();
    grab(controller_, "licence-loading");
    QRect before = controller_->geometry();
    runUntil([&] { return controller_->isLoaded(); });
    ASSERT_TRUE(controller_->isLoaded());
    // The window grows in one animation group.
    runUntil([&] { return controller_->geometry().size() == QSize(650, 500); });
    QRect after = controller_->geometry();
    EXPECT_EQ(after.size(), QSize(650, 500));
    EXPECT_EQ(after.top(), before.top());
    EXPECT_NEAR(after.center().x(), before.center().x(), 1);
    EXPECT_TRUE(controller_->PDFView->isVisible());
    EXPECT_FALSE(controller_->downloadingView->isVisible());
    EXPECT_EQ(controller_->document()->pageCount(), 2);
    EXPECT_EQ(controller_->PDFView->document(), controller_->document());
    EXPECT_EQ(alert(), nullptr);
    grab(controller_, "licence-loaded");

    // OK (Return) ends the sheet once; saving replaces an existing file.
    std::string target = dir_.write("Licence.pdf", "old contents");
    ASSERT_TRUE(controller_->saveToPath(QString::fromStdString(target)));
    EXPECT_EQ(readAll(target), pdf);
    QTest::keyClick(controller_, Qt::Key_Return);
    runUntil([&] { return !endCodes_.empty(); });
    EXPECT_EQ(endCodes_, std::vector<int>{1});
}

TEST_F(EULAController, ErrorPageOrNoPdfShowsTheAlert) {
    const std::vector<std::pair<int, std::string>> cases = {{404, "<html>Not found</html>"},
                                                            {200, "<html>Portal</html>"}};
    for (const auto& [status, body] : cases) {
        endCodes_.clear();
        server_.enqueue(reply(status, body));
        start();
        runUntil([&] { return alert() != nullptr; });
        QMessageBox* box = alert();
        ASSERT_NE(box, nullptr) << status;
        EXPECT_EQ(box->text(), QStringLiteral("Oops..Something went wrong"));
        if (status == 404) grab(box, "licence-alert");
        EXPECT_EQ(endCodes_, std::vector<int>{0}) << status;  // the sheet ended
        EXPECT_FALSE(controller_->isVisible());
        delete box;
        delete controller_.data();
    }
}

TEST_F(EULAController, OkWhileLoadingCancelsWithoutAlertAndTheNextRunWorks) {
    server_.enqueue(stall());
    start();
    ASSERT_TRUE(server_.waitForRequests(1));
    QTest::mouseClick(controller_->button, Qt::LeftButton);
    runUntil([&] { return !endCodes_.empty(); });
    EXPECT_EQ(endCodes_, std::vector<int>{1});
    server_.releaseStalls();
    runUntil([] { return false; }, std::chrono::milliseconds(300));  // nothing may arrive late
    EXPECT_EQ(alert(), nullptr);
    delete controller_.data();

    server_.enqueue(reply(200, makePdf(1)));
    start();
    runUntil([&] { return controller_->isLoaded(); });
    EXPECT_TRUE(controller_->isLoaded());
}

TEST_F(EULAController, FailedSaveKeepsTheOldFile) {
    server_.enqueue(reply(200, makePdf(1)));
    start();
    runUntil([&] { return controller_->isLoaded(); });
    ASSERT_TRUE(controller_->isLoaded());
    std::string folder = dir_.file("locked");
    std::filesystem::create_directories(folder);
    std::string target = dir_.write("locked/Licence.pdf", "old contents");
    // A folder that takes no new file: the temporary file cannot be made.
    std::filesystem::permissions(
        folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    QString error;
    bool saved = controller_->saveToPath(QString::fromStdString(target), &error);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    if (::geteuid() == 0) {
        // Root writes anyway; make the failure with a missing folder instead.
        EXPECT_FALSE(
            controller_->saveToPath(QString::fromStdString(dir_.file("none/Licence.pdf"))));
    } else {
        EXPECT_FALSE(saved);
        EXPECT_FALSE(error.isEmpty());
    }
    if (!saved) {
        EXPECT_EQ(readAll(target), "old contents");
    }

    // Printing: no margins, each page fits.
    QPrinter printer(QPrinter::ScreenResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(dir_.file("printed.pdf")));
    ASSERT_TRUE(controller_->printTo(printer));
    EXPECT_EQ(printer.pageLayout().margins(), QMarginsF(0, 0, 0, 0));
    QPdfDocument printed;
    printed.load(QString::fromStdString(dir_.file("printed.pdf")));
    EXPECT_EQ(printed.pageCount(), 1);
}

}  // namespace
