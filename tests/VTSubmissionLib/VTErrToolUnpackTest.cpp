#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "SubmissionTestSupport.h"
#include "support/ToolRun.h"

TEST(VTErrToolUnpackTest, RefusesAPayloadDeclaringAHundredMillionEntries) {
    // 72 bytes: one stored folder split into 99,999,999 substreams (libarchive
    // alone spends seconds and half a gigabyte on it).
    const std::string hostile(
        "\x37\x7a\xbc\xaf\x27\x1c\x00\x04\xf8\xf5\x72\xc9\x0a\x00\x00\x00\x00\x00\x00\x00\x1e\x00"
        "\x00\x00\x00\x00\x00\x00\x6e\x3f\xef\x7c\x30\x31\x32\x33\x34\x35\x36\x37\x38\x39\x01\x04"
        "\x06\x00\x01\x09\x0a\x00\x07\x0b\x01\x00\x01\x01\x00\x0c\x0a\x00\x08\x0d\xe5\xff\xe0\xf5"
        "\x00\x00\x05\x01\x00\x00",
        72);
    subtest::Fixture fx;
    const std::string file = fx.temp().file("hostile.7z");
    std::ofstream(file, std::ios::binary) << hostile;
    const std::string folder = fx.temp().file("out");

    const auto unpacked = testsupport::runErrTool({"unpack", file, folder});
    EXPECT_EQ(unpacked.status, 1);
    const std::string& message = unpacked.err;
    EXPECT_NE(message.find("Too many substreams"), std::string::npos) << message;
    EXPECT_NE(message.find("Code=8"), std::string::npos) << message;
    // No unpacking folder was made (the tool's own configuration folders aside).
    for (const auto& item : std::filesystem::directory_iterator(folder))
        EXPECT_NE(item.path().filename().string().rfind("vantrel.", 0), 0u) << item.path();
}
