// Signature checks of installer packages, signed data files and data files
// with a detached signature.
//
// Every function may be called from any thread. The only shared state is the
// verification key, imported on first use and kept for the life of the
// process, and the trust settings of PelSignatureSettings.h.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "Platform/Security/Crypto.h"
#include "Platform/Values/Value.h"

/// Result of every check: 0 or one of the codes below.
using PelSignatureStatus = int;

enum PelSignatureStatusCode : int {
    kPelSignatureValid = 0,
    /// The file is missing (package: or not a regular file; detached check:
    /// the data file is missing).
    kPelSignatureFileMissing = -70600,
    /// No signature: the package has none; the signature block or one of its
    /// markers is not found or does not stand on a line of its own; the
    /// detached signature file is missing.
    kPelSignatureNotFound = -70601,
    /// The file cannot be opened or read, or is larger than 64 MiB; the
    /// package cannot be opened as a xar archive.
    kPelSignatureUnreadable = -70602,
    /// The package signature has no certificates or an empty one; the
    /// detached signature file is larger than 1024 bytes or cannot be read.
    kPelSignatureNoCertificateOrSignature = -70603,
    /// A certificate or key cannot be imported; trust or the verifier cannot
    /// be set up or gives no answer.
    kPelSignatureVerifierFailed = -70604,
    /// The signature, a checksum it covers or the chain of trust does not
    /// verify.
    kPelSignatureInvalid = -70605,
    /// Out of memory.
    kPelSignatureNoMemory = -70606,
    /// The signing certificate's name or fingerprint is wrong, or the
    /// signature block's Base64 body is bad.
    kPelSignatureBadIdentity = -70607,
};

/// Largest data file the checks read (64 MiB).
inline constexpr std::size_t kPelSignatureMaxDataSize = 0x4000000;
/// Largest detached signature file.
inline constexpr std::size_t kPelSignatureMaxDetachedSize = 1024;

/// The lines that open and close a signature block.
inline constexpr std::string_view kPelSignatureBeginMarker =
    "============= Begin Pelgrave TC Signature Ver. 1.0 =============";
inline constexpr std::string_view kPelSignatureEndMarker =
    "============== End Pelgrave TC Signature Ver. 1.0 ==============";

/// Checks an installer package (a xar archive). Without `fullCheck` the
/// package only has to carry a signature whose first certificate imports.
/// With it, the signing certificate must bear the maker's name and a pinned
/// fingerprint, the certificates must chain to a trust anchor, the archive's
/// signature must verify with the signing certificate's key over the table
/// of contents' checksum, that checksum must match the table of contents and
/// every file's data must match its archived checksum.
PelSignatureStatus PelVerifyPackageSignature(const char* packagePath, int fullCheck);

/// Reads the whole file at `path` (at most 64 MiB) and checks the signature
/// block at its end with the built-in key. On 0, `data` (when not null)
/// receives the file's bytes, block included; otherwise it is reset.
PelSignatureStatus PelVerifySignedDataFile(const char* path, std::optional<platform::Data>* data);

/// Checks the data file (at most 64 MiB, read through the opened descriptor)
/// against the raw signature in `signaturePath` (at most 1024 bytes) with the
/// built-in key. An empty data file is checked as empty data.
PelSignatureStatus PelVerifyDetachedSignatureFile(const char* dataPath, const char* signaturePath);

/// Finds the signature block at the end of the buffer and checks the bytes
/// before it. The Begin and End markers must each stand alone on their line,
/// the body must be Base64 and white space only, and only white space may
/// follow the End line.
PelSignatureStatus PelVerifyEmbeddedSignature(const char* bytes, unsigned length);

/// Verifies an RSA PKCS#1 v1.5 signature over the SHA-1 digest of the data
/// with the built-in key: 0, kPelSignatureInvalid, or kPelSignatureVerifierFailed
/// when the key cannot be had or the verifier cannot be set up.
PelSignatureStatus PelVerifySignatureWithKey(const char* data, unsigned dataLength,
                                             const void* signature, unsigned signatureLength);

/// True when the SHA-256 of the certificate's DER data equals the pinned
/// fingerprint for `commonName`: the first one when the name contains
/// "Safari", the second otherwise. False for a null certificate.
bool CertificateMatchesPinnedHash(const platform::Certificate* certificate,
                                  std::string_view commonName);

/// Decodes Base64 text: the standard alphabet, other characters skipped, "="
/// ends the input; a lone final symbol gives one byte. Returns 0 and a new
/// malloc'ed buffer in `out` (the caller frees it) with its length in
/// `outLength`, 12 when memory runs out, 22 for null out-parameters.
int PelBase64Decode(const void* text, std::size_t length, char** out, std::size_t* outLength);
