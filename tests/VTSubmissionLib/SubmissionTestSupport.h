// A configuration on a temporary base, errors with everything a ping needs,
// and gateways on loopback servers.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/VTErrorClient.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTSubmissionLib/VTServerSubmission.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

namespace subtest {

class FakeErrorClient : public VTErrorClient {
  public:
    std::shared_ptr<const VTSCDConfiguration> scdConfiguration() const override { return config; }
    std::shared_ptr<const VTSCDConfiguration> config;
};

inline const char* kUUIDText = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

class Fixture {
  public:
    Fixture() : root_(temp_.path().string()) {
        std::filesystem::create_directories(platform::Paths::temporaryDirectory());
        configuration = std::make_shared<VTSCDConfiguration>(
            VTSCDConfiguration::hardcodedConfigurationUsingPath(temp_.file("base")));
        errorClient->config = configuration;
    }

    /// A logical error (bucket 0xabc12) that a ping accepts.
    std::shared_ptr<VTErrorInstance> makeError() const {
        auto error = std::make_shared<VTErrorInstance>(2, 2, errorClient);
        VTErrorProperties& s = error->summaryData();
        s.setFailureUUID(*VTUUID::initWithUUIDString(kUUIDText));
        s.setBucketId(0xabc12);
        s.setProductName(std::string("Ostrel"));
        s.setProductVersion(std::string("8.4.2f21"));
        s.setModuleName(std::string("libostrel.dylib"));
        s.setMachineId(*VTUUID::initWithUUIDString("11111111-2222-3333-4444-555555555555"));
        s.setMid(*VTUUID::initWithUUIDString("66666666-7777-8888-9999-AAAAAAAAAAAA"));
        return error;
    }

    /// Replaces the gateways: each server with its type and priority.
    void setGateways(const std::vector<std::tuple<int, int, std::uint16_t>>& typePriorityPort) {
        std::vector<VTGateway> gateways;
        for (auto [type, priority, port] : typePriorityPort)
            gateways.emplace_back(type, priority, port, "127.0.0.1", type == 0 ? "ping" : "upload",
                                  false);
        configuration->setGateways(std::move(gateways));
    }

    VTSubmissionContext context() const {
        VTSubmissionContext c;
        c.configuration = configuration;
        return c;
    }

    const testsupport::TempDir& temp() const { return temp_; }

    std::shared_ptr<VTSCDConfiguration> configuration;
    std::shared_ptr<FakeErrorClient> errorClient = std::make_shared<FakeErrorClient>();

  private:
    testsupport::TempDir temp_;
    platform::Paths::ScopedRoot root_;
};

/// name=value pairs of a form or query text, values unescaped.
inline std::map<std::string, std::string> parseForm(const std::string& text) {
    auto unescape = [](const std::string& s) {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '%' && i + 2 < s.size()) {
                out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    std::map<std::string, std::string> out;
    std::size_t pos = 0;
    while (pos <= text.size() && !text.empty()) {
        std::size_t amp = text.find('&', pos);
        std::string pair =
            text.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        std::size_t eq = pair.find('=');
        out[unescape(pair.substr(0, eq))] =
            eq == std::string::npos ? "" : unescape(pair.substr(eq + 1));
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return out;
}

}  // namespace subtest
