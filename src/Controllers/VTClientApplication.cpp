#include "Controllers/VTClientApplication.h"

#include <QMetaObject>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "Foundation/PelErrReporting.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/VTClient.h"

// The main queue's waker is called from any thread, possibly while the
// application is being destroyed; it reaches the application only through
// this guarded pointer. One drain is scheduled at a time.
struct VTClientApplication::Waker {
    std::mutex mutex;
    QObject* target = nullptr;
    std::atomic<bool> scheduled{false};

    void wake() {
        if (scheduled.exchange(true)) return;
        std::lock_guard<std::mutex> lock(mutex);
        if (!target) {
            scheduled = false;
            return;
        }
        QMetaObject::invokeMethod(
            target,
            [this] {
                scheduled = false;
                platform::MainQueue::shared()->drain();
            },
            Qt::QueuedConnection);
    }
};

namespace {

platform::SystemLogSink::Options systemLogOptions() {
    platform::SystemLogSink::Options options;
    options.identity = program_invocation_short_name;
    options.copyToStderr = true;
    return options;
}

// What a catch-all handler has in hand for an exception that is no
// std::exception.
const platform::Exception& unknownException() {
    static const platform::Exception exception(std::string(platform::kGenericException),
                                               "An exception of unknown type");
    return exception;
}

}  // namespace

VTClientApplication::VTClientApplication(int& argc, char** argv)
    : QApplication(argc, argv),
      waker_(std::make_shared<Waker>()),
      log_(std::make_shared<platform::SystemLogSink>(systemLogOptions())) {
    waker_->target = this;
    std::shared_ptr<Waker> waker = waker_;
    auto queue = platform::MainQueue::shared();
    queue->setWaker([waker] { waker->wake(); });
    // Work posted before the hook was in place.
    if (queue->pendingCount() > 0) waker_->wake();

    // What the kit's guards and the main queue's blocks catch becomes a
    // failure report, as an exception escaping event dispatch does.
    ostrelui::setExceptionReporter([this](const std::exception& e) { reportEscaped(e); });
    platform::setBlockExceptionHandler(
        [this, mainLabel = queue->label()](const std::string& label, std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                if (label == mainLabel)
                    reportEscaped(e);
                else
                    std::fprintf(stderr, "Exception in a block of queue %s: %s\n", label.c_str(),
                                 e.what());
            } catch (...) {
                if (label == mainLabel)
                    reportEscaped(unknownException());
                else
                    std::fprintf(stderr, "Exception in a block of queue %s\n", label.c_str());
            }
        });
}

VTClientApplication::~VTClientApplication() {
    ostrelui::setExceptionReporter(nullptr);
    platform::setBlockExceptionHandler(nullptr);
    platform::MainQueue::shared()->setWaker(nullptr);
    std::lock_guard<std::mutex> lock(waker_->mutex);
    waker_->target = nullptr;
}

void VTClientApplication::setDidFinishLaunchingHandler(std::function<void()> handler) {
    didFinishLaunching_ = std::move(handler);
}

void VTClientApplication::setLogSink(std::shared_ptr<platform::LogSink> sink) {
    log_ = std::move(sink);
}

int VTClientApplication::run() {
    finishLaunching();
    return exec();
}

void VTClientApplication::finishLaunching() {
    try {
        if (didFinishLaunching_) didFinishLaunching_();
    } catch (const platform::Exception& exception) {
        PelErrReportingReportNSException(kVTClientApplicationFailureSeverity,
                                         kVTClientApplicationFailureCode, "", "",
                                         kPelErrLocationCaller, &exception);
    } catch (const std::exception& exception) {
        PelErrReportingReportCxxException(kVTClientApplicationFailureSeverity,
                                          kVTClientApplicationFailureCode, "", "",
                                          kPelErrLocationCaller, exception);
    } catch (...) {
        PelErrReportingReportNSException(kVTClientApplicationFailureSeverity,
                                         kVTClientApplicationFailureCode, "", "",
                                         kPelErrLocationCaller, &unknownException());
    }
    if (auto client = VTClient::currentClient()) client->enableUncaughtExceptionHandler();
}

void VTClientApplication::reportException(const std::exception& exception) {
    VTErrorReportRef report = PelErrReportingBeginFailureReport(kVTClientApplicationFailureSeverity,
                                                                kVTClientApplicationFailureCode, "",
                                                                "", kPelErrLocationCaller);
    if (log_) log_->log(platform::kLogNotice, "Uncaught exception");
    if (auto* ours = dynamic_cast<const platform::Exception*>(&exception)) {
        PelErrReportingAddNSExceptionFailure(report, ours);
    } else {
        PelErrReportingAddCxxExceptionFailure(report, exception);
    }
    PelErrReportingEndFailureReport(report);
}

bool VTClientApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& exception) {
        reportEscaped(exception);
    } catch (...) {
        reportEscaped(unknownException());
    }
    return false;
}

void VTClientApplication::reportEscaped(const std::exception& exception) noexcept {
    // Reporting must not throw back into Qt's frames, even when memory is short.
    try {
        reportException(exception);
    } catch (...) {
    }
}
