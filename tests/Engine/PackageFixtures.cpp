#include "PackageFixtures.h"

#include <filesystem>

#include "Foundation/PelSignatureSettings.h"

namespace enginetest {

namespace {

struct TestKeys {
    devsign::PrivateKey caKey = devsign::PrivateKey::generateRSA(2048);
    devsign::PrivateKey leafKey = devsign::PrivateKey::generateRSA(2048);
    platform::Data ca, leaf;
    devsign::XarSigning signing;

    TestKeys() {
        devsign::CertificateProfile caProfile;
        caProfile.commonNames = {"Pelgrave Engine Test Root CA"};
        caProfile.isCA = true;
        ca = devsign::makeCertificate(caProfile, caKey, caKey);
        devsign::CertificateProfile leafProfile;
        leafProfile.commonNames = {"Developer ID Installer: Pelgrave Test (T1)"};
        leafProfile.organization = "Pelgrave Test";
        leafProfile.serial = 2;
        leaf = devsign::makeCertificate(leafProfile, leafKey, caKey, ca);
        signing = devsign::XarSigning{&leafKey, {leaf, ca}};
    }
};

const TestKeys& testKeys() {
    static const TestKeys* keys = new TestKeys();
    return *keys;
}

}  // namespace

ScopedPackageTrust::ScopedPackageTrust() {
    const TestKeys& keys = testKeys();
    PelSignatureTrustSettings settings = PelSignatureBuiltInTrustSettings();
    settings.otherFingerprint = platform::sha256(keys.leaf.data(), keys.leaf.size());
    settings.anchorCertificates = {keys.ca};
    PelSignatureSetTrustSettings(settings);
}

ScopedPackageTrust::~ScopedPackageTrust() { PelSignatureResetTrustSettings(); }

const devsign::XarSigning& ScopedPackageTrust::signing() const { return testKeys().signing; }

const devsign::XarSigning& developmentSigning() {
    static const devsign::PrivateKey* key = new devsign::PrivateKey(
        devsign::PrivateKey::loadPEM(PEL_DEV_KEYS_DIR "/package-signing.DEVELOPMENT-ONLY.key.pem"));
    static const devsign::XarSigning* signing = new devsign::XarSigning{
        key,
        {devsign::loadCertificatePEM(PEL_DEV_KEYS_DIR "/package-signing.cert.pem"),
         devsign::loadCertificatePEM(PEL_DEV_KEYS_DIR "/root-ca.cert.pem")}};
    return *signing;
}

mkpkg::Component sampleComponent(const std::string& identifier, const std::string& file,
                                 const std::string& contents) {
    mkpkg::Component component;
    component.identifier = identifier;
    std::string folder;
    for (auto slash = file.find('/'); slash != std::string::npos; slash = file.find('/', slash + 1))
        component.payload.push_back(
            {"./" + file.substr(0, slash), mkpkg::PayloadEntry::Kind::Directory, "", "", 0755});
    component.payload.push_back({"./" + file, mkpkg::PayloadEntry::Kind::File, contents, "", 0644});
    return component;
}

std::string writePackage(const std::string& path, const platform::Data& package) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    devsign::writeFile(path, std::string(package.begin(), package.end()));
    return path;
}

}  // namespace enginetest
