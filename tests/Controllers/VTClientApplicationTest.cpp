#include <gtest/gtest.h>

#include <QEvent>
#include <QObject>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ControllersTestSupport.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/VTClientTestSupport.h"

namespace {

using vtclienttest::ClientTree;

constexpr QEvent::Type kThrowOurs = static_cast<QEvent::Type>(QEvent::User + 1);
constexpr QEvent::Type kThrowStandard = static_cast<QEvent::Type>(QEvent::User + 2);
constexpr QEvent::Type kQuit = static_cast<QEvent::Type>(QEvent::User + 3);

// Throws from its event handler, as a screen's handler might.
class Thrower : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() == kThrowOurs)
            throw platform::Exception("NSInternalInconsistencyException", "bad state");
        if (e->type() == kThrowStandard) throw std::runtime_error("bad value");
        if (e->type() == kQuit) {
            ++handledAfter;
            QCoreApplication::quit();
            return true;
        }
        return QObject::event(e);
    }
    int handledAfter = 0;
};

std::string firstFailureName(const ClientTree& tree, const std::string& folder) {
    auto data = tree.dataOf(folder);
    const platform::Value* failures = data->userData().at("PelErrReporting").get("failures");
    return failures->asArray()->at(0).get("Name")->stringValue();
}

TEST(VTClientApplication, ExceptionsFromEventHandlersAreReportedAndTheLoopGoesOn) {
    VTClientApplication& app = controllerstest::application();
    ClientTree tree;
    auto client = tree.client();
    auto log = std::make_shared<platform::RecordingLogSink>();
    app.setLogSink(log);

    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(kThrowOurs));
    QCoreApplication::postEvent(&thrower, new QEvent(kThrowStandard));
    QCoreApplication::postEvent(&thrower, new QEvent(kQuit));
    EXPECT_EQ(app.exec(), 0);
    EXPECT_EQ(thrower.handledAfter, 1) << "events after the throws were still delivered";

    auto saved = tree.savedErrors();
    ASSERT_EQ(saved.size(), 2u);
    std::set<std::string> names;
    for (const std::string& folder : saved) {
        auto summary = tree.summaryOf(folder);
        EXPECT_EQ(summary->failureSeverity(), 2);
        EXPECT_EQ(summary->logicalFailureID(), 0x50656C51u) << "PelQ";
        EXPECT_FALSE(summary->logicalComponentId()) << "no component";
        names.insert(firstFailureName(tree, folder));
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"NSInternalInconsistencyException", "std::runtime_error"}));
    EXPECT_EQ(log->messages(),
              (std::vector<std::string>{"Uncaught exception", "Uncaught exception"}));
}

TEST(VTClientApplication, LaunchExceptionIsReportedAndTheHandlerInstalledAfterwards) {
    VTClientApplication& app = controllerstest::application();
    ClientTree tree;
    auto reporter = std::make_shared<vtclienttest::FakeCrashReporter>();
    VTClient::setCrashReporterFactory([&](const std::string&) { return reporter; });
    auto configuration = tree.configuration();
    configuration.setEnableCrashDumps(true);
    auto client = tree.client(configuration);

    app.setDidFinishLaunchingHandler([&] {
        EXPECT_EQ(reporter->handlerInstalls, 0);
        throw platform::Exception("NSInternalInconsistencyException", "no plug-in");
    });
    app.finishLaunching();
    app.setDidFinishLaunchingHandler({});
    EXPECT_EQ(reporter->handlerInstalls, 1);

    auto saved = tree.savedErrors();
    ASSERT_EQ(saved.size(), 1u);
    auto summary = tree.summaryOf(saved[0]);
    EXPECT_EQ(summary->failureSeverity(), 2);
    EXPECT_EQ(summary->logicalFailureID(), 0x50656C51u);
    EXPECT_EQ(firstFailureName(tree, saved[0]), "NSInternalInconsistencyException");
}

TEST(VTClientApplication, MainQueueWorkRunsInTheEventLoop) {
    VTClientApplication& app = controllerstest::application();
    bool ranOnMainThread = false;
    std::thread poster([&] {
        platform::MainQueue::shared()->async([&] {
            ranOnMainThread = platform::isMainThread();
            QCoreApplication::quit();
        });
    });
    poster.join();
    EXPECT_EQ(app.exec(), 0);
    EXPECT_TRUE(ranOnMainThread);
}

TEST(VTClientApplication, GuardedWidgetCodeAndMainQueueBlocksFileReports) {
    VTClientApplication& app = controllerstest::application();
    ClientTree tree;
    auto client = tree.client();
    app.setLogSink(std::make_shared<platform::RecordingLogSink>());

    // A slot of the kit, and a block on the main queue.
    ostrelui::guarded([] {
        throw platform::Exception("Invalid button tint for button kind", "button tint 11");
    })();
    platform::MainQueue::shared()->async([] { throw std::out_of_range("row 7"); });
    platform::MainQueue::shared()->async([] { QCoreApplication::quit(); });
    EXPECT_EQ(app.exec(), 0);

    auto saved = tree.savedErrors();
    ASSERT_EQ(saved.size(), 2u);
    std::set<std::string> names;
    for (const std::string& folder : saved) {
        auto summary = tree.summaryOf(folder);
        EXPECT_EQ(summary->failureSeverity(), 2);
        EXPECT_EQ(summary->logicalFailureID(), 0x50656C51u) << "PelQ";
        names.insert(firstFailureName(tree, folder));
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"Invalid button tint for button kind", "std::out_of_range"}));
}

}  // namespace
