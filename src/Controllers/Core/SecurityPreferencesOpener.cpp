#include "Controllers/Core/SecurityPreferencesOpener.h"

#include "Foundation/PelLogging.h"

void LoggingSecurityPreferencesOpener::open() {
    PelLogging::logNoticeMessageWithFormat("%s: no security settings to open on this system",
                                           __func__);
}

CommandSecurityPreferencesOpener::CommandSecurityPreferencesOpener(
    platform::Task command, std::shared_ptr<platform::TaskLauncher> launcher,
    platform::DispatchQueuePtr queue)
    : command_(std::move(command)), launcher_(std::move(launcher)), queue_(std::move(queue)) {
    if (!queue_) queue_ = platform::globalQueue(platform::QualityOfService::Background);
}

void CommandSecurityPreferencesOpener::open() {
    auto launcher = launcher_ ? launcher_ : platform::defaultTaskLauncher();
    queue_->async([launcher, command = command_] {
        // The settings program may take a while to start: the window must not wait.
        (void)launcher->run(command, [](const std::string&) {});
    });
}
