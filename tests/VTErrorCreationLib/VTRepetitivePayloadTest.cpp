// A payload of highly repetitive logs packs far beyond any ratio a bomb could
// be told apart by; what this library packed it must read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "VTClientTestSupport.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTErrorPayload.h"

namespace fs = std::filesystem;

TEST(VTRepetitivePayload, LogsPackedFarPastAThousandToOneUnpackWhole) {
    VTErrorPayload::setSleeper([](std::chrono::milliseconds) {});
    vtclienttest::ClientTree tree;
    auto client = tree.client();
    auto error = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, client);
    error->summaryData().setFailureUUID(VTUUID::UUID());
    error->summaryData().setBucketId(0x10c5);
    // Three logs of 8 MiB (each within the installer's 10 MB attachment
    // limit), the same few lines over and over.
    constexpr std::size_t kLogSize = std::size_t{8} << 20;
    std::string log;
    for (int i = 0; log.size() < kLogSize; ++i)
        log += "2024-05-01T12:00:0" + std::to_string(i % 4) +
               "Z installer[4242]: Retrying download of Pkg.zip (server busy)\n";
    log.resize(kLogSize);
    const platform::Data bytes(log.begin(), log.end());
    for (const char* name : {"InstallLog", "DownloadLog", "HelperLog"})
        ASSERT_TRUE(error->addDetailData(bytes, name, std::nullopt, nullptr)) << name;
    platform::Error failure;
    ASSERT_TRUE(error->finalize(&failure)) << failure.description();

    const std::string file = tree.temp().file("payload.7z");
    ASSERT_TRUE(VTErrorPayload::payloadFileWithError(error, file, tree.configuration(), &failure))
        << failure.description();
    EXPECT_LT(fs::file_size(file) * 1024, 3 * kLogSize) << "packs past 1024:1";

    const std::string destination = tree.temp().file("unpacked");
    fs::create_directories(destination);
    auto payload = VTErrorPayload::payloadWithPayloadURL(file, destination, *client, &failure);
    VTErrorPayload::setSleeper({});
    ASSERT_TRUE(payload) << failure.description();
    ASSERT_TRUE(payload->error());
    EXPECT_EQ(payload->uncompressedSize(), 3 * kLogSize +
                                               fs::file_size(*error->fileURL() + "/summary.vterr") +
                                               fs::file_size(*error->fileURL() + "/data.vterr"));
    for (const char* name : {"InstallLog", "DownloadLog", "HelperLog"}) {
        std::ifstream in(*payload->error()->fileURL() + "/" + name, std::ios::binary);
        EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == log) << name;
    }
}
