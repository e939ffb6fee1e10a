// Helpers the statistics pings share: delivery of transfer callbacks onto an
// operation queue, the process log, and the paths the pings read.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/OperationQueue.h"
#include "Platform/System/SystemLog.h"

namespace pings {

/// A DispatchQueue whose blocks become operations of `queue`, so that HTTP
/// callbacks run as operations of a sender's operation queue.
platform::DispatchQueuePtr dispatchQueueOnOperationQueue(platform::OperationQueuePtr queue);

/// The process log: the program's own system-log messages that do not belong
/// in the installer's log file (standard error and the system log, under the
/// program's name).
void logToProcessLog(std::string_view message);
/// Replaces the sink of logToProcessLog() (tests); null restores the default.
void setProcessLogSink(std::shared_ptr<platform::LogSink> sink);

/// Fixed system paths the pings read, resolved through the path root.
inline constexpr std::string_view kAutomationOverridePath =
    "/Library/Application Support/com.pelgrave.automation/StatPing.json";
std::string resolveSystemPath(std::string_view path);
/// The user's home folder.
std::string homeDirectory();

}  // namespace pings
