// The uninstall log: the system log (identity "PelUninstall") and the file
// "PelUninstall.log" in the user's (for root, the machine's) Library/Logs.
// Texts are written as given; only the ...WithFormat methods format.
#pragma once

#include <memory>
#include <string_view>

#include "Foundation/PelLogging.h"

class PelULogging {
  public:
    static void openLog() { channel()->openLog(); }
    /// Levels 0 to 6 are taken (the channel keeps 0 to 5); higher ones are ignored.
    static void logMessage(std::string_view message, int level) {
        if (level >= 0 && level <= 6) channel()->logMessageOfErrorType(level, message);
    }
    static void logDebugMessage(std::string_view) {}
    static void logErrorMessage(std::string_view message) { logMessage(message, 3); }
    static void logWarningMessage(std::string_view message) { logMessage(message, 4); }
    static void logNoticeMessage(std::string_view message) { logMessage(message, 5); }

    template <class... Args>
    static void logDebugMessageWithFormat(std::string_view, const Args&...) {}
    template <class... Args>
    static void logWarningMessageWithFormat(std::string_view fmt, const Args&... args) {
        logWarningMessage(platform::format(fmt, args...));
    }
    template <class... Args>
    static void logErrorMessageWithFormat(std::string_view fmt, const Args&... args) {
        logErrorMessage(platform::format(fmt, args...));
    }
    template <class... Args>
    static void logNoticeMessageWithFormat(std::string_view fmt, const Args&... args) {
        logNoticeMessage(platform::format(fmt, args...));
    }

    static PelLogChannel::Config channelConfig();
    /// The channel in use, made from channelConfig() at first use.
    static std::shared_ptr<PelLogChannel> channel();
    /// Replaces the channel (tests); null makes a fresh one at next use.
    static void setChannel(std::shared_ptr<PelLogChannel> channel);
};
