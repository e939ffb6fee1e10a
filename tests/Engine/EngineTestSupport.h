// A temporary path root with fake machine facts, receipts, reachability and a
// registry of its own, installed on the engine's shared utilities for the
// life of one test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Engine/PelHardwareUtilities.h"
#include "Engine/PelProductCheckUtils.h"
#include "Engine/PelRequirementKinds.h"
#include "Foundation/PelRegistry.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"
#include "support/TempDir.h"

namespace enginetest {

using platform::Array;
using platform::Dictionary;
using platform::Value;

class FakeSystemInfo : public platform::SystemInfo {
  public:
    std::optional<std::string> os = "10.15.7";
    std::uint64_t memory = 8ULL << 30;
    std::optional<double> free = 100.0 * (1ULL << 30);
    std::optional<std::string> machine = "x86_64";

    std::optional<std::string> osVersion() const override { return os; }
    std::uint64_t physicalMemory() const override { return memory; }
    std::optional<double> freeSpace(const std::string&) const override { return free; }
    bool machineName(std::string* name, int* result, int* errorNumber) const override {
        if (!machine) {
            *result = -1;
            *errorNumber = 14;
            return false;
        }
        *name = *machine;
        return true;
    }
};

class FakeReceipts : public platform::PackageReceipts {
  public:
    std::set<std::string> receipts;
    bool receiptExists(const std::string& identifier) const override {
        return receipts.count(identifier) != 0;
    }
};

class FakeReachability : public platform::NetworkReachability {
  public:
    bool canCheck = true;
    std::optional<std::uint32_t> flags = platform::kReachabilityReachable;
    bool canCheckHost(const std::string&) const override { return canCheck; }
    bool flagsForHost(const std::string&, std::uint32_t* out) const override {
        if (!flags) return false;
        *out = *flags;
        return true;
    }
};

/// Logs quietly into the temporary root.
class QuietLog {
  public:
    QuietLog();
    ~QuietLog();
};

class EngineFixture : public ::testing::Test {
  protected:
    EngineFixture();
    ~EngineFixture() override;

    /// The place of a system path inside the root.
    std::string rooted(const std::string& systemPath) const { return root_ + systemPath; }
    /// Writes a product module into the registry folder of the root.
    void writeModule(const std::string& name, const Dictionary& module) const;
    /// Writes a property list to `path` (creating folders) and returns the path.
    static std::string writePlist(const std::string& path, const Value& value);
    /// Creates an empty file (and its folders) at `path`.
    static void touch(const std::string& path);
    /// Lists a mounted volume of `type` at the system path `mountPoint` in the
    /// root's mount table ("/" comes first) and makes its folder (0755)
    /// unless `makeFolder` is false. Answers the folder's place.
    std::string mountVolume(const std::string& mountPoint, const std::string& type = "ext4",
                            bool makeFolder = true) const;

    testsupport::TempDir dir_;
    std::string root_ = dir_.file("root");
    platform::Paths::ScopedRoot pathRoot_{root_, dir_.file("home")};
    QuietLog log_;
    std::shared_ptr<FakeSystemInfo> system_ = std::make_shared<FakeSystemInfo>();
    std::shared_ptr<FakeReceipts> receipts_ = std::make_shared<FakeReceipts>();
    std::shared_ptr<FakeReachability> reachability_ = std::make_shared<FakeReachability>();
    std::unique_ptr<PelRegistry::Registry> registry_;
};

/// A requirement-list entry of `kind` with `check` and further keys.
inline Dictionary entry(const Value& reqID, const std::string& kind, const Value& check,
                        Dictionary more = {}) {
    more["ReqID"] = reqID;
    more[kind] = check;
    return more;
}

inline Dictionary record(const std::string& title, const std::string& type = "ERROR") {
    return {{"title", title}, {"message", title + " body"}, {"type", type}};
}

}  // namespace enginetest
