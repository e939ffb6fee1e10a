#include "Foundation/PelLogging.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "Platform/Text/Hex.h"

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::optional<std::string> percentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        int hi = i + 1 < s.size() ? platform::hexDigitValue(s[i + 1]) : -1;
        int lo = i + 2 < s.size() ? platform::hexDigitValue(s[i + 2]) : -1;
        if (hi < 0 || lo < 0) return std::nullopt;
        char byte = static_cast<char>(hi * 16 + lo);
        if (byte == '\0') return std::nullopt;
        out += byte;
        i += 2;
    }
    if (!isValidUtf8(out)) return std::nullopt;
    return out;
}

const char* processName() {
    const char* name = program_invocation_short_name;
    return name && *name ? name : "PelInstall";
}

}  // namespace

PelLogChannel::PelLogChannel(Config config) : config_(std::move(config)) {}

std::string PelLogChannel::logFolder(uid_t effectiveUserId) {
    return effectiveUserId == 0 ? platform::Paths::resolve("/Library/Logs")
                                : platform::Paths::userLibrary("Logs");
}

std::string PelLogChannel::decodeMessage(std::string_view text) {
    std::string stripped;
    stripped.reserve(text.size());
    for (char c : text)
        if (c != '"') stripped += c;
    if (stripped.find('%') == std::string::npos) return stripped;
    if (auto decoded = percentDecode(stripped)) return std::move(*decoded);
    return stripped;
}

void PelLogChannel::openLog() {
    std::call_once(opened_, [this] {
        auto sink = std::make_unique<platform::SystemLogSink>(platform::SystemLogSink::Options{
            config_.identity, config_.facility, config_.copyToStderr, config_.sendToSystemLog});
        std::string folder = logFolder(config_.effectiveUserId.value_or(::geteuid()));
        std::string path = platform::Paths::join(folder, config_.fileName);
        // The folder is made and opened by descriptor and the file opened
        // below it, never through a link: a root run logs only into folders
        // no other user can change (else to the system log alone).
        auto opened =
            platform::SharedFolder::make(folder, platform::SharedFolder::kDefaultMode, nullptr);
        // Mode 0755 is what earlier releases created the file with; keep it so
        // that existing files and new ones look alike.
        int fd = -1;
        if (opened) {
            do {
                fd = opened->openFile(config_.fileName, O_RDWR | O_APPEND | O_CREAT, 0755);
            } while (fd < 0 && errno == EINTR);
        }
        if (fd >= 0) sink->addFileDescriptor(fd, true);
        sink->setLevelMask(platform::logUpTo(platform::kLogNotice));
        sink_ = std::move(sink);
        filePath_ = std::move(path);
        openedFlag_.store(true, std::memory_order_release);
    });
}

std::string PelLogChannel::logFilePath() {
    return openedFlag_.load(std::memory_order_acquire) ? filePath_ : std::string();
}

void PelLogChannel::logMessageOfErrorType(int level, std::string_view message) {
    openLog();
    if (config_.decodeMessages)
        sink_->log(level, decodeMessage(message), processName());
    else
        sink_->log(level, message, processName());
}

PelLogChannel::Config PelLogging::installChannelConfig() {
    PelLogChannel::Config config;
    config.identity = "PelInstall";
    config.facility = "PelInstall Messages";
    config.fileName = "PelInstall.log";
    config.decodeMessages = true;
    return config;
}

namespace {
std::mutex& sharedMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::shared_ptr<PelLogChannel>& sharedSlot() {
    static auto* slot = new std::shared_ptr<PelLogChannel>;
    return *slot;
}
}  // namespace

std::shared_ptr<PelLogChannel> PelLogging::sharedChannel() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_shared<PelLogChannel>(installChannelConfig());
    return slot;
}

void PelLogging::setSharedChannel(std::shared_ptr<PelLogChannel> channel) {
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(channel);
}
