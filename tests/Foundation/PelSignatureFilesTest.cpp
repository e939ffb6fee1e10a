#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "Foundation/PelSignature.h"
#include "SignatureTestPKI.h"
#include "support/TempDir.h"

namespace {

using sigtest::pki;

std::string bytes(const devsign::Data& d) { return std::string(d.begin(), d.end()); }

// A sparse file of `size` bytes whose last bytes are `tail`.
std::string sparseFile(const testsupport::TempDir& dir, const std::string& name, std::size_t size,
                       const std::string& tail = {}) {
    const std::string path = dir.file(name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, off_t(size)), 0);
    if (!tail.empty()) {
        EXPECT_EQ(::pwrite(fd, tail.data(), tail.size(), off_t(size - tail.size())),
                  ssize_t(tail.size()));
    }
    ::close(fd);
    return path;
}

class SignatureFiles : public ::testing::Test {
  protected:
    sigtest::ScopedTestTrust trust;
    testsupport::TempDir dir;
};

TEST_F(SignatureFiles, SignedDataFileHandsOutTheWholeFileOnlyWhenValid) {
    const std::string signedText = devsign::makeSignedDataFile("{\"k\":1}\n", pki().dataKey);
    const std::string path = dir.write("good.js", signedText);
    std::optional<platform::Data> data = platform::Data{1};
    EXPECT_EQ(PelVerifySignedDataFile(path.c_str(), &data), kPelSignatureValid);
    ASSERT_TRUE(data);
    EXPECT_EQ(bytes(*data), signedText);

    std::string tampered = signedText;
    tampered[2] = 'K';
    EXPECT_EQ(PelVerifySignedDataFile(dir.write("bad.js", tampered).c_str(), &data),
              kPelSignatureInvalid);
    EXPECT_FALSE(data);
    EXPECT_EQ(PelVerifySignedDataFile(path.c_str(), nullptr), kPelSignatureValid);
}

TEST_F(SignatureFiles, SignedDataFileErrors) {
    std::optional<platform::Data> data;
    EXPECT_EQ(PelVerifySignedDataFile(dir.file("missing").c_str(), &data),
              kPelSignatureFileMissing);
    EXPECT_EQ(PelVerifySignedDataFile(nullptr, &data), kPelSignatureFileMissing);
    EXPECT_EQ(PelVerifySignedDataFile(dir.path().c_str(), &data), kPelSignatureUnreadable);
    EXPECT_EQ(PelVerifySignedDataFile(dir.write("plain", "no block\n").c_str(), &data),
              kPelSignatureNotFound);
    EXPECT_FALSE(data);
}

TEST_F(SignatureFiles, SignedDataFileSizeLimit) {
    // The signed part is zero bytes and then a line of text before the block
    // (the marker search ends at a zero byte), so the file can be sparse and
    // its signature made without writing 64 MiB.
    const std::string text = std::string(1023, 'x') + "\n";
    std::string signedBytes(kPelSignatureMaxDataSize, '\0');
    auto blockFor = [&](std::size_t fileSize) {
        // The block's length does not depend on the data signed.
        const std::size_t blockLength =
            devsign::signatureBlock(pki().dataKey.signMessage("x")).size();
        const std::size_t signedLength = fileSize - blockLength;
        signedBytes.replace(signedLength - text.size(), text.size(), text);
        const std::string_view signedPart(signedBytes.data(), signedLength);
        return text + devsign::signatureBlock(pki().dataKey.signMessage(signedPart));
    };
    const std::string exact =
        sparseFile(dir, "exact", kPelSignatureMaxDataSize, blockFor(kPelSignatureMaxDataSize));
    EXPECT_EQ(PelVerifySignedDataFile(exact.c_str(), nullptr), kPelSignatureValid);
    const std::string over = sparseFile(dir, "over", kPelSignatureMaxDataSize + 1, "\n");
    EXPECT_EQ(PelVerifySignedDataFile(over.c_str(), nullptr), kPelSignatureUnreadable);
}

TEST_F(SignatureFiles, DetachedSignature) {
    const std::string content = "{\"manifest\":true}";
    const std::string dataPath = dir.write("m.js", content);
    const std::string sigPath =
        dir.write("m.sig", bytes(devsign::makeDetachedSignature(content, pki().dataKey)));
    const std::string otherSig =
        dir.write("o.sig", bytes(devsign::makeDetachedSignature(content, pki().otherDataKey)));
    const std::string tampered = dir.write("t.js", content + " ");
    const std::string empty = dir.write("empty", "");
    const std::string emptySig =
        dir.write("empty.sig", bytes(devsign::makeDetachedSignature("", pki().dataKey)));
    const std::string bigSig = dir.write("big.sig", std::string(1025, 'x'));
    const std::string maxSig = dir.write("max.sig", std::string(1024, 'x'));
    const std::string missing = dir.file("missing");

    struct Case {
        const char* name;
        std::string data, signature;
        PelSignatureStatus expected;
    } cases[] = {
        {"valid", dataPath, sigPath, kPelSignatureValid},
        {"empty data file", empty, emptySig, kPelSignatureValid},
        {"tampered data", tampered, sigPath, kPelSignatureInvalid},
        {"another key", dataPath, otherSig, kPelSignatureInvalid},
        {"1024-byte garbage signature", dataPath, maxSig, kPelSignatureInvalid},
        {"signature missing", dataPath, missing, kPelSignatureNotFound},
        {"data missing", missing, sigPath, kPelSignatureFileMissing},
        // The signature's size is checked before the data file is looked at.
        {"1025-byte signature", missing, bigSig, kPelSignatureNoCertificateOrSignature},
        {"signature is a folder", dataPath, dir.path().string(),
         kPelSignatureNoCertificateOrSignature},
        {"data is a folder", dir.path().string(), sigPath, kPelSignatureUnreadable},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PelVerifyDetachedSignatureFile(c.data.c_str(), c.signature.c_str()), c.expected)
            << c.name;
}

TEST_F(SignatureFiles, DetachedSignatureSizeLimit) {
    const std::string zeros(kPelSignatureMaxDataSize, '\0');
    const std::string sig =
        dir.write("z.sig", bytes(devsign::makeDetachedSignature(zeros, pki().dataKey)));
    const std::string exact = sparseFile(dir, "exact", kPelSignatureMaxDataSize);
    EXPECT_EQ(PelVerifyDetachedSignatureFile(exact.c_str(), sig.c_str()), kPelSignatureValid);
    const std::string over = sparseFile(dir, "over", kPelSignatureMaxDataSize + 1);
    EXPECT_EQ(PelVerifyDetachedSignatureFile(over.c_str(), sig.c_str()), kPelSignatureUnreadable);
}

}  // namespace
