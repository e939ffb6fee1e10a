#include "SignatureTestPKI.h"

namespace sigtest {

namespace {

devsign::CertificateSpec leafSpec(std::vector<std::string> names, long serial) {
    devsign::CertificateSpec spec;
    spec.commonNames = std::move(names);
    spec.organization = "Pelgrave Test";
    spec.serial = serial;
    return spec;
}

}  // namespace

TestPKI::TestPKI() {
    devsign::CertificateSpec caSpec;
    caSpec.commonNames = {"Pelgrave Test Root CA"};
    caSpec.isCA = true;
    ca = devsign::makeCertificate(caSpec, caKey, caKey);
    leaf = devsign::makeCertificate(leafSpec({"Developer ID Installer: Pelgrave Test (T1)"}, 2),
                                    leafKey, caKey, ca);
    twoNameLeaf = devsign::makeCertificate(leafSpec({"Acme Tools", "pelgrave Safari Helper"}, 3),
                                           leafKey, caKey, ca);
    unpinnedLeaf = devsign::makeCertificate(leafSpec({"Pelgrave Unpinned"}, 4), leafKey, caKey, ca);
    lowerCaseLeaf =
        devsign::makeCertificate(leafSpec({"pelgrave installer"}, 5), leafKey, caKey, ca);
    caSpec.commonNames = {"Stranger Root CA"};
    strangerCa = devsign::makeCertificate(caSpec, strangerKey, strangerKey);
    strangerLeaf =
        devsign::makeCertificate(leafSpec({"Developer ID Installer: Pelgrave Test (T1)"}, 6),
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
