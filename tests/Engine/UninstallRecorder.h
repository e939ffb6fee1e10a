// A delegate of the uninstall client that records its calls, from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Engine/PelUninstallXPCProtocol.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/RunLoop.h"

namespace enginetest {

class RecordingUninstall : public PelUninstallXPCProtocol {
  public:
    void uninstallStarted() override { add("started"); }
    void uninstallEnded() override { add("ended"); }
    void uninstallEndedWithError() override {
        add(platform::isMainThread() ? "endedWithError" : "endedWithError off main");
    }
    void startedUninstallingPackage(const Text& name) override { add("package " + show(name)); }
    void appendToReport(const Text& report, const Text& name) override {
        add("report " + show(report) + " / " + show(name));
    }
    void appendError(const Text& error, const Text& name) override {
        add("error " + show(error) + " / " + show(name));
    }

    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    /// Runs the main queue until the conversation has ended for the delegate.
    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return platform::RunLoop::runUntil([&] { return ends() > 0; }, timeout);
    }
    int ends() const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& call : calls_) n += call.rfind("ended", 0) == 0;
        return n;
    }

  private:
    static std::string show(const Text& text) { return text ? *text : "nil"; }
    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace enginetest
