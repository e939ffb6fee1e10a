// Naming the threads that queues and clocks start, so they are recognisable
// in debuggers and crash reports.
#pragma once

#include <string>

namespace platform {

/// Names the calling thread after `name` (cut to the system's 15 characters).
void setCurrentThreadName(const std::string& name);

}  // namespace platform
