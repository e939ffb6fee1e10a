#include "vtscdtool/VTSCDTool.h"

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"

namespace vtscdtool {

namespace {

std::optional<VTGateway> gatewayFrom(const platform::Value& entry, std::string* problem) {
    const platform::Dictionary* d = entry.asDictionary();
    if (!d) {
        *problem = "a gateway is not a dictionary";
        return std::nullopt;
    }
    auto number = [&](const char* key) -> std::int64_t {
        auto it = d->find(key);
        return it == d->end() ? 0 : it->second.int64Value();
    };
    auto text = [&](const char* key) -> std::string {
        auto it = d->find(key);
        return it == d->end() ? std::string() : it->second.stringValue();
    };
    auto type = static_cast<std::int32_t>(number("type"));
    auto priority = static_cast<std::uint32_t>(number("priority"));
    if (d->count("url")) {
        auto g = VTGateway::initWithTypePriorityURL(type, priority, text("url"));
        if (!g) *problem = "gateway URL without scheme or host: " + text("url");
        return g;
    }
    if (text("host").empty()) {
        *problem = "a gateway has neither \"url\" nor \"host\"";
        return std::nullopt;
    }
    auto ssl = d->find("useSSL");
    return VTGateway(type, priority, static_cast<std::uint16_t>(number("port")), text("host"),
                     text("URI"), ssl != d->end() && ssl->second.boolValue());
}

}  // namespace

std::optional<VTSCDConfiguration> configurationFromDictionary(const platform::Dictionary& values,
                                                              std::string* problem) {
    std::string ignored;
    if (!problem) problem = &ignored;
    VTSCDConfiguration configuration;
    platform::Dictionary rest;
    for (const auto& [key, value] : values) {
        if (key == "basePath" || key == "scdPath") {
            *problem = key + " is not stored in a configuration file";
            return std::nullopt;
        }
        if (key != "gateways") {
            rest.insert_or_assign(key, value);
            continue;
        }
        if (!value.isArray()) {
            *problem = "gateways is not an array";
            return std::nullopt;
        }
        std::vector<VTGateway> gateways;
        for (const auto& entry : *value.asArray()) {
            auto g = gatewayFrom(entry, problem);
            if (!g) return std::nullopt;
            gateways.push_back(*g);
        }
        configuration.setGateways(std::move(gateways));
    }
    platform::Error error;
    if (!VTCodingUtilities::setPropertyValues(configuration, rest, &error)) {
        *problem = error.localizedDescription();
        return std::nullopt;
    }
    return configuration;
}

platform::Data encodeConfiguration(const VTSCDConfiguration& configuration) {
    platform::Data out;
    VTEncodeScrambledArchive(&configuration, &out, kVTConfigurationKeyTable, nullptr);
    return out;
}

void writeSignedFiles(const platform::Data& datBytes, const devsign::PrivateKey& key,
                      const std::string& folder) {
    std::string_view content(reinterpret_cast<const char*>(datBytes.data()), datBytes.size());
    platform::Data signature = devsign::makeDetachedSignature(content, key);
    devsign::writeFile(platform::Paths::join(folder, "vtscd.dat"), content);
    devsign::writeFile(
        platform::Paths::join(folder, "vtscd.sig"),
        std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()));
}

std::optional<platform::Dictionary> readPropertyListFile(const std::string& path,
                                                         std::string* problem) {
    platform::Data data;
    platform::Error error;
    if (!VTCodingUtilities::readFile(path, data, &error)) {
        *problem = error.localizedDescription();
        return std::nullopt;
    }
    VTPlistNode node;
    if (!VTReadPlist(data.data(), data.size(), &node, &error)) {
        *problem = path + " is not a property list";
        return std::nullopt;
    }
    platform::Value value = VTValueFromPlistNode(node);
    if (!value.isDictionary()) {
        *problem = path + " does not hold a dictionary";
        return std::nullopt;
    }
    return *value.asDictionary();
}

}  // namespace vtscdtool
