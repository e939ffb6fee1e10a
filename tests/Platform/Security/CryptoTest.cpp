#include <gtest/gtest.h>

#include "Platform/Security/Crypto.h"
#include "pelsign/DevSigning.h"

namespace {

using devsign::Data;
using platform::Certificate;
using platform::TrustResult;

std::shared_ptr<const Certificate> import(const Data& der) {
    return Certificate::createWithDER(der.data(), der.size());
}

TEST(Crypto, KeyImportDetectsTheFormatAndRefusesTrailingBytes) {
    const auto key = devsign::PrivateKey::generateRSA(1024);
    for (const Data& der : {key.publicKeyPKCS1(), key.publicKeySPKI()}) {
        const auto imported = platform::PublicKey::importDER(der.data(), der.size());
        ASSERT_TRUE(imported);
        EXPECT_EQ(imported->bits(), 1024);
        Data longer = der;
        longer.push_back(0);
        EXPECT_FALSE(platform::PublicKey::importDER(longer.data(), longer.size()));
    }
    const auto imported =
        platform::PublicKey::importDER(key.publicKeyPKCS1().data(), key.publicKeyPKCS1().size());
    const Data sig = key.signMessage("data");
    EXPECT_EQ(imported->verifyMessage(platform::DigestAlgorithm::kSHA1, "data", 4, sig.data(),
                                      sig.size()),
              platform::VerifyResult::kValid);
    EXPECT_EQ(imported->verifyMessage(platform::DigestAlgorithm::kSHA256, "data", 4, sig.data(),
                                      sig.size()),
              platform::VerifyResult::kInvalid);
    EXPECT_EQ(imported->verifyMessage(platform::DigestAlgorithm::kSHA1, "data", 4, sig.data(), 5),
              platform::VerifyResult::kInvalid);
}

TEST(Crypto, CommonNamesInOrder) {
    const auto key = devsign::PrivateKey::generateRSA(1024);
    devsign::CertificateProfile profile;
    profile.commonNames = {"First", "Zweite \xc3\xa9"};
    const auto certificate = import(devsign::makeCertificate(profile, key, key));
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate->commonNames(), (std::vector<std::string>{"First", "Zweite \xc3\xa9"}));
    Data der = certificate->derData();
    der.push_back(0);
    EXPECT_FALSE(import(der));
}

TEST(Crypto, TrustEvaluation) {
    const auto caKey = devsign::PrivateKey::generateRSA(2048);
    const auto leafKey = devsign::PrivateKey::generateRSA(2048);
    devsign::CertificateProfile caProfile;
    caProfile.commonNames = {"CA"};
    caProfile.isCA = true;
    const auto ca = import(devsign::makeCertificate(caProfile, caKey, caKey));
    devsign::CertificateProfile leafProfile;
    leafProfile.commonNames = {"Leaf"};
    const auto leaf = import(devsign::makeCertificate(leafProfile, leafKey, caKey, ca->derData()));
    leafProfile.notBeforeDays = -20;
    leafProfile.notAfterDays = -10;
    const auto expired =
        import(devsign::makeCertificate(leafProfile, leafKey, caKey, ca->derData()));
    // A leaf that claims to be a CA issuer cannot issue: signed by a non-CA.
    leafProfile.notBeforeDays = -1;
    leafProfile.notAfterDays = 10;
    const auto underLeaf =
        import(devsign::makeCertificate(leafProfile, caKey, leafKey, leaf->derData()));

    struct Case {
        const char* name;
        std::vector<std::shared_ptr<const Certificate>> chain, anchors;
        TrustResult expected;
    } cases[] = {
        {"leaf and CA to the CA", {leaf, ca}, {ca}, TrustResult::kUnspecified},
        {"leaf alone to the CA", {leaf}, {ca}, TrustResult::kUnspecified},
        {"no anchors", {leaf, ca}, {}, TrustResult::kRecoverableTrustFailure},
        {"expired leaf", {expired, ca}, {ca}, TrustResult::kRecoverableTrustFailure},
        {"issuer is not a CA", {underLeaf, leaf, ca}, {ca}, TrustResult::kRecoverableTrustFailure},
    };
    for (const Case& c : cases) {
        TrustResult result = TrustResult::kInvalid;
        ASSERT_TRUE(platform::evaluateTrust(c.chain, c.anchors, &result)) << c.name;
        EXPECT_EQ(result, c.expected) << c.name;
    }
    TrustResult result;
    EXPECT_FALSE(platform::evaluateTrust({}, {ca}, &result));
}

}  // namespace
