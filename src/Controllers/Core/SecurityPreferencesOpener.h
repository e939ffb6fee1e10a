// Brings up the system's security settings so the user can allow the kernel
// module. The kernel-extension screen asks for it and never waits for it.
#pragma once

#include <memory>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/Task.h"

class SecurityPreferencesOpener {
  public:
    virtual ~SecurityPreferencesOpener() = default;
    /// Returns at once; the outcome is ignored.
    virtual void open() = 0;
};

/// The default: there is no settings pane to open, so it only logs.
class LoggingSecurityPreferencesOpener : public SecurityPreferencesOpener {
  public:
    void open() override;
};

/// Runs a configured command on a background queue through `launcher` (the
/// process-wide one when null); its exit status and output are ignored.
class CommandSecurityPreferencesOpener : public SecurityPreferencesOpener {
  public:
    explicit CommandSecurityPreferencesOpener(
        platform::Task command, std::shared_ptr<platform::TaskLauncher> launcher = nullptr,
        platform::DispatchQueuePtr queue = nullptr);
    void open() override;

  private:
    platform::Task command_;
    std::shared_ptr<platform::TaskLauncher> launcher_;
    platform::DispatchQueuePtr queue_;
};
