#include "Platform/System/SystemLog.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace platform {
namespace {

// "Jan  2 15:04:05" in local time, whatever the process locale.
std::string timestamp() {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d", months[tm.tm_mon % 12], tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string hostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    std::string host(buf);
    if (auto dot = host.find('.'); dot != std::string::npos) host.resize(dot);
    return host.empty() ? "localhost" : host;
}

// Writes all of `text` with as few calls as the descriptor allows (one for
// files and pipes in practice).
void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

int connectSyslog() {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, "/dev/log", sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string_view logLevelName(int level) {
    static const char* const names[] = {"Emergency", "Alert",  "Critical", "Error",
                                        "Warning",   "Notice", "Info",     "Debug"};
    return level >= 0 && level < 8 ? names[level] : "Unknown";
}

void LogSink::log(int level, std::string_view message, std::string_view sender) {
    if (!passes(level)) return;
    write(level, message, sender);
}

void LogSink::setLevelMask(std::uint32_t mask) {
    std::lock_guard lock(maskMutex_);
    mask_ = mask;
}

std::uint32_t LogSink::levelMask() const {
    std::lock_guard lock(maskMutex_);
    return mask_;
}

SystemLogSink::SystemLogSink(Options options) : options_(std::move(options)) {}

SystemLogSink::~SystemLogSink() {
    for (const auto& d : fds_)
        if (d.owned) ::close(d.fd);
    if (socket_ >= 0) ::close(socket_);
}

void SystemLogSink::addFileDescriptor(int fd, bool takeOwnership) {
    if (fd < 0) return;
    std::lock_guard lock(mutex_);
    fds_.push_back({fd, takeOwnership});
}

void SystemLogSink::write(int level, std::string_view message, std::string_view sender) {
    static const std::string host = hostName();
    std::string_view name = sender.empty() ? std::string_view(options_.identity) : sender;
    std::string line = timestamp();
    line += ' ';
    line += host;
    line += ' ';
    line += name;
    line += '[' + std::to_string(::getpid()) + "] <";
    line += logLevelName(level);
    line += ">: ";
    line += message;
    line += '\n';

    std::lock_guard lock(mutex_);
    if (options_.sendToSystemLog) sendToSyslog(level, message);
    for (const auto& d : fds_) writeAll(d.fd, line);
    if (options_.copyToStderr) writeAll(STDERR_FILENO, line);
}

// Caller holds mutex_. The identity is the tag; a datagram in the traditional syslog format; when
// no system logger listens the message is dropped, as syslog(3) does.
void SystemLogSink::sendToSyslog(int level, std::string_view message) {
    int priority = LOG_USER | (level & LOG_PRIMASK);
    std::string packet =
        "<" + std::to_string(priority) + ">" + timestamp() + " " + options_.identity;
    packet += '[' + std::to_string(::getpid()) + "]: ";
    packet += message;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (socket_ < 0) socket_ = connectSyslog();
        if (socket_ < 0) return;
        if (::send(socket_, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0) return;
        // The logger may have restarted: reconnect once.
        ::close(socket_);
        socket_ = -1;
    }
}

std::vector<RecordingLogSink::Entry> RecordingLogSink::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> RecordingLogSink::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.message);
    return out;
}

void RecordingLogSink::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

void RecordingLogSink::write(int level, std::string_view message, std::string_view sender) {
    std::lock_guard lock(mutex_);
    entries_.push_back({level, std::string(message), std::string(sender)});
}

}  // namespace platform
