// Facts about one process: name, parent, whether it is traced, start time.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

class FVCrashProcessInfo {
  public:
    /// This process.
    static std::shared_ptr<FVCrashProcessInfo> currentProcessInfo();
    /// The process `pid`, from /proc/<pid>/stat and /proc/<pid>/status; null
    /// when there is no such process or it cannot be queried.
    static std::shared_ptr<FVCrashProcessInfo> initWithProcessID(pid_t pid);

    pid_t processID() const { return processID_; }
    /// The kernel's command name (at most 15 bytes) cut to its longest valid
    /// UTF-8 prefix; nullopt when that is empty.
    const std::optional<std::string>& processName() const { return processName_; }
    pid_t parentProcessID() const { return parentProcessID_; }
    /// A tracer (debugger) is attached.
    bool isTraced() const { return traced_; }
    /// When the process started, in seconds and microseconds since 1970.
    timeval startTime() const { return startTime_; }

  private:
    pid_t processID_ = 0;
    std::optional<std::string> processName_;
    pid_t parentProcessID_ = 0;
    bool traced_ = false;
    timeval startTime_{};
};
