#include "SignatureTestPKI.h"

namespace sigtest {

namespace {

devsign::CertificateProfile leafProfile(std::vector<std::string> names, long serial) {
    devsign::CertificateProfile profile;
    profile.commonNames = std::move(names);
    profile.organization = "Pelgrave Test";
    profile.serial = serial;
    return profile;
}

}  // namespace

TestPKI::TestPKI() {
    devsign::CertificateProfile caProfile;
    caProfile.commonNames = {"Pelgrave Test Root CA"};
    caProfile.isCA = true;
    ca = devsign::makeCertificate(caProfile, caKey, caKey);
    leaf = devsign::makeCertificate(leafProfile({"Developer ID Installer: Pelgrave Test (T1)"}, 2),
                                    leafKey, caKey, ca);
    twoNameLeaf = devsign::makeCertificate(leafProfile({"Acme Tools", "pelgrave Safari Helper"}, 3),
                                           leafKey, caKey, ca);
    unpinnedLeaf =
        devsign::makeCertificate(leafProfile({"Pelgrave Unpinned"}, 4), leafKey, caKey, ca);
    lowerCaseLeaf =
        devsign::makeCertificate(leafProfile({"pelgrave installer"}, 5), leafKey, caKey, ca);
    caProfile.commonNames = {"Stranger Root CA"};
    strangerCa = devsign::makeCertificate(caProfile, strangerKey, strangerKey);
    strangerLeaf =
        devsign::makeCertificate(leafProfile({"Developer ID Installer: Pelgrave Test (T1)"}, 6),
                                 leafKey, strangerKey, strangerCa);
}

const TestPKI& pki() {
    static const TestPKI* instance = new TestPKI();
    return *instance;
}

PelSignatureTrustSettings ScopedTestTrust::defaults() {
    const TestPKI& p = pki();
    PelSignatureTrustSettings settings;
    settings.verificationKey = p.dataKey.publicKeyPKCS1();
    settings.otherFingerprint = platform::sha256(p.leaf.data(), p.leaf.size());
    settings.safariFingerprint = platform::sha256(p.twoNameLeaf.data(), p.twoNameLeaf.size());
    settings.anchorCertificates = {p.ca};
    return settings;
}

ScopedTestTrust::ScopedTestTrust() : ScopedTestTrust(defaults()) {}
ScopedTestTrust::ScopedTestTrust(const PelSignatureTrustSettings& settings) {
    PelSignatureSetTrustSettings(settings);
}
ScopedTestTrust::~ScopedTestTrust() { PelSignatureResetTrustSettings(); }

devsign::Data signedPackage(const devsign::PrivateKey& key, std::vector<devsign::Data> chain,
                            std::string checksum) {
    devsign::XarOptions options;
    options.checksumName = std::move(checksum);
    options.files = {{"Distribution", {'<', 'x', '/', '>'}},
                     {"Payload", devsign::Data(5000, 0x5a)}};
    options.signing = devsign::XarSigning{&key, std::move(chain)};
    return devsign::buildXar(options);
}

}  // namespace sigtest
