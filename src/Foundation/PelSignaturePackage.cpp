// The check of an installer package's own signature.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <new>

#include "Foundation/PelSignature.h"
#include "Foundation/PelSignatureSettings.h"
#include "Platform/Security/XarReader.h"

namespace {

using platform::Certificate;

constexpr std::string_view kMakerName = "Pelgrave";

bool containsIgnoringCase(std::string_view text, std::string_view word) {
    return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           }) != text.end();
}

// The signing certificate must carry the maker's name in its common name and
// be the pinned one for that name. A single common name is matched exactly;
// of several, the first that holds the name in any case is used.
bool leafHasMakersIdentity(const Certificate& leaf) {
    const std::vector<std::string> names = leaf.commonNames();
    if (names.size() == 1)
        return names[0].find(kMakerName) != std::string::npos &&
               CertificateMatchesPinnedHash(&leaf, names[0]);
    for (const std::string& name : names)
        if (containsIgnoringCase(name, kMakerName))
            return CertificateMatchesPinnedHash(&leaf, name);
    return false;
}

// Trusting the chain says nothing about the archive unless the archive was
// signed with the leaf: check the signature over the table of contents'
// checksum, the checksum against the table of contents, and the files'
// data against the checksums the table of contents lists.
PelSignatureStatus verifyArchiveSignature(const platform::XarArchive& archive,
                                          const platform::XarSignature& signature,
                                          const Certificate& leaf) {
    const std::unique_ptr<platform::PublicKey> key = leaf.copyPublicKey();
    if (!key) return kPelSignatureVerifierFailed;
    const auto algorithm = archive.checksumAlgorithm();
    // MD5 checksums can be forged to match a signed value.
    if (signature.style != "RSA" || !algorithm || *algorithm == platform::DigestAlgorithm::kMD5)
        return kPelSignatureInvalid;
    platform::Data checksum, signatureBytes;
    if (!archive.verifyTableOfContentsChecksum() ||
        !archive.copySignedData(signature, &checksum, &signatureBytes))
        return kPelSignatureInvalid;
    if (auto status = PelSignatureStatusForResult(
            key->verifyDigest(*algorithm, checksum.data(), checksum.size(), signatureBytes.data(),
                              signatureBytes.size()));
        status != kPelSignatureValid)
        return status;
    return archive.verifyFileChecksums() ? kPelSignatureValid : kPelSignatureInvalid;
}

PelSignatureStatus verifyPackage(const char* packagePath, bool fullCheck) {
    struct stat st {};
    if (!packagePath || ::stat(packagePath, &st) != 0 || !S_ISREG(st.st_mode))
        return kPelSignatureFileMissing;

    platform::Error error;
    const std::unique_ptr<platform::XarArchive> archive =
        platform::XarArchive::open(packagePath, &error);
    if (!archive)
        return error.code() == platform::kXarErrorNoMemory ? kPelSignatureNoMemory
                                                           : kPelSignatureUnreadable;
    const platform::XarSignature* signature = archive->firstSignature();
    if (!signature) return kPelSignatureNotFound;
    if (signature->certificates.empty()) return kPelSignatureNoCertificateOrSignature;

    std::vector<std::shared_ptr<const Certificate>> chain;
    chain.reserve(signature->certificates.size());
    for (const platform::Data& der : signature->certificates) {
        if (der.empty()) return kPelSignatureNoCertificateOrSignature;
        auto certificate = Certificate::createWithDER(der.data(), der.size());
        if (!certificate) return kPelSignatureVerifierFailed;
        // Without the full check, a first certificate that imports is enough.
        if (!fullCheck) return kPelSignatureValid;
        if (chain.empty() && !leafHasMakersIdentity(*certificate)) return kPelSignatureBadIdentity;
        chain.push_back(std::move(certificate));
    }

    platform::TrustResult result = platform::TrustResult::kInvalid;
    if (!platform::evaluateTrust(chain, PelSignatureCurrentPins()->anchors, &result))
        return kPelSignatureVerifierFailed;
    if (result != platform::TrustResult::kProceed && result != platform::TrustResult::kUnspecified)
        return kPelSignatureInvalid;

    return verifyArchiveSignature(*archive, *signature, *chain.front());
}

}  // namespace

PelSignatureStatus PelVerifyPackageSignature(const char* packagePath, int fullCheck) {
    try {
        return verifyPackage(packagePath, fullCheck != 0);
    } catch (const std::bad_alloc&) {
        return kPelSignatureNoMemory;
    } catch (...) {
        return kPelSignatureVerifierFailed;
    }
}

bool CertificateMatchesPinnedHash(const Certificate* certificate, std::string_view commonName) {
    if (!certificate || certificate->derData().empty()) return false;
    std::shared_ptr<const PelSignaturePins> pins;
    try {
        pins = PelSignatureCurrentPins();
    } catch (...) {
        return false;
    }
    const auto& pinned = commonName.find("Safari") != std::string_view::npos
                             ? pins->safariFingerprint
                             : pins->otherFingerprint;
    return certificate->sha256Fingerprint() == pinned;
}
