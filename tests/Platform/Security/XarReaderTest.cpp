#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "Platform/Security/XarReader.h"
#include "pelsign/DevSigning.h"
#include "pelsign/XarWriter.h"
#include "support/TempDir.h"

namespace {

using devsign::Data;
using platform::XarArchive;

const devsign::PrivateKey& key() {
    static const auto* k = new devsign::PrivateKey(devsign::PrivateKey::generateRSA(1024));
    return *k;
}

std::unique_ptr<XarArchive> open(const Data& bytes, platform::Error* error = nullptr) {
    return XarArchive::openData(bytes, error);
}

std::string utf16le(const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

std::string toc(const std::string& inner) {
    return "<?xml version=\"1.0\"?>\n<xar><toc>" + inner + "</toc></xar>";
}

const std::string kChecksum =
    "<checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>";

Data assemble(const std::string& tocXml, std::size_t heapSize = 64) {
    devsign::XarLayout layout;
    layout.tocXml = tocXml;
    layout.heap = Data(heapSize, 0);
    return devsign::assembleXar(layout);
}

TEST(XarArchive, ReadsSignatureCertificatesChecksumAndFiles) {
    devsign::XarOptions options;
    options.files = {{"Distribution", Data{'d'}}, {"Payload", Data(3000, 'p')}};
    options.signing = devsign::XarSigning{&key(), {Data{1, 2, 3}, Data(300, 9)}};
    const Data bytes = devsign::buildXar(options);
    platform::Error error;
    const auto archive = open(bytes, &error);
    ASSERT_TRUE(archive) << error.description();

    EXPECT_EQ(archive->checksumAlgorithm(), platform::DigestAlgorithm::kSHA1);
    const platform::XarSignature* signature = archive->firstSignature();
    ASSERT_NE(signature, nullptr);
    EXPECT_EQ(signature->style, "RSA");
    EXPECT_EQ(signature->certificates, (std::vector<Data>{Data{1, 2, 3}, Data(300, 9)}));
    EXPECT_TRUE(archive->verifyTableOfContentsChecksum(&error)) << error.description();

    Data checksum, signatureBytes;
    ASSERT_TRUE(archive->copySignedData(*signature, &checksum, &signatureBytes));
    const auto publicKey =
        platform::PublicKey::importDER(key().publicKeySPKI().data(), key().publicKeySPKI().size());
    ASSERT_TRUE(publicKey);
    EXPECT_EQ(
        publicKey->verifyDigest(platform::DigestAlgorithm::kSHA1, checksum.data(), checksum.size(),
                                signatureBytes.data(), signatureBytes.size()),
        platform::VerifyResult::kValid);

    ASSERT_EQ(archive->files().size(), 2u);
    EXPECT_EQ(archive->files()[1].name, "Payload");
    EXPECT_EQ(archive->files()[1].length, 3000u);
    EXPECT_TRUE(archive->verifyFileChecksums(&error)) << error.description();
}

TEST(XarArchive, OpensFilesByPath) {
    testsupport::TempDir dir;
    devsign::XarOptions options;
    const Data bytes = devsign::buildXar(options);
    const std::string path = dir.write("a.xar", std::string(bytes.begin(), bytes.end()));
    EXPECT_TRUE(XarArchive::open(path));
    platform::Error error;
    EXPECT_FALSE(XarArchive::open(dir.file("missing"), &error));
    EXPECT_EQ(error.code(), platform::kXarErrorOpen);
    EXPECT_FALSE(XarArchive::open(dir.path().string()));
}

TEST(XarArchive, NamesNestedFilesByTheirPath) {
    const std::string sum =
        "<archived-checksum style=\"sha1\">"
        "da39a3ee5e6b4b0d3255bfef95601890afd80709</archived-checksum>";
    const auto archive = open(
        assemble(toc("<file><name>Contents</name><type>directory</type>"
                     "<file><name>Archive.bom</name><data><offset>0</offset><length>0</length>" +
                     sum + "</data></file></file>")));
    ASSERT_TRUE(archive);
    ASSERT_EQ(archive->files().size(), 1u);
    EXPECT_EQ(archive->files()[0].name, "Contents/Archive.bom");
    EXPECT_TRUE(archive->verifyFileChecksums());
}

TEST(XarArchive, RefusesFileNamesThatMultiplyAFoldersName) {
    // Each file below a folder carries the folder's name: a table of a few
    // megabytes (a few kilobytes compressed) would make gigabytes of names.
    auto table = [](std::size_t folderName, int files) {
        std::string inner = "<file><name>" + std::string(folderName, 'F') + "</name>";
        for (int i = 0; i < files; ++i)
            inner += "<file><name>x</name><data><offset>0</offset><length>0</length></data></file>";
        return toc(inner + "</file>");
    };
    platform::Error error;
    const auto modest = open(assemble(table(4096, 200)), &error);
    ASSERT_TRUE(modest) << error.description();
    EXPECT_EQ(modest->files().size(), 200u);
    EXPECT_FALSE(open(assemble(table(std::size_t{256} << 10, 100)), &error));
    EXPECT_EQ(error.code(), platform::kXarErrorTOC);
}

// Headers and tables of contents that lie about sizes or are malformed:
// each must be refused at open, never read out of bounds.
TEST(XarArchive, RefusesLyingOrMalformedArchives) {
    const Data good = assemble(toc(kChecksum));
    auto patched = [&](std::size_t at, std::uint64_t value, int bytes) {
        Data d = good;
        for (int i = bytes - 1; i >= 0; --i, value >>= 8)
            d[at + std::size_t(i)] = std::uint8_t(value);
        return d;
    };
    const std::uint64_t compressed = good.size() - 28 - 64;
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    auto withLengths = [&](std::optional<std::uint64_t> c, std::optional<std::uint64_t> u) {
        devsign::XarLayout layout;
        layout.tocXml = toc(kChecksum);
        layout.heap = Data(64, 0);
        layout.compressedLengthOverride = c;
        layout.uncompressedLengthOverride = u;
        return devsign::assembleXar(layout);
    };
    const std::string tocLength = std::to_string(toc(kChecksum).size());

    struct Case {
        const char* name;
        Data bytes;
    } cases[] = {
        {"shorter than a header", Data(good.begin(), good.begin() + 20)},
        {"bad magic", patched(0, 0x78617222, 4)},
        {"version 2", patched(6, 2, 2)},
        {"header size below 28", patched(4, 27, 2)},
        {"header size beyond the file", patched(4, 0xffff, 2)},
        {"unknown checksum algorithm", patched(24, 9, 4)},
        {"algorithm 3 without a name", patched(24, 3, 4)},
        {"compressed length beyond the file", withLengths(good.size(), std::nullopt)},
        {"compressed length of 2^64-1", withLengths(huge, std::nullopt)},
        {"compressed length too short", withLengths(compressed - 5, std::nullopt)},
        {"compressed length too long", withLengths(compressed + 10, std::nullopt)},
        {"compressed length zero", withLengths(0, std::nullopt)},
        {"uncompressed length too large", withLengths(std::nullopt, std::stoull(tocLength) + 1)},
        {"uncompressed length too small", withLengths(std::nullopt, std::stoull(tocLength) - 1)},
        {"uncompressed length of 2^63", withLengths(std::nullopt, std::uint64_t(1) << 63)},
        {"checksum beyond the heap",
         assemble(toc("<checksum style=\"sha1\"><offset>60</offset><size>20</size></checksum>"))},
        {"checksum range that wraps around",
         assemble(toc("<checksum style=\"sha1\"><offset>1</offset><size>18446744073709551615"
                      "</size></checksum>"))},
        {"signature beyond the heap",
         assemble(toc(kChecksum + "<signature style=\"RSA\"><offset>20</offset><size>128</size>"
                                  "</signature>"))},
        {"signature offset past the end",
         assemble(toc(kChecksum + "<signature style=\"RSA\"><offset>18446744073709551615"
                                  "</offset><size>1</size></signature>"))},
        {"number with letters",
         assemble(toc("<checksum style=\"sha1\"><offset>0x0</offset><size>20</size></checksum>"))},
        {"negative number",
         assemble(toc("<checksum style=\"sha1\"><offset>-1</offset><size>20</size></checksum>"))},
        {"number above 2^64",
         assemble(toc("<checksum style=\"sha1\"><offset>18446744073709551616</offset>"
                      "<size>20</size></checksum>"))},
        {"file data length missing",
         assemble(toc("<file><name>a</name><data><offset>0</offset></data></file>"))},
        {"root is not xar", assemble("<?xml version=\"1.0\"?><zip><toc/></zip>")},
        {"not XML", assemble("xar toc")},
        {"entity declarations",
         assemble("<?xml version=\"1.0\"?><!DOCTYPE xar [<!ENTITY a \"aaaaaaaaaa\">"
                  "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><xar><toc>&b;</toc></xar>")},
        {"DTD in UTF-16",
         assemble(utf16le("<?xml version=\"1.0\" encoding=\"UTF-16\"?><!DOCTYPE xar [<!ENTITY "
                          "a \"a\">]><xar><toc>&a;</toc></xar>"))},
        {"external entity", assemble("<?xml version=\"1.0\"?><!DOCTYPE xar [<!ENTITY e SYSTEM "
                                     "\"file:///etc/passwd\">]><xar><toc>&e;</toc></xar>")},
    };
    ASSERT_TRUE(open(good));
    for (const Case& c : cases) {
        platform::Error error;
        EXPECT_FALSE(open(c.bytes, &error)) << c.name;
        EXPECT_EQ(error.domain(), platform::kXarErrorDomain) << c.name;
    }
}

TEST(XarArchive, FileChecksumsMustBePresentAndMatch) {
    const std::string data = "<data><offset>0</offset><length>4</length>";
    const std::string sha1OfZeros = "9069ca78e7450a285173431b3e52c5c25299e473";
    struct Case {
        const char* name;
        std::string file;
        bool valid;
    } cases[] = {
        {"matching",
         data + "<archived-checksum style=\"sha1\">" + sha1OfZeros + "</archived-checksum></data>",
         true},
        {"upper-case hex and style",
         data + "<archived-checksum style=\"SHA1\">9069CA78E7450A285173431B3E52C5C25299E473"
                "</archived-checksum></data>",
         true},
        {"no checksum", data + "</data>", false},
        {"unknown style", data + "<archived-checksum style=\"crc\">00</archived-checksum></data>",
         false},
        {"wrong value",
         data + "<archived-checksum style=\"sha1\">" + std::string(40, '0') +
             "</archived-checksum></data>",
         false},
        {"short value",
         data + "<archived-checksum style=\"sha1\">9069ca</archived-checksum></data>", false},
        {"data beyond the heap",
         "<data><offset>62</offset><length>4</length><archived-checksum style=\"sha1\">" +
             sha1OfZeros + "</archived-checksum></data>",
         false},
    };
    for (const Case& c : cases) {
        const auto archive = open(assemble(toc("<file><name>f</name>" + c.file + "</file>")));
        ASSERT_TRUE(archive) << c.name;
        EXPECT_EQ(archive->verifyFileChecksums(), c.valid) << c.name;
    }
}

TEST(XarArchive, TableOfContentsChecksumMismatchAndOtherAlgorithms) {
    devsign::XarOptions options;
    options.files = {{"f", Data{'x'}}};
    Data bytes = devsign::buildXar(options);
    bytes[bytes.size() - 2] ^= 1;  // last checksum byte (the file's byte follows it)
    const auto archive = open(bytes);
    ASSERT_TRUE(archive);
    platform::Error error;
    EXPECT_FALSE(archive->verifyTableOfContentsChecksum(&error));
    EXPECT_EQ(error.code(), platform::kXarErrorChecksum);

    options.checksumName = "sha512";  // written as algorithm 3 with its name
    const auto sha512 = open(devsign::buildXar(options));
    ASSERT_TRUE(sha512);
    EXPECT_EQ(sha512->checksumAlgorithm(), platform::DigestAlgorithm::kSHA512);
    EXPECT_TRUE(sha512->verifyTableOfContentsChecksum());

    options.checksumName = "none";
    const auto none = open(devsign::buildXar(options));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->checksumAlgorithm());
    EXPECT_FALSE(none->verifyTableOfContentsChecksum());
}

}  // namespace
