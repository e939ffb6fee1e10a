// The installer's application object: a QApplication that turns every
// exception escaping the launch sequence or event dispatch into a failure
// report, and that drains the main dispatch queue from the Qt event loop.
#pragma once

#include <QApplication>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "Platform/System/SystemLog.h"

/// The failure code of the application object's reports: the four
/// characters "PelQ" packed big-endian.
inline constexpr std::int32_t kVTClientApplicationFailureCode = 0x50656C51;
/// Their severity.
inline constexpr int kVTClientApplicationFailureSeverity = 2;

class VTClientApplication : public QApplication {
  public:
    /// Makes the application and hooks the main dispatch queue into its event
    /// loop: work posted to the main queue from any thread runs on the GUI
    /// thread. `argc` and `argv` must outlive the application.
    ///
    /// Also installs, until it is destroyed, the reporter of the widget kit's
    /// guards (ostrelui::guarded) and the handler of exceptions thrown by
    /// main-queue blocks: both file the report of reportException(). Blocks
    /// of other queues that throw are written to standard error.
    VTClientApplication(int& argc, char** argv);
    ~VTClientApplication() override;

    /// The application delegate's did-finish-launching handler, run by
    /// finishLaunching().
    void setDidFinishLaunchingHandler(std::function<void()> handler);
    /// Where "Uncaught exception" is logged (the system log by default).
    void setLogSink(std::shared_ptr<platform::LogSink> sink);

    /// The launch sequence, then the event loop; returns what exec() returns.
    int run();

    /// Runs the did-finish-launching handler. An exception escaping it is
    /// filed as a one-shot failure report (severity 2, code "PelQ") and
    /// launching goes on; afterwards the current reporting client's
    /// uncaught-exception handler is enabled.
    void finishLaunching();

    /// Files a failure report (severity 2, code "PelQ") for an exception that
    /// escaped event dispatch, and logs "Uncaught exception".
    void reportException(const std::exception& exception);

    /// Dispatches the event. An exception escaping the receiver is reported
    /// and swallowed (the event counts as not handled), so the event loop
    /// keeps running.
    ///
    /// This is the last line of defence: Qt's own frames between here and
    /// the handler are built without cleanup tables, so handlers of our
    /// screens catch what they can themselves.
    bool notify(QObject* receiver, QEvent* event) override;

  private:
    void reportEscaped(const std::exception& exception) noexcept;

    struct Waker;
    std::shared_ptr<Waker> waker_;
    std::function<void()> didFinishLaunching_;
    std::shared_ptr<platform::LogSink> log_;
};
