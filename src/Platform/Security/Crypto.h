// Public keys, message digests, X.509 certificates and chain evaluation: the
// small part of a certificate and key service that signature checks need.
//
// Everything here is thread-safe in the sense that distinct objects may be
// used from different threads at once and a const object may be shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// Error domain of this file's failures; the codes are the DigestAlgorithm
/// or step that failed and carry no meaning beyond the description.
inline constexpr std::string_view kCryptoErrorDomain = "com.pelgrave.crypto";

enum class DigestAlgorithm { kMD5, kSHA1, kSHA224, kSHA256, kSHA384, kSHA512 };

/// Length in bytes of a digest of the given algorithm.
std::size_t digestLength(DigestAlgorithm algorithm);

/// Digest of `length` bytes at `data`. Returns false (and fills `error`) only
/// when the digest cannot be computed.
bool computeDigest(DigestAlgorithm algorithm, const void* data, std::size_t length, Data* out,
                   Error* error = nullptr);

/// A digest computed over data given a chunk at a time.
class Digester {
  public:
    explicit Digester(DigestAlgorithm algorithm);
    ~Digester();
    Digester(const Digester&) = delete;
    Digester& operator=(const Digester&) = delete;

    /// Adds bytes; false when the digest cannot be computed (no memory).
    bool update(const void* data, std::size_t length);
    /// The digest of everything added; false when it cannot be computed.
    /// The object cannot be used afterwards.
    bool finish(Data* out);

  private:
    void* ctx_;  // the digest context
    bool ok_;
};

/// SHA-256 of a buffer.
std::array<std::uint8_t, 32> sha256(const void* data, std::size_t length);

/// Outcome of a signature verification.
enum class VerifyResult {
    kValid,    // the signature verifies
    kInvalid,  // it does not (wrong key, tampered data, malformed signature)
    kNoAnswer  // the verifier could not be set up or ran out of memory
};

/// An RSA public key (other key types are imported but never verify).
class PublicKey {
  public:
    ~PublicKey();
    PublicKey(const PublicKey&) = delete;
    PublicKey& operator=(const PublicKey&) = delete;

    /// Imports a DER public key, either a PKCS#1 RSAPublicKey or a
    /// SubjectPublicKeyInfo (the format is detected). Null and `error` filled
    /// when the bytes hold neither.
    static std::unique_ptr<PublicKey> importDER(const void* der, std::size_t length,
                                                Error* error = nullptr);

    /// Size of the modulus in bits (0 for a key that is not RSA).
    int bits() const;

    /// RSA PKCS#1 v1.5 verification of a signature over `data`, which is
    /// hashed with `algorithm` first.
    VerifyResult verifyMessage(DigestAlgorithm algorithm, const void* data, std::size_t length,
                               const void* signature, std::size_t signatureLength) const;

    /// The same over a digest already computed with `algorithm`; a digest of
    /// the wrong length is kInvalid.
    VerifyResult verifyDigest(DigestAlgorithm algorithm, const void* digest,
                              std::size_t digestLength, const void* signature,
                              std::size_t signatureLength) const;

    struct Impl;
    const Impl& impl() const { return *impl_; }

  private:
    friend class Certificate;
    explicit PublicKey(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

/// An X.509 certificate, immutable once imported.
class Certificate {
  public:
    ~Certificate();
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    /// Imports one DER certificate. The whole buffer must be the certificate
    /// (trailing bytes are refused). Null and `error` filled on failure.
    static std::shared_ptr<const Certificate> createWithDER(const void* der, std::size_t length,
                                                            Error* error = nullptr);

    /// The DER bytes the certificate was imported from.
    const Data& derData() const { return der_; }

    /// Every common-name (2.5.4.3) value of the subject, in order, as UTF-8.
    /// A value that cannot be converted to UTF-8 is left out.
    std::vector<std::string> commonNames() const;

    /// SHA-256 of derData().
    std::array<std::uint8_t, 32> sha256Fingerprint() const;

    /// The subject's public key, or null (with `error`) when it cannot be had.
    std::unique_ptr<PublicKey> copyPublicKey(Error* error = nullptr) const;

    struct Impl;
    const Impl& impl() const { return *impl_; }

  private:
    Certificate(std::unique_ptr<Impl> impl, Data der);
    std::unique_ptr<Impl> impl_;
    Data der_;
};

/// Result of a chain evaluation; the numbers are those callers compare with.
enum class TrustResult : int {
    kInvalid = 0,
    kProceed = 1,
    kDeny = 3,
    kUnspecified = 4,
    kRecoverableTrustFailure = 5,
    kFatalTrustFailure = 6,
    kOtherError = 7
};

/// Evaluates the chain that starts at `certificates[0]` (the leaf) with a
/// basic X.509 policy: every signature in the path, validity dates at the
/// current time, CA basic constraints and key usage of the issuers. The other
/// certificates are intermediates; the path must end at one of `anchors`.
/// A path that builds and checks gives kUnspecified (no explicit user
/// setting is involved); a path that does not gives kRecoverableTrustFailure;
/// a malformed certificate gives kFatalTrustFailure.
/// Returns false (and fills `error`) only when the evaluation cannot be run:
/// no certificates, or no memory.
bool evaluateTrust(const std::vector<std::shared_ptr<const Certificate>>& certificates,
                   const std::vector<std::shared_ptr<const Certificate>>& anchors,
                   TrustResult* result, Error* error = nullptr);

}  // namespace platform
