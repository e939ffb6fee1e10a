#include <gtest/gtest.h>

#include <string>

#include "Foundation/PelSignature.h"
#include "SignatureTestPKI.h"
#include "support/TempDir.h"

namespace {

using devsign::Data;
using sigtest::pki;

class PackageSignature : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const Data& archive) {
        return dir.write(name, std::string(archive.begin(), archive.end()));
    }
    // Where the heap starts: after the header and the compressed table of
    // contents, whose lengths the header gives (big-endian).
    static std::size_t heapStart(const Data& archive) {
        std::size_t compressed = 0;
        for (int i = 8; i < 16; ++i) compressed = compressed << 8 | archive[std::size_t(i)];
        return std::size_t(archive[4] << 8 | archive[5]) + compressed;
    }

    sigtest::ScopedTestTrust trust;
    testsupport::TempDir dir;
};

TEST_F(PackageSignature, FullCheckCases) {
    const auto& p = pki();
    const Data good = sigtest::signedPackage(p.leafKey, {p.leaf, p.ca});

    // The heap holds the checksum (20 bytes), the signature (256) and the
    // files: "Distribution" (4) and "Payload".
    Data tamperedPayload = good;
    tamperedPayload[heapStart(good) + 20 + 256 + 4 + 100] ^= 1;
    Data tamperedChecksum = good;
    tamperedChecksum[heapStart(good)] ^= 1;

    devsign::XarOptions unsignedOptions;
    unsignedOptions.files = {{"Payload", Data(10, 1)}};
    devsign::XarOptions noCertificates = unsignedOptions;
    noCertificates.signing = devsign::XarSigning{&p.leafKey, {}};
    devsign::XarOptions emptyCertificate = unsignedOptions;
    emptyCertificate.signing = devsign::XarSigning{&p.leafKey, {Data{}, p.ca}};
    devsign::XarOptions garbageCertificate = unsignedOptions;
    garbageCertificate.signing = devsign::XarSigning{&p.leafKey, {Data(40, 7), p.ca}};

    struct Case {
        const char* name;
        Data archive;
        PelSignatureStatus expected;
    } cases[] = {
        {"valid", good, kPelSignatureValid},
        {"valid, SHA-256 checksum", sigtest::signedPackage(p.leafKey, {p.leaf, p.ca}, "sha256"),
         kPelSignatureValid},
        {"leaf alone, chained to the anchor", sigtest::signedPackage(p.leafKey, {p.leaf}),
         kPelSignatureValid},
        {"two common names, maker's second",
         sigtest::signedPackage(p.leafKey, {p.twoNameLeaf, p.ca}), kPelSignatureValid},
        {"unsigned", devsign::buildXar(unsignedOptions), kPelSignatureNotFound},
        {"no certificates", devsign::buildXar(noCertificates),
         kPelSignatureNoCertificateOrSignature},
        {"empty certificate", devsign::buildXar(emptyCertificate),
         kPelSignatureNoCertificateOrSignature},
        {"certificate that does not import", devsign::buildXar(garbageCertificate),
         kPelSignatureVerifierFailed},
        {"fingerprint not pinned", sigtest::signedPackage(p.leafKey, {p.unpinnedLeaf, p.ca}),
         kPelSignatureBadIdentity},
        {"single name matched case-sensitively",
         sigtest::signedPackage(p.leafKey, {p.lowerCaseLeaf, p.ca}), kPelSignatureBadIdentity},
        {"name without the maker", sigtest::signedPackage(p.leafKey, {p.ca}),
         kPelSignatureBadIdentity},
        {"archive signed with another key", sigtest::signedPackage(p.strangerKey, {p.leaf, p.ca}),
         kPelSignatureInvalid},
        {"MD5 checksum", sigtest::signedPackage(p.leafKey, {p.leaf, p.ca}, "md5"),
         kPelSignatureInvalid},
        {"file data changed after signing", tamperedPayload, kPelSignatureInvalid},
        {"stored checksum changed", tamperedChecksum, kPelSignatureInvalid},
        {"not a xar archive", Data{'P', 'K', 3, 4, 0, 0, 0, 0}, kPelSignatureUnreadable},
    };
    for (const Case& c : cases) {
        const std::string path = write("p.pkg", c.archive);
        EXPECT_EQ(PelVerifyPackageSignature(path.c_str(), 1), c.expected) << c.name;
    }
}

TEST_F(PackageSignature, PinnedLeafOutsideTheTrustedChainIsRefused) {
    const auto& p = pki();
    PelSignatureTrustSettings settings = sigtest::ScopedTestTrust::defaults();
    settings.otherFingerprint = platform::sha256(p.strangerLeaf.data(), p.strangerLeaf.size());
    sigtest::ScopedTestTrust pinStranger(settings);
    const std::string path =
        write("s.pkg", sigtest::signedPackage(p.leafKey, {p.strangerLeaf, p.strangerCa}));
    EXPECT_EQ(PelVerifyPackageSignature(path.c_str(), 1), kPelSignatureInvalid);

    settings.anchorCertificates.push_back(p.strangerCa);
    sigtest::ScopedTestTrust trustStranger(settings);
    EXPECT_EQ(PelVerifyPackageSignature(path.c_str(), 1), kPelSignatureValid);
}

TEST_F(PackageSignature, WithoutFullCheckAnyFirstCertificateThatImportsIsEnough) {
    const auto& p = pki();
    const std::string stranger =
        write("s.pkg", sigtest::signedPackage(p.strangerKey, {p.strangerCa}));
    EXPECT_EQ(PelVerifyPackageSignature(stranger.c_str(), 0), kPelSignatureValid);
    EXPECT_EQ(PelVerifyPackageSignature(stranger.c_str(), 1), kPelSignatureBadIdentity);

    devsign::XarOptions options;
    options.signing = devsign::XarSigning{&p.leafKey, {Data(40, 7)}};
    const std::string garbage = write("g.pkg", devsign::buildXar(options));
    EXPECT_EQ(PelVerifyPackageSignature(garbage.c_str(), 0), kPelSignatureVerifierFailed);
}

TEST_F(PackageSignature, MissingOrNotARegularFile) {
    EXPECT_EQ(PelVerifyPackageSignature(dir.file("none.pkg").c_str(), 1), kPelSignatureFileMissing);
    EXPECT_EQ(PelVerifyPackageSignature(dir.path().c_str(), 1), kPelSignatureFileMissing);
    EXPECT_EQ(PelVerifyPackageSignature(nullptr, 1), kPelSignatureFileMissing);
}

TEST_F(PackageSignature, PinnedHashFollowsTheSafariName) {
    const auto& p = pki();
    const auto leaf = platform::Certificate::createWithDER(p.leaf.data(), p.leaf.size());
    const auto two =
        platform::Certificate::createWithDER(p.twoNameLeaf.data(), p.twoNameLeaf.size());
    ASSERT_TRUE(leaf && two);
    EXPECT_TRUE(CertificateMatchesPinnedHash(leaf.get(), "Pelgrave"));
    EXPECT_FALSE(CertificateMatchesPinnedHash(leaf.get(), "Pelgrave Safari"));
    EXPECT_TRUE(CertificateMatchesPinnedHash(two.get(), "Pelgrave Safari"));
    EXPECT_FALSE(CertificateMatchesPinnedHash(two.get(), "Pelgrave safari"));
    EXPECT_FALSE(CertificateMatchesPinnedHash(nullptr, "Pelgrave"));
}

TEST_F(PackageSignature, DevelopmentPackageVerifiesWithTheBuiltInSettings) {
    if (!PelSignatureTrustsDevelopmentKeys()) GTEST_SKIP() << "built with release keys";
    PelSignatureResetTrustSettings();
    const std::string dir_ = std::string(PEL_SOURCE_DIR) + "/dev-keys/";
    const auto key =
        devsign::PrivateKey::loadPEM(dir_ + "package-signing.DEVELOPMENT-ONLY.key.pem");
    const Data leaf = devsign::loadCertificatePEM(dir_ + "package-signing.cert.pem");
    const Data ca = devsign::loadCertificatePEM(dir_ + "root-ca.cert.pem");
    const std::string path = write("dev.pkg", sigtest::signedPackage(key, {leaf, ca}));
    EXPECT_EQ(PelVerifyPackageSignature(path.c_str(), 1), kPelSignatureValid);
}

}  // namespace
