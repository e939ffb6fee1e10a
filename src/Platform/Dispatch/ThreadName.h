// Naming the threads that queues and clocks start, so they are recognisable
// in debuggers and crash reports.
#pragma once

#include <string>

namespace platform {

/// Names the calling thread after `name` (cut to the system's 15 characters).
/// Also runs the thread-start hook, once per thread: the threads that name
/// themselves here are the ones the project starts.
void setCurrentThreadName(const std::string& name);

/// A function run on each thread the project starts, before its work (the
/// crash reporter gives such threads a signal stack). Null removes it.
void setThreadStartHook(void (*hook)());

}  // namespace platform
