// The keys and certificates the signature checks trust: the built-in
// verification key, the two pinned signing-certificate fingerprints and the
// trust anchors of package chains. Tests and development builds replace them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "Foundation/PelSignature.h"
#include "Platform/Security/Crypto.h"
#include "Platform/Values/Value.h"

struct PelSignatureTrustSettings {
    /// RSA public key of signed data files and detached signatures, as DER
    /// (PKCS#1 RSAPublicKey or SubjectPublicKeyInfo).
    platform::Data verificationKey;
    /// RSA public key of the download manifest, as DER (SubjectPublicKeyInfo).
    platform::Data manifestKey;
    /// SHA-256 of the signing certificate whose common name contains "Safari".
    std::array<std::uint8_t, 32> safariFingerprint{};
    /// SHA-256 of every other signing certificate.
    std::array<std::uint8_t, 32> otherFingerprint{};
    /// DER certificates that package chains must end at.
    std::vector<platform::Data> anchorCertificates;
};

/// The values compiled into the program.
PelSignatureTrustSettings PelSignatureBuiltInTrustSettings();

/// Whether the values compiled into the program include any development key,
/// certificate or fingerprint (whose private halves are public knowledge).
bool PelSignatureTrustsDevelopmentKeys();

/// The text the tools and the program show when they trust development keys.
inline constexpr char kPelDevelopmentKeysNotice[] =
    "This build trusts the development signing keys; it must not be shipped.";

/// Logs kPelDevelopmentKeysNotice as a warning the first time it is called in
/// a build that trusts development keys; otherwise does nothing.
void PelSignatureLogTrustedKeysOnce();

/// Replaces the settings in force and drops the cached key, which is
/// imported again on next use. Meant for tests and development tools: call it
/// while no check runs. Keys handed out before stay valid.
void PelSignatureSetTrustSettings(const PelSignatureTrustSettings& settings);

/// Goes back to PelSignatureBuiltInTrustSettings().
void PelSignatureResetTrustSettings();

/// The verification key of the settings in force, imported on first use and
/// then cached for the life of the process (the first thread to publish it
/// wins; the others use the published one). Null when the key cannot be
/// imported.
const platform::PublicKey* PelSignatureVerificationKey();

/// The manifest key of the settings in force, imported anew on each call.
/// Null when it cannot be imported.
std::unique_ptr<platform::PublicKey> PelSignatureManifestKey();

/// The status of a key's answer: valid, invalid, or the verifier failed
/// when the key gave no answer.
PelSignatureStatus PelSignatureStatusForResult(platform::VerifyResult result);

/// The pinned fingerprints and parsed anchors of the settings in force.
struct PelSignaturePins {
    std::array<std::uint8_t, 32> safariFingerprint{};
    std::array<std::uint8_t, 32> otherFingerprint{};
    std::vector<std::shared_ptr<const platform::Certificate>> anchors;
};
std::shared_ptr<const PelSignaturePins> PelSignatureCurrentPins();
