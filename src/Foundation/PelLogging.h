// The installer's log: levelled messages to the system log, standard error
// and a log file of its own in the user's (or, for root, the machine's)
// Library/Logs folder.
//
//   PelLogging::logErrorMessageWithFormat("%s:File doesnt exist at path %@", __func__, path);
//
// Formats follow platform::format. Debug messages are never written.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/System/SystemLog.h"
#include "Platform/Text/Format.h"

/// One log channel: a system-log identity and facility with its own log file.
/// The file is opened at the first message (once), appended to and never
/// truncated; when it cannot be opened, messages still reach the system log
/// and standard error. Every method may be called from any thread.
class PelLogChannel {
  public:
    struct Config {
        std::string identity;  // "PelInstall"
        std::string facility;  // "PelInstall Messages"
        std::string fileName;  // "PelInstall.log", in the folder of logFolder()
        /// Remove double quotes and decode percent escapes in every message.
        bool decodeMessages = false;
        bool copyToStderr = true;
        bool sendToSystemLog = true;
        /// The effective user id that picks the folder; unset: geteuid().
        std::optional<uid_t> effectiveUserId;
    };

    explicit PelLogChannel(Config config);
    PelLogChannel(const PelLogChannel&) = delete;
    PelLogChannel& operator=(const PelLogChannel&) = delete;

    const Config& config() const { return config_; }

    /// Opens the system-log client and the log file; only the first call does
    /// anything. Logging calls it by itself.
    void openLog();
    /// The log file's path, once openLog() has run ("" before).
    std::string logFilePath();

    /// The common writer: logs `message` at `level` (levels above notice are
    /// dropped), with the process name as sender. The text is written
    /// literally, after decodeMessage() when the channel decodes.
    void logMessageOfErrorType(int level, std::string_view message);
    void logErrorMessage(std::string_view message) {
        logMessageOfErrorType(platform::kLogError, message);
    }
    void logWarningMessage(std::string_view message) {
        logMessageOfErrorType(platform::kLogWarning, message);
    }
    void logNoticeMessage(std::string_view message) {
        logMessageOfErrorType(platform::kLogNotice, message);
    }
    void logDebugMessage(std::string_view) {}

    template <class... Args>
    void logErrorMessageWithFormat(std::string_view fmt, const Args&... args) {
        logErrorMessage(platform::format(fmt, args...));
    }
    template <class... Args>
    void logWarningMessageWithFormat(std::string_view fmt, const Args&... args) {
        logWarningMessage(platform::format(fmt, args...));
    }
    template <class... Args>
    void logNoticeMessageWithFormat(std::string_view fmt, const Args&... args) {
        logNoticeMessage(platform::format(fmt, args...));
    }
    /// Does nothing; the arguments are not turned into text.
    template <class... Args>
    void logDebugMessageWithFormat(std::string_view, const Args&...) {}

    /// The folder of the log file: "/Library/Logs" (through the path root) for
    /// effective user id 0, else Library/Logs in the user's home folder.
    static std::string logFolder(uid_t effectiveUserId);

    /// Removes every double quote, then replaces percent escapes ("%20") by the
    /// UTF-8 text they encode. When the escapes do not decode (a "%" without two
    /// hex digits, bytes that are not UTF-8, or a NUL), the quote-stripped text
    /// is returned undecoded, so that no message is lost.
    static std::string decodeMessage(std::string_view text);

  private:
    Config config_;
    std::once_flag opened_;
    std::atomic<bool> openedFlag_{false};
    std::unique_ptr<platform::SystemLogSink> sink_;
    std::string filePath_;
};

/// The installer's channel ("PelInstall", file "PelInstall.log", messages
/// decoded), reached through class methods.
class PelLogging {
  public:
    static void openLog() { sharedChannel()->openLog(); }
    static void logMessageOfErrorType(int level, std::string_view message) {
        sharedChannel()->logMessageOfErrorType(level, message);
    }
    static void logErrorMessage(std::string_view message) {
        sharedChannel()->logErrorMessage(message);
    }
    static void logWarningMessage(std::string_view message) {
        sharedChannel()->logWarningMessage(message);
    }
    static void logNoticeMessage(std::string_view message) {
        sharedChannel()->logNoticeMessage(message);
    }
    static void logDebugMessage(std::string_view) {}

    template <class... Args>
    static void logErrorMessageWithFormat(std::string_view fmt, const Args&... args) {
        logErrorMessage(platform::format(fmt, args...));
    }
    template <class... Args>
    static void logWarningMessageWithFormat(std::string_view fmt, const Args&... args) {
        logWarningMessage(platform::format(fmt, args...));
    }
    template <class... Args>
    static void logNoticeMessageWithFormat(std::string_view fmt, const Args&... args) {
        logNoticeMessage(platform::format(fmt, args...));
    }
    /// Does nothing; the arguments are not turned into text.
    template <class... Args>
    static void logDebugMessageWithFormat(std::string_view, const Args&...) {}

    /// The configuration of the installer's channel.
    static PelLogChannel::Config installChannelConfig();
    /// The channel in use, made from installChannelConfig() at first use.
    static std::shared_ptr<PelLogChannel> sharedChannel();
    /// Replaces the channel (tests); null makes a fresh default one at next use.
    static void setSharedChannel(std::shared_ptr<PelLogChannel> channel);
};
