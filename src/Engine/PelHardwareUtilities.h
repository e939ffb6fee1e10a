// Operating-system version, memory, free disk space and dotted-version
// comparison for the requirement checks, the upgrade rules and the launch
// agent. The machine facts come from a platform::SystemInfo that tests may
// replace. Every function may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/System/SystemInfo.h"

class PelHardwareUtilities {
  public:
    static PelHardwareUtilities& sharedHardwareUtilities();

    /// The operating system's dotted version, or nothing when unknown.
    std::optional<std::string> currentOS() const;
    /// The machine's memory in bytes.
    std::uint64_t physicalMemory() const;
    /// The free bytes of the file system that holds "/" (through the path
    /// root); 0 when its attributes cannot be read.
    double freeSpace() const;

    /// Compares two dotted versions part by part (the shorter padded with
    /// "0", each part read from its leading digits, 0 when there are none; a
    /// missing text is version 0): 1 when `current` is higher at the first
    /// differing part, -1 when lower, 0 when equal.
    static int checkVersion(const std::optional<std::string>& required,
                            const std::optional<std::string>& current);

    /// The bytes a size text asks for: the number before the first "gb"
    /// (times 2^30) or, failing that, before the first "mb" (times 2^20), in
    /// any case; nothing when the text has neither unit. Saturates instead of
    /// overflowing.
    static std::optional<std::int64_t> sizeInBytes(std::string_view text);

    std::shared_ptr<platform::SystemInfo> systemInfo() const;
    /// Replaces the machine facts (tests); null returns to the system's.
    void setSystemInfo(std::shared_ptr<platform::SystemInfo> info);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<platform::SystemInfo> info_;
};
