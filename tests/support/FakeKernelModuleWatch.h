// A kernel-module watch that a test drives: it reports what it was asked,
// can refuse to start, and makes a module appear on request.
#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "Platform/System/KernelModuleWatch.h"

namespace testsupport {

class FakeKernelModuleWatch : public platform::KernelModuleWatch {
  public:
    bool failStart = false;

    bool isLoaded(const std::string& module) const override {
        std::lock_guard lock(mutex_);
        return loaded_.count(module) != 0;
    }
    bool start(const std::string& module, platform::DispatchQueuePtr queue,
               std::function<void()> appeared, platform::Error* error) override {
        std::lock_guard lock(mutex_);
        ++starts;
        if (failStart) {
            if (error) *error = platform::Error("NSPOSIXErrorDomain", 24);
            return false;
        }
        module_ = module;
        queue_ = std::move(queue);
        appeared_ = std::move(appeared);
        return true;
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        ++stops;
        appeared_ = nullptr;
    }
    bool watching() const {
        std::lock_guard lock(mutex_);
        return appeared_ != nullptr;
    }
    /// Loads the module: a watch in force reports it on its queue.
    void load(const std::string& module) {
        std::lock_guard lock(mutex_);
        loaded_.insert(module);
        if (appeared_ && module == module_) {
            auto appeared = std::move(appeared_);
            appeared_ = nullptr;
            queue_->async(std::move(appeared));
        }
    }

    int starts = 0;
    int stops = 0;

  private:
    mutable std::mutex mutex_;
    std::set<std::string> loaded_;
    std::string module_;
    platform::DispatchQueuePtr queue_;
    std::function<void()> appeared_;
};

}  // namespace testsupport
