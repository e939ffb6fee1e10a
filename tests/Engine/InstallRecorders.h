// Progress objects and plug-ins that record what the install engine tells
// them, from whatever thread it calls on.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Controllers/IFPluginProtocol.h"
#include "Engine/InstallProgressProtocol.h"
#include "support/QueueHelpers.h"

namespace enginetest {

class RecordingProgress : public InstallProgressProtocol {
  public:
    bool respondsTo(InstallProgressOperation) const override { return true; }

    void installFailedWithRequirement(const std::shared_ptr<PelRequirement>& r) override {
        add("failedRequirement", r ? "requirement" : "null");
    }
    void installComplete(int status) override {
        add("complete", std::to_string(status));
        // Notified under the lock that guards `completions`: a test that sees
        // the completion (and may then destroy the recorder) sees it only
        // once this thread is done with the recorder.
        std::lock_guard lock(mutex_);
        completions.push_back(status);
        completed.notify();
    }
    void installWarningWithRequirement(const std::shared_ptr<PelRequirement>& r) override {
        add("warning", r ? "requirement" : "null");
    }
    void installFailedWithAuthorization() override { add("failedAuthorization", ""); }
    void installFailedWithHelperTool(const platform::Error* e) override {
        add("failedHelperTool", e ? std::to_string(e->code()) : "null");
    }
    void installFailedWithMissingBasePackage() override { add("missingBasePackage", ""); }
    void installProgressPercent(double p) override {
        std::lock_guard lock(mutex_);
        percents.push_back(p);
    }
    void packagesCompleted(std::uint64_t n) override {
        std::lock_guard lock(mutex_);
        packageCounts.push_back(n);
    }
    void installProgressPhaseString(const std::string& s) override { add("phase", s); }
    void sendInstallFailedPingForOptionalPackage(const platform::Dictionary& info) override {
        std::lock_guard lock(mutex_);
        optionalFailures.push_back(info);
    }
    void setInstallFailedPingDataForMandatoryPackage(const platform::Dictionary& info) override {
        std::lock_guard lock(mutex_);
        mandatoryFailures.push_back(info);
    }
    void installCompleteReason(const std::string& s) override { add("reason", s); }
    void requirementsCompleted() override { add("requirementsCompleted", ""); }

    std::vector<std::string> eventsNamed(const std::string& name) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [n, v] : events)
            if (n == name) out.push_back(v);
        return out;
    }
    std::vector<std::string> eventNames() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events) out.push_back(e.first);
        return out;
    }
    template <class T>
    T get(const T& member) const {
        std::lock_guard lock(mutex_);
        return member;
    }

    testsupport::Event completed;
    std::vector<int> completions;
    std::vector<double> percents;
    std::vector<std::uint64_t> packageCounts;
    std::vector<platform::Dictionary> optionalFailures, mandatoryFailures;
    std::vector<std::pair<std::string, std::string>> events;

  private:
    void add(std::string name, std::string value) {
        std::lock_guard lock(mutex_);
        events.emplace_back(std::move(name), std::move(value));
    }
    mutable std::mutex mutex_;
};

class RecordingPlugin : public IFPluginProtocol {
  public:
    explicit RecordingPlugin(
        std::set<IFPluginOperation> offered = {IFPluginOperation::installBegin,
                                               IFPluginOperation::installComplete,
                                               IFPluginOperation::installCompleteWithDelegate,
                                               IFPluginOperation::installFailedWithError})
        : offered_(std::move(offered)) {}

    bool respondsTo(IFPluginOperation op) const override {
        return op == IFPluginOperation::setProgressStatus || offered_.count(op) > 0;
    }
    void setProgressStatus(unsigned) override {}
    void installBegin() override { add("installBegin"); }
    void installComplete(bool success) override { add(success ? "complete:1" : "complete:0"); }
    void installCompleteWithDelegate(bool success, IFPluginDelegate* delegate) override {
        add(success ? "completeWithDelegate:1" : "completeWithDelegate:0");
        lastDelegate = delegate;
        if (finishAtOnce) delegate->pluginFinished(success && finishWith);
    }
    void installFailedWithError(int code,
                                const std::shared_ptr<PelRequirement>& requirement) override {
        add("failed:" + std::to_string(code) + (requirement ? ":requirement" : ":null"));
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    bool finishAtOnce = true;
    bool finishWith = true;
    IFPluginDelegate* lastDelegate = nullptr;

  private:
    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::set<IFPluginOperation> offered_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace enginetest
