// Development-side signing: RSA keys and certificates for fixtures, the
// embedded signature block of signed data files, and detached signatures.
// Used by the pelsign tool and by tests; never linked into the product.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Security/Crypto.h"
#include "Platform/Values/Value.h"

namespace devsign {

using platform::Data;

/// An RSA private key. All functions here throw std::runtime_error on failure:
/// this is tooling, and a fixture that cannot be made must stop the test.
class PrivateKey {
  public:
    ~PrivateKey();
    PrivateKey(PrivateKey&&) noexcept;
    PrivateKey& operator=(PrivateKey&&) noexcept;

    static PrivateKey generateRSA(int bits);
    static PrivateKey loadPEM(const std::string& path);
    static PrivateKey fromPEM(std::string_view pem);

    /// The public half as PKCS#1 RSAPublicKey DER.
    Data publicKeyPKCS1() const;
    /// The public half as SubjectPublicKeyInfo DER.
    Data publicKeySPKI() const;

    /// RSA PKCS#1 v1.5 signature over the digest of `data`.
    Data signMessage(platform::DigestAlgorithm algorithm, const void* data,
                     std::size_t length) const;
    Data signMessage(std::string_view data) const {
        return signMessage(platform::DigestAlgorithm::kSHA1, data.data(), data.size());
    }
    /// The same over a digest computed already.
    Data signDigest(platform::DigestAlgorithm algorithm, const Data& digest) const;

    void* evp() const { return key_; }  // EVP_PKEY*

  private:
    explicit PrivateKey(void* key) : key_(key) {}
    void* key_ = nullptr;
};

/// What a fixture certificate says.
struct CertificateProfile {
    std::vector<std::string> commonNames;  // in order; several give several CN entries
    std::string organization;
    bool isCA = false;
    long notBeforeDays = -1;  // relative to now
    long notAfterDays = 3650;
    long serial = 1;
};

/// Makes a DER certificate for `subjectKey`, signed with SHA-256 by
/// `issuerKey` under `issuerCertificate` (empty: self-signed).
Data makeCertificate(const CertificateProfile& profile, const PrivateKey& subjectKey,
                     const PrivateKey& issuerKey, const Data& issuerCertificate = {});

/// Reads a PEM certificate file and returns it as DER.
Data loadCertificatePEM(const std::string& path);

/// Base64 of `data` in lines of `lineLength` characters joined by "\n".
std::string base64Lines(const Data& data, std::size_t lineLength = 64);

/// A signed data file: the content (one trailing newline, when present, is
/// taken as the end of the last signed line), a newline, the Begin marker
/// line, the Base64 signature in lines of 64 and the End marker line.
std::string makeSignedDataFile(std::string_view content, const PrivateKey& key);

/// The block alone for already-signed bytes: "\n" + Begin line + body + End
/// line, each line ended by "\n".
std::string signatureBlock(const Data& signature, std::size_t lineLength = 64);

/// The raw detached signature of `content` (SHA-1, PKCS#1 v1.5).
Data makeDetachedSignature(std::string_view content, const PrivateKey& key);

/// Reads a whole file; throws when it cannot.
std::string readFile(const std::string& path);
/// Writes a whole file; throws when it cannot.
void writeFile(const std::string& path, std::string_view contents);

}  // namespace devsign
