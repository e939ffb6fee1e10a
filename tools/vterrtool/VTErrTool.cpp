#include "vterrtool/VTErrTool.h"

#include <filesystem>
#include <optional>

#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTErrorPayload.h"
#include "VTErrorCreationLib/VTLogicalError.h"

namespace vterrtool {

namespace {

int usage(std::FILE* err) {
    std::fprintf(err,
                 "usage: vterrtool make --base BASE\n"
                 "       vterrtool pack --error ERROR-FOLDER --out FILE.7z [--store]\n"
                 "       vterrtool unpack FILE.7z FOLDER\n");
    return 2;
}

std::string absolute(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::absolute(path, ignored).lexically_normal().string();
}

int makeError(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.size() != 3 || args[1] != "--base") return usage(err);
    const std::string base = absolute(args[2]);
    auto client = VTClient::embeddedClientWithConfig(
        VTSCDConfiguration::hardcodedConfigurationUsingPath(base), nullptr);
    platform::Error failure;
    auto error = client->createLogicalErrorInComponent(
        "vterrtool", reinterpret_cast<const void*>(&makeError), 0x7674, 1, false, &failure);
    if (!error) {
        std::fprintf(err, "vterrtool: no error made: %s\n",
                     failure.empty() ? "error reporting is off for this base"
                                     : failure.description().c_str());
        return 1;
    }
    error->addParameterDataWithKey("tool", "vterrtool", nullptr);
    const std::string notes = "Made by vterrtool for trying out payloads.\n";
    if (!error->addDetailData(platform::Data(notes.begin(), notes.end()), "Notes",
                              std::string("free text"), &failure) ||
        !error->save(&failure)) {
        std::fprintf(err, "vterrtool: %s\n", failure.description().c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", error->fileURL()->c_str());
    return 0;
}

int pack(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::optional<std::string> folder, file;
    bool store = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--store")
            store = true;
        else if (args[i] == "--error" && i + 1 < args.size())
            folder = absolute(args[++i]);
        else if (args[i] == "--out" && i + 1 < args.size())
            file = absolute(args[++i]);
        else
            return usage(err);
    }
    if (!folder || !file) return usage(err);
    platform::Error failure;
    auto properties = VTCodingUtilities::objectWithContentsOfFile<VTErrorProperties>(
        *folder + "/summary.vterr", &failure);
    std::optional<VTErrorData> data;
    if (properties)
        data = VTCodingUtilities::objectWithContentsOfFile<VTErrorData>(*folder + "/data.vterr",
                                                                        &failure);
    if (!properties || !data) {
        std::fprintf(err, "vterrtool: %s is no saved error: %s\n", folder->c_str(),
                     failure.description().c_str());
        return 1;
    }
    auto error = VTErrorInstance::loadWithProperties(std::move(properties), std::move(data),
                                                     *folder, nullptr, 1);
    VTSCDConfiguration configuration;
    configuration.setCompressPayload(!store);
    auto payload = VTErrorPayload::payloadFileWithError(error, *file, configuration, &failure);
    if (!payload) {
        std::fprintf(err, "vterrtool: packing failed%s%s\n", failure.empty() ? "" : ": ",
                     failure.empty() ? "" : failure.description().c_str());
        return 1;
    }
    std::fprintf(out, "%s: %llu entries, %llu bytes of details\n", file->c_str(),
                 static_cast<unsigned long long>(payload->numberOfFiles()),
                 static_cast<unsigned long long>(payload->uncompressedSize()));
    return 0;
}

int unpack(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.size() != 3) return usage(err);
    const std::string file = absolute(args[1]);
    const std::string folder = absolute(args[2]);
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    auto client = VTClient::embeddedClientWithConfig(
        VTSCDConfiguration::hardcodedConfigurationUsingPath(folder), nullptr);
    platform::Error failure;
    auto payload = VTErrorPayload::payloadWithPayloadURL(file, folder, *client, &failure);
    if (!payload) {
        std::fprintf(err, "vterrtool: unpacking failed%s%s\n", failure.empty() ? "" : ": ",
                     failure.empty() ? "" : failure.description().c_str());
        return 1;
    }
    std::fprintf(out, "%s\n%s\n", payload->error()->fileURL()->c_str(),
                 payload->error()->summaryData().description().c_str());
    return 0;
}

}  // namespace

int run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.empty()) return usage(err);
    if (args[0] == "make") return makeError(args, out, err);
    if (args[0] == "pack") return pack(args, out, err);
    if (args[0] == "unpack") return unpack(args, out, err);
    return usage(err);
}

}  // namespace vterrtool
