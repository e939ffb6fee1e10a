// The manifest's signature check and the signed marker that skips it.
#include <cstdlib>

#include "Downloader/FSDError.h"
#include "Downloader/FSDManifest.h"
#include "Downloader/FSDManifestFiles.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelSignature.h"
#include "Foundation/PelSignatureSettings.h"
#include "Platform/Security/Crypto.h"
#include "Platform/System/Paths.h"
#include "Platform/Text/Unicode.h"

namespace {

// The signature text decoded from Base64 (characters outside the alphabet
// are skipped); nothing when it holds no byte.
std::optional<platform::Data> decodeSignature(const platform::Data& text) {
    char* bytes = nullptr;
    std::size_t length = 0;
    if (PelBase64Decode(text.data(), text.size(), &bytes, &length) != 0) return std::nullopt;
    std::optional<platform::Data> out;
    if (length > 0) out = platform::Data(bytes, bytes + length);
    std::free(bytes);
    return out;
}

}  // namespace

bool FSDManifest::validateManifest(std::optional<platform::Data>* manifestData,
                                   const std::optional<platform::Data>* sigData,
                                   platform::Error* error) {
    if (!manifestData) {
        platform::setError(error, makeFSDError(kFSDErrorManifestVerify,
                                               "Manifest data is nil while validate manifest"));
        return false;
    }
    if (!*manifestData && manifestPath_)
        *manifestData = fsdvalues::readBoundedFile(*manifestPath_, kMaxManifestSize);
    // Bytes handed in are held to the same bound as a manifest file.
    if (*manifestData && (*manifestData)->size() > kMaxManifestSize) manifestData->reset();
    if (isFSDSignatureDisableFlagFileInstalled()) return true;

    platform::Error verifyError;
    if (verifySignature(*manifestData, sigData, &verifyError)) {
        PelLogging::logDebugMessage("Signature is valid");
        return true;
    }
    manifestData->reset();
    if (auto ping = pingUtils_.lock())
        ping->sendFSDManifestVerificationFailedPing(1, 1, kFSDErrorManifestVerify,
                                                    failOverURLString_,
                                                    verifyError.empty() ? nullptr : &verifyError);
    if (!verifyError.empty()) platform::setError(error, std::move(verifyError));
    return false;
}

bool FSDManifest::verifySignature(const std::optional<platform::Data>& manifest,
                                  const std::optional<platform::Data>* sigData,
                                  platform::Error* error) const {
    // The manifest has a key of its own: a key that signs data files
    // cannot sign a manifest.
    const std::unique_ptr<platform::PublicKey> key = PelSignatureManifestKey();
    if (!key) {
        platform::setError(
            error, makeFSDError(kFSDErrorManifestVerify, "SecItemImport failed for public key"));
        return false;
    }
    std::optional<platform::Data> signatureText;
    if (sigData && *sigData)
        signatureText = **sigData;
    else if (sigPath_)
        signatureText = fsdvalues::readBoundedFile(*sigPath_, kMaxSignatureSize);
    // A signature that is missing, empty or too long to be one cannot match;
    // like a signature that does not verify, it has no error of its own.
    std::optional<platform::Data> signature;
    if (signatureText && signatureText->size() <= kMaxSignatureSize)
        signature = decodeSignature(*signatureText);
    if (!signature) {
        PelLogging::logErrorMessage("Signature is invalid");
        return false;
    }
    if (!manifest) {
        platform::setError(error, makeFSDError(kFSDErrorManifestVerify,
                                               "Unable to load manifest from manifest path"));
        return false;
    }
    switch (key->verifyMessage(platform::DigestAlgorithm::kSHA512, manifest->data(),
                               manifest->size(), signature->data(), signature->size())) {
        case platform::VerifyResult::kValid:
            return true;
        case platform::VerifyResult::kNoAnswer:
            platform::setError(error, makeFSDError(kFSDErrorManifestVerify,
                                                   "SecTransformExecute failed on verifier"));
            return false;
        case platform::VerifyResult::kInvalid:
            break;
    }
    PelLogging::logErrorMessage("Signature is invalid");
    return false;
}

bool FSDManifest::isFSDSignatureDisableFlagFileInstalled() const {
    const std::string path = platform::Paths::resolve(kSignatureSkipMarkerPath);
    std::optional<platform::Data> contents;
    if (PelVerifySignedDataFile(path.c_str(), &contents) != kPelSignatureValid || !contents)
        return false;
    const std::string_view text(reinterpret_cast<const char*>(contents->data()), contents->size());
    return platform::unicode::isValidUTF8(text) &&
           text.find(kSignatureSkipIdentifier) != std::string_view::npos;
}
