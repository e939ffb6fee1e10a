#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/PelSignature.h"
#include "SignatureTestPKI.h"

namespace {

using sigtest::pki;

const std::string kBegin(kPelSignatureBeginMarker);
const std::string kEnd(kPelSignatureEndMarker);

PelSignatureStatus verify(const std::string& text) {
    return PelVerifyEmbeddedSignature(text.data(), unsigned(text.size()));
}

std::string body(const std::string& signedText, const devsign::PrivateKey& key) {
    return devsign::base64Lines(key.signMessage(signedText));
}

std::string decode(const std::string& text) {
    char* out = nullptr;
    std::size_t length = 0;
    EXPECT_EQ(PelBase64Decode(text.data(), text.size(), &out, &length), 0);
    std::string result(out, length);
    std::free(out);
    return result;
}

TEST(PelBase64Decode, DecodesGroupsSkipsOtherCharactersAndStopsAtPadding) {
    EXPECT_EQ(decode("TWFu"), "Man");
    EXPECT_EQ(decode("TWE="), "Ma");
    EXPECT_EQ(decode("TQ=="), "M");
    EXPECT_EQ(decode("TWFuTWE"), "ManMa");   // final group of 3 symbols
    EXPECT_EQ(decode("TWFuTQ"), "ManM");     // final group of 2 symbols
    EXPECT_EQ(decode("TWFuT"), "Man\x4c");   // a lone symbol keeps its 6 bits high
    EXPECT_EQ(decode("T W\nF\t*u"), "Man");  // outside the alphabet: skipped
    EXPECT_EQ(decode("TQ==TWFu"), "M");      // "=" ends the input
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode(std::string("TW\0Fu", 5)), "Man");
    EXPECT_EQ(PelBase64Decode("TQ", 2, nullptr, nullptr), EINVAL);
}

// Every case is a complete file; "S" in the builder stands for the Base64
// signature of the signed part made with the test key.
struct BlockCase {
    const char* name;
    std::string text;
    PelSignatureStatus expected;
};

std::vector<BlockCase> blockCases() {
    const auto& key = pki().dataKey;
    const std::string data = "line one\nline two";
    const std::string sig = body(data, key);
    const std::string good = data + "\n" + kBegin + "\n" + sig + "\n" + kEnd + "\n";
    std::string sigOneLine = devsign::base64Lines(key.signMessage(data), 0);

    // The Begin marker exactly 600 bytes before the end: only the second
    // search window reaches it.
    std::string far = data + "\n" + kBegin + "\n" + sig + "\n" + kEnd;
    const std::size_t markerOffset = data.size() + 1;
    far.append(600 - (far.size() - markerOffset), ' ');

    // The marker search in a window ends at a zero byte.
    auto signedText = [&](const std::string& text) {
        return text + "\n" + kBegin + "\n" + body(text, key) + "\n" + kEnd + "\n";
    };
    const std::string withNul = signedText(std::string("a\0b", 3));
    const std::string nulInWindow = signedText(std::string(200, 'x') + '\0' + "y");
    const std::string nulBeforeTheWindows =
        signedText(std::string("a\0b", 3) + std::string(1000, 'x'));
    std::string nulInBody = good;
    nulInBody.insert(data.size() + 1 + kBegin.size() + 1 + 8, 1, '\0');

    return {
        {"valid", good, kPelSignatureValid},
        {"valid without a final newline", good.substr(0, good.size() - 1), kPelSignatureValid},
        {"white space after the End line", good + "\n \t\r\n", kPelSignatureValid},
        {"CRLF after the markers", data + "\n" + kBegin + "\r\n" + sig + "\r\n" + kEnd + "\r\n",
         kPelSignatureValid},
        {"body on one line", data + "\n" + kBegin + "\n" + sigOneLine + "\n" + kEnd,
         kPelSignatureValid},
        {"marker 600 bytes from the end", far, kPelSignatureValid},
        {"marker far from the end", good + std::string(20000, '\n'), kPelSignatureValid},
        {"zero byte before the marker in its window", withNul, kPelSignatureNotFound},
        {"zero byte inside the first window", nulInWindow, kPelSignatureNotFound},
        {"zero byte before the windows that reach the marker", nulBeforeTheWindows,
         kPelSignatureValid},
        {"zero byte in the body, after the marker", nulInBody, kPelSignatureValid},
        {"white space after Begin on its line",
         data + "\n" + kBegin + " \t\r\n" + sig + "\n" + kEnd + "\n", kPelSignatureValid},
        {"empty signed data", "\n" + kBegin + "\n" + body("", key) + "\n" + kEnd + "\n",
         kPelSignatureValid},
        {"marker on the first line", kBegin + "\n" + sig + "\n" + kEnd + "\n",
         kPelSignatureNotFound},
        {"no Begin marker", data + "\n" + sig + "\n" + kEnd + "\n", kPelSignatureNotFound},
        {"no End marker", data + "\n" + kBegin + "\n" + sig + "\n", kPelSignatureNotFound},
        {"empty buffer", "", kPelSignatureNotFound},
        {"text before Begin on its line",
         data + "\nEVIL" + kBegin + "\n" + sig + "\n" + kEnd + "\n", kPelSignatureNotFound},
        {"text after Begin on its line", data + "\n" + kBegin + "EVIL\n" + sig + "\n" + kEnd + "\n",
         kPelSignatureNotFound},
        {"text before End on its line", data + "\n" + kBegin + "\n" + sig + "\nEVIL" + kEnd + "\n",
         kPelSignatureNotFound},
        {"text after the End line", good + "EVIL\n", kPelSignatureNotFound},
        {"text on the End line", data + "\n" + kBegin + "\n" + sig + "\n" + kEnd + "EVIL",
         kPelSignatureNotFound},
        {"End right after Begin", data + "\n" + kBegin + "\n" + kEnd + "\n", kPelSignatureNotFound},
        // The body goes through the decoder's own rules: "=" ends it and
        // characters outside the alphabet are skipped.
        {"bytes after the Base64 padding",
         data + "\n" + kBegin + "\n" + sig + "=\nQUJD\n" + kEnd + "\n", kPelSignatureValid},
        {"character outside the alphabet",
         data + "\n" + kBegin + "\n" + sig.substr(0, 10) + "*" + sig.substr(10) + "\n" + kEnd,
         kPelSignatureValid},
        {"three padding characters", data + "\n" + kBegin + "\n" + sig + "===\n" + kEnd + "\n",
         kPelSignatureValid},
        {"padding inside the body",
         data + "\n" + kBegin + "\n" + sig.substr(0, 10) + "=" + sig.substr(10) + "\n" + kEnd,
         kPelSignatureInvalid},
        {"empty body", data + "\n" + kBegin + "\n\n" + kEnd + "\n", kPelSignatureInvalid},
        {"tampered data", "line one\nline tw0\n" + kBegin + "\n" + sig + "\n" + kEnd + "\n",
         kPelSignatureInvalid},
        {"newline added to the data", data + "\n\n" + kBegin + "\n" + sig + "\n" + kEnd + "\n",
         kPelSignatureInvalid},
        {"signed with another key",
         data + "\n" + kBegin + "\n" + body(data, pki().otherDataKey) + "\n" + kEnd + "\n",
         kPelSignatureInvalid},
    };
}

TEST(PelVerifyEmbeddedSignature, BlockCases) {
    const std::vector<BlockCase> cases = blockCases();
    sigtest::ScopedTestTrust trust;
    for (const BlockCase& c : cases) EXPECT_EQ(verify(c.text), c.expected) << c.name;
}

TEST(PelVerifyEmbeddedSignature, DevSignerOutputVerifies) {
    sigtest::ScopedTestTrust trust;
    for (const std::string content : {"{\"a\":1}\n", "no final newline", "\n", "two\n\n"}) {
        const std::string file = devsign::makeSignedDataFile(content, pki().dataKey);
        EXPECT_EQ(file.rfind(content.substr(0, content.size() - (content.back() == '\n')), 0), 0u);
        EXPECT_EQ(verify(file), kPelSignatureValid) << content;
    }
}

TEST(PelVerifySignatureWithKey, ReportsSetUpFailureWhenTheKeyDoesNotImport) {
    PelSignatureTrustSettings settings = sigtest::ScopedTestTrust::defaults();
    settings.verificationKey = {0x30, 0x03, 0x02, 0x01, 0x00};
    sigtest::ScopedTestTrust trust(settings);
    EXPECT_EQ(PelSignatureVerificationKey(), nullptr);
    const devsign::Data sig = pki().dataKey.signMessage("x");
    EXPECT_EQ(PelVerifySignatureWithKey("x", 1, sig.data(), unsigned(sig.size())),
              kPelSignatureVerifierFailed);
}

TEST(PelVerifySignatureWithKey, AcceptsAKeyInSubjectPublicKeyInfoForm) {
    PelSignatureTrustSettings settings = sigtest::ScopedTestTrust::defaults();
    settings.verificationKey = pki().dataKey.publicKeySPKI();
    sigtest::ScopedTestTrust trust(settings);
    const devsign::Data sig = pki().dataKey.signMessage("x");
    EXPECT_EQ(PelVerifySignatureWithKey("x", 1, sig.data(), unsigned(sig.size())),
              kPelSignatureValid);
    EXPECT_EQ(PelVerifySignatureWithKey("y", 1, sig.data(), unsigned(sig.size())),
              kPelSignatureInvalid);
}

TEST(PelSignatureVerificationKey, EveryThreadGetsTheOnePublishedKey) {
    sigtest::ScopedTestTrust trust;
    std::vector<const platform::PublicKey*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = PelSignatureVerificationKey(); });
    for (auto& t : threads) t.join();
    const std::set<const platform::PublicKey*> distinct(seen.begin(), seen.end());
    ASSERT_EQ(distinct.size(), 1u);
    EXPECT_NE(*distinct.begin(), nullptr);
    EXPECT_EQ(PelSignatureVerificationKey(), *distinct.begin());
}

TEST(PelSignatureBuiltIn, MatchesTheDevelopmentKeysAndCertificates) {
    if (!PelSignatureTrustsDevelopmentKeys()) GTEST_SKIP() << "built with release keys";
    PelSignatureResetTrustSettings();
    const PelSignatureTrustSettings builtIn = PelSignatureBuiltInTrustSettings();
    const std::string dir = std::string(PEL_SOURCE_DIR) + "/dev-keys/";
    const auto dataKey =
        devsign::PrivateKey::loadPEM(dir + "data-signing.DEVELOPMENT-ONLY.key.pem");
    EXPECT_EQ(builtIn.verificationKey.size(), 204u);
    EXPECT_EQ(builtIn.verificationKey, dataKey.publicKeyPKCS1());
    ASSERT_NE(PelSignatureVerificationKey(), nullptr);
    EXPECT_EQ(PelSignatureVerificationKey()->bits(), 1536);

    const devsign::Data other = devsign::loadCertificatePEM(dir + "package-signing.cert.pem");
    const devsign::Data safari = devsign::loadCertificatePEM(dir + "safari-signing.cert.pem");
    EXPECT_EQ(builtIn.otherFingerprint, platform::sha256(other.data(), other.size()));
    EXPECT_EQ(builtIn.safariFingerprint, platform::sha256(safari.data(), safari.size()));
    ASSERT_EQ(builtIn.anchorCertificates.size(), 1u);
    EXPECT_EQ(builtIn.anchorCertificates[0], devsign::loadCertificatePEM(dir + "root-ca.cert.pem"));

    EXPECT_EQ(verify(devsign::makeSignedDataFile("built-in\n", dataKey)), kPelSignatureValid);

    // The manifest has a 2048-bit key of its own, held as SubjectPublicKeyInfo.
    const auto manifestKey =
        devsign::PrivateKey::loadPEM(dir + "manifest-signing.DEVELOPMENT-ONLY.key.pem");
    EXPECT_EQ(builtIn.manifestKey.size(), 294u);
    EXPECT_EQ(builtIn.manifestKey, manifestKey.publicKeySPKI());
    EXPECT_NE(builtIn.manifestKey, dataKey.publicKeySPKI());
    const auto imported = PelSignatureManifestKey();
    ASSERT_NE(imported, nullptr);
    EXPECT_EQ(imported->bits(), 2048);
}

}  // namespace
