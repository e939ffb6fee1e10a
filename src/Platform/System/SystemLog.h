// Levelled log sinks: the system log (syslog) with copies to files and
// standard error, and a recording sink for tests.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// syslog levels.
enum LogLevel : int {
    kLogEmergency = 0,
    kLogAlert = 1,
    kLogCritical = 2,
    kLogError = 3,
    kLogWarning = 4,
    kLogNotice = 5,
    kLogInfo = 6,
    kLogDebug = 7,
};

/// The mask bit of one level, as syslog's LOG_MASK.
constexpr std::uint32_t logMask(int level) { return level >= 0 && level < 32 ? 1u << level : 0u; }
/// The mask of levels 0..level, as syslog's LOG_UPTO.
constexpr std::uint32_t logUpTo(int level) {
    return level >= 0 && level < 31 ? (2u << level) - 1 : 0xFFFFFFFFu;
}

/// "Emergency", "Alert", ... "Debug"; "Unknown" for other numbers.
std::string_view logLevelName(int level);

/// A destination of levelled messages. log() drops levels outside the mask
/// (all levels pass by default) and hands the rest to write(). Thread-safe.
class LogSink {
  public:
    virtual ~LogSink() = default;

    /// Logs `message` literally (it is never read as a format). `sender`, when
    /// not empty, names the sending process in place of the sink's default.
    void log(int level, std::string_view message, std::string_view sender = {});

    void setLevelMask(std::uint32_t mask);
    std::uint32_t levelMask() const;
    bool passes(int level) const { return (levelMask() & logMask(level)) != 0; }

  protected:
    virtual void write(int level, std::string_view message, std::string_view sender) = 0;

  private:
    mutable std::mutex maskMutex_;
    std::uint32_t mask_ = 0xFFFFFFFFu;
};

/// The system log: each message goes to syslog under the sink's identity,
/// and as one text line to every added file descriptor (and standard error
/// when asked), each in a single write so that lines of several threads or
/// processes are not interleaved. The line reads
///   "Jan  2 15:04:05 host Sender[pid] <Notice>: message".
/// Write failures are ignored: logging never fails its caller.
class SystemLogSink : public LogSink {
  public:
    struct Options {
        std::string identity;
        /// The facility's name, kept for callers; messages go to syslog's
        /// user facility, which is the one every desktop program shares.
        std::string facility;
        bool copyToStderr = false;
        /// False keeps the messages out of syslog (files and stderr only).
        bool sendToSystemLog = true;
    };

    explicit SystemLogSink(Options options);
    ~SystemLogSink() override;
    SystemLogSink(const SystemLogSink&) = delete;
    SystemLogSink& operator=(const SystemLogSink&) = delete;

    const Options& options() const { return options_; }
    /// Adds a descriptor that receives a copy of every message. The sink does
    /// not close it unless `takeOwnership` is true.
    void addFileDescriptor(int fd, bool takeOwnership = false);

  protected:
    void write(int level, std::string_view message, std::string_view sender) override;

  private:
    void sendToSyslog(int level, std::string_view message);

    Options options_;
    std::mutex mutex_;
    struct Descriptor {
        int fd;
        bool owned;
    };
    std::vector<Descriptor> fds_;
    int socket_ = -1;
};

/// A sink that keeps what passes its mask, for tests.
class RecordingLogSink : public LogSink {
  public:
    struct Entry {
        int level;
        std::string message;
        std::string sender;
    };
    std::vector<Entry> entries() const;
    /// The messages alone, in order.
    std::vector<std::string> messages() const;
    void clear();

  protected:
    void write(int level, std::string_view message, std::string_view sender) override;

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace platform
