// Watching for a kernel module to be loaded: its folder "/sys/module/<name>"
// (through the path root) appears.
//
// sysfs sends no file event when a module loads, so the Linux watch combines
// inotify on "/sys/module" (IN_CREATE, IN_MOVED_TO, which folders made by
// tests and some kernels do send) with a check every second.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Values/Error.h"

namespace platform {

class KernelModuleWatch {
  public:
    virtual ~KernelModuleWatch() = default;

    /// Whether the module is loaded now.
    virtual bool isLoaded(const std::string& module) const = 0;
    /// Starts watching for `module`; `appeared` runs once on `queue` when it
    /// loads. False (and `error`) when the watch cannot be set up. Starting
    /// again replaces the earlier watch.
    virtual bool start(const std::string& module, DispatchQueuePtr queue,
                       std::function<void()> appeared, Error* error) = 0;
    /// Stops watching; `appeared` is not called after it returns, unless it
    /// was running already.
    virtual void stop() = 0;
};

/// The folder of a module (a real path, through the path root).
std::string kernelModuleFolder(const std::string& module);

/// The Linux watch; `pollInterval` is how often it checks besides events.
std::shared_ptr<KernelModuleWatch> makeKernelModuleWatch(
    std::chrono::milliseconds pollInterval = std::chrono::seconds(1));

}  // namespace platform
