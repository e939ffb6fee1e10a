#include "Engine/PelHardwareUtilities.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

#include "Foundation/PelLogging.h"
#include "Platform/System/Paths.h"

namespace {

std::vector<std::string_view> splitVersion(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return parts;
}

// The leading decimal digits of a version part, saturating on overflow.
std::int64_t leadingNumber(std::string_view part) {
    std::int64_t value = 0;
    for (char c : part) {
        if (c < '0' || c > '9') break;
        int digit = c - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
            return std::numeric_limits<std::int64_t>::max();
        value = value * 10 + digit;
    }
    return value;
}

// A 64-bit integer read from the start of a text: leading blanks skipped, an
// optional sign, then digits; saturating.
std::int64_t leadingInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::int64_t magnitude = leadingNumber(text.substr(i));
    return negative ? -magnitude : magnitude;
}

std::int64_t saturatingMultiply(std::int64_t value, std::int64_t factor) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (value > kMax / factor) return kMax;
    if (value < kMin / factor) return kMin;
    return value * factor;
}

}  // namespace

PelHardwareUtilities& PelHardwareUtilities::sharedHardwareUtilities() {
    static PelHardwareUtilities instance;
    return instance;
}

std::shared_ptr<platform::SystemInfo> PelHardwareUtilities::systemInfo() const {
    std::lock_guard lock(mutex_);
    return info_ ? info_ : platform::systemInfo();
}

void PelHardwareUtilities::setSystemInfo(std::shared_ptr<platform::SystemInfo> info) {
    std::lock_guard lock(mutex_);
    info_ = std::move(info);
}

std::optional<std::string> PelHardwareUtilities::currentOS() const {
    return systemInfo()->osVersion();
}

std::uint64_t PelHardwareUtilities::physicalMemory() const {
    return systemInfo()->physicalMemory();
}

double PelHardwareUtilities::freeSpace() const {
    auto free = systemInfo()->freeSpace(platform::Paths::resolve("/"));
    if (!free) {
        PelLogging::logDebugMessage("Error occurred while trying to retrieve disk space");
        return 0;
    }
    return *free;
}

int PelHardwareUtilities::checkVersion(const std::optional<std::string>& required,
                                       const std::optional<std::string>& current) {
    const std::string requiredText = required.value_or("");
    const std::string currentText = current.value_or("");
    auto requiredParts = splitVersion(requiredText);
    auto currentParts = splitVersion(currentText);
    std::size_t count = std::max(requiredParts.size(), currentParts.size());
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t want = i < requiredParts.size() ? leadingNumber(requiredParts[i]) : 0;
        std::int64_t have = i < currentParts.size() ? leadingNumber(currentParts[i]) : 0;
        if (have > want) return 1;
        if (have < want) return -1;
    }
    return 0;
}

std::optional<std::int64_t> PelHardwareUtilities::sizeInBytes(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (auto gb = lower.find("gb"); gb != std::string::npos)
        return saturatingMultiply(leadingInteger(std::string_view(lower).substr(0, gb)), 1LL << 30);
    if (auto mb = lower.find("mb"); mb != std::string::npos)
        return saturatingMultiply(leadingInteger(std::string_view(lower).substr(0, mb)), 1LL << 20);
    return std::nullopt;
}
