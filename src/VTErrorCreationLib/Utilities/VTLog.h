// The error-reporting library logs its own problems with the system's plain
// logging call (syslog), not with the installer's logger.
#pragma once

#include <functional>
#include <string>

/// Formats like printf (C locale rules for numbers apply only to what the
/// caller formats) and sends the text to syslog at `priority` (LOG_ERR, ...).
void VTLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Tests may watch what the library logs. The hook is called after syslog,
/// on the logging thread; pass an empty function to remove it.
void VTSetLogHookForTesting(std::function<void(int priority, const std::string& message)> hook);
