// A registry folder in a temporary root, filled by the tests with module files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Foundation/PelErrReporting.h"
#include "Foundation/PelErrReportingTesting.h"
#include "Foundation/PelRegistry.h"
#include "FoundationTestSupport.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"
#include "support/TempDir.h"

namespace registrytest {

using platform::Array;
using platform::Dictionary;
using platform::Value;

/// A module reference that the test releases when it ends.
struct Held {
    explicit Held(PelRegistry::Module* m = nullptr) : module(m) {}
    ~Held() {
        if (module) module->Release();
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    PelRegistry::Module* operator->() const { return module; }
    explicit operator bool() const { return module != nullptr; }
    PelRegistry::Module* module;
};

/// The text of a looked-up value: its description, or "(none)".
inline std::string text(const Value* v) { return v ? v->description() : "(none)"; }
inline std::string text(const std::string* s) { return s ? *s : "(none)"; }

inline Dictionary matchId(const std::string& identifier) { return {{"Identifier", identifier}}; }

class RegistryFixture : public ::testing::Test {
  protected:
    std::string folder() const { return root_ + "/Library/Application Support/Pelgrave/Registry"; }

    /// Writes `module` as the XML property list `name` in the registry folder.
    std::string writeModule(const std::string& name, const Dictionary& module) const {
        std::filesystem::create_directories(folder());
        std::string path = folder() + "/" + name;
        platform::Error error;
        EXPECT_TRUE(platform::PropertyList::toFile(
            Value(module), path, platform::PropertyListFormat::XML, false, &error))
            << error.description();
        return path;
    }
    std::string writeRaw(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(folder());
        std::string path = folder() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    /// A module file of `type` with `identifier` and further keys.
    static Dictionary module(const std::string& type, const std::string& identifier,
                             Dictionary more = {}) {
        more["Type"] = type;
        more["Identifier"] = identifier;
        return more;
    }

    testsupport::TempDir dir_;
    std::string root_ = dir_.file("root");
    platform::Paths::ScopedRoot pathRoot_{root_, dir_.file("home")};
    foundationtest::QuietLogging logging_;
    PelErrReportingRecorder reports_;
};

}  // namespace registrytest
