#include "Platform/Security/Crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace platform {

namespace {

const EVP_MD* messageDigest(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::kMD5:
            return EVP_md5();
        case DigestAlgorithm::kSHA1:
            return EVP_sha1();
        case DigestAlgorithm::kSHA224:
            return EVP_sha224();
        case DigestAlgorithm::kSHA256:
            return EVP_sha256();
        case DigestAlgorithm::kSHA384:
            return EVP_sha384();
        case DigestAlgorithm::kSHA512:
            return EVP_sha512();
    }
    return nullptr;
}

Error cryptoError(long code, std::string description) {
    // Whatever OpenSSL queued belongs to this failure; do not let it leak
    // into the next, unrelated call on this thread.
    ERR_clear_error();
    return Error(
        std::string(kCryptoErrorDomain), code,
        Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::move(description))}});
}

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PkeyDeleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
struct StoreDeleter {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxDeleter {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackDeleter {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};

}  // namespace

struct PublicKey::Impl {
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
};

struct Certificate::Impl {
    std::unique_ptr<X509, X509Deleter> x509;
};

std::size_t digestLength(DigestAlgorithm algorithm) {
    return static_cast<std::size_t>(EVP_MD_get_size(messageDigest(algorithm)));
}

bool computeDigest(DigestAlgorithm algorithm, const void* data, std::size_t length, Data* out,
                   Error* error) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (EVP_Digest(data, length, md, &mdLength, messageDigest(algorithm), nullptr) != 1) {
        setError(error, cryptoError(1, "The digest could not be computed."));
        return false;
    }
    out->assign(md, md + mdLength);
    return true;
}

Digester::Digester(DigestAlgorithm algorithm) : ctx_(EVP_MD_CTX_new()), ok_(ctx_ != nullptr) {
    if (ok_)
        ok_ = EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), messageDigest(algorithm),
                                nullptr) == 1;
}

Digester::~Digester() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

bool Digester::update(const void* data, std::size_t length) {
    if (ok_ && length) ok_ = EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, length) == 1;
    return ok_;
}

bool Digester::finish(Data* out) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    const bool done = ok_ && EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), md, &mdLength) == 1;
    ok_ = false;
    if (done) out->assign(md, md + mdLength);
    return done;
}

std::array<std::uint8_t, 32> sha256(const void* data, std::size_t length) {
    std::array<std::uint8_t, 32> result{};
    Data digest;
    if (computeDigest(DigestAlgorithm::kSHA256, data, length, &digest) &&
        digest.size() == result.size())
        std::copy(digest.begin(), digest.end(), result.begin());
    return result;
}

// ---------------------------------------------------------------------------
// PublicKey

PublicKey::PublicKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PublicKey::~PublicKey() = default;

std::unique_ptr<PublicKey> PublicKey::importDER(const void* der, std::size_t length, Error* error) {
    if (!der || length == 0 || length > 64 * 1024) {
        setError(error, cryptoError(2, "The key data is empty or too large."));
        return nullptr;
    }
    const auto* bytes = static_cast<const unsigned char*>(der);
    const long size = static_cast<long>(length);

    // A SubjectPublicKeyInfo names its algorithm; a bare PKCS#1 key does not,
    // so try the self-describing form first and insist on using every byte.
    const unsigned char* p = bytes;
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, size);
    if (key && p != bytes + length) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    if (!key) {
        p = bytes;
        key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, size);
        if (key && p != bytes + length) {
            EVP_PKEY_free(key);
            key = nullptr;
        }
    }
    if (!key) {
        setError(error, cryptoError(3, "The data is not a public key."));
        return nullptr;
    }
    ERR_clear_error();
    auto impl = std::make_unique<Impl>();
    impl->key.reset(key);
    return std::unique_ptr<PublicKey>(new PublicKey(std::move(impl)));
}

int PublicKey::bits() const {
    return EVP_PKEY_is_a(impl_->key.get(), "RSA") ? EVP_PKEY_get_bits(impl_->key.get()) : 0;
}

VerifyResult PublicKey::verifyMessage(DigestAlgorithm algorithm, const void* data,
                                      std::size_t length, const void* signature,
                                      std::size_t signatureLength) const {
    if (!EVP_PKEY_is_a(impl_->key.get(), "RSA")) return VerifyResult::kInvalid;
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx ||
        EVP_DigestVerifyInit(ctx.get(), &pctx, messageDigest(algorithm), nullptr,
                             impl_->key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
        ERR_clear_error();
        return VerifyResult::kNoAnswer;
    }
    static const unsigned char kEmpty = 0;
    const int rc =
        EVP_DigestVerify(ctx.get(), static_cast<const unsigned char*>(signature), signatureLength,
                         length ? static_cast<const unsigned char*>(data) : &kEmpty, length);
    ERR_clear_error();
    return rc == 1 ? VerifyResult::kValid : VerifyResult::kInvalid;
}

VerifyResult PublicKey::verifyDigest(DigestAlgorithm algorithm, const void* digest,
                                     std::size_t length, const void* signature,
                                     std::size_t signatureLength) const {
    if (!EVP_PKEY_is_a(impl_->key.get(), "RSA")) return VerifyResult::kInvalid;
    if (length != digestLength(algorithm)) return VerifyResult::kInvalid;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(impl_->key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), messageDigest(algorithm)) != 1) {
        ERR_clear_error();
        return VerifyResult::kNoAnswer;
    }
    const int rc =
        EVP_PKEY_verify(ctx.get(), static_cast<const unsigned char*>(signature), signatureLength,
                        static_cast<const unsigned char*>(digest), length);
    ERR_clear_error();
    return rc == 1 ? VerifyResult::kValid : VerifyResult::kInvalid;
}

// ---------------------------------------------------------------------------
// Certificate

Certificate::Certificate(std::unique_ptr<Impl> impl, Data der)
    : impl_(std::move(impl)), der_(std::move(der)) {}
Certificate::~Certificate() = default;

std::shared_ptr<const Certificate> Certificate::createWithDER(const void* der, std::size_t length,
                                                              Error* error) {
    // Certificates of any real chain are a few kilobytes; refuse absurd sizes
    // before handing them to the decoder.
    if (!der || length == 0 || length > 1024 * 1024) {
        setError(error, cryptoError(4, "The certificate data is empty or too large."));
        return nullptr;
    }
    const auto* bytes = static_cast<const unsigned char*>(der);
    const unsigned char* p = bytes;
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(length));
    if (!x509 || p != bytes + length) {
        X509_free(x509);
        setError(error, cryptoError(5, "The data is not a DER certificate."));
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->x509.reset(x509);
    return std::shared_ptr<const Certificate>(
        new Certificate(std::move(impl), Data(bytes, bytes + length)));
}

std::vector<std::string> Certificate::commonNames() const {
    std::vector<std::string> names;
    const X509_NAME* subject = X509_get_subject_name(impl_->x509.get());
    if (!subject) return names;
    for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
        const ASN1_STRING* value = entry ? X509_NAME_ENTRY_get_data(entry) : nullptr;
        unsigned char* utf8 = nullptr;
        const int n = value ? ASN1_STRING_to_UTF8(&utf8, value) : -1;
        if (n >= 0) names.emplace_back(reinterpret_cast<const char*>(utf8), std::size_t(n));
        OPENSSL_free(utf8);
    }
    ERR_clear_error();
    return names;
}

std::array<std::uint8_t, 32> Certificate::sha256Fingerprint() const {
    return sha256(der_.data(), der_.size());
}

std::unique_ptr<PublicKey> Certificate::copyPublicKey(Error* error) const {
    EVP_PKEY* key = X509_get_pubkey(impl_->x509.get());
    if (!key) {
        setError(error, cryptoError(6, "The certificate's public key cannot be read."));
        return nullptr;
    }
    auto impl = std::make_unique<PublicKey::Impl>();
    impl->key.reset(key);
    return std::unique_ptr<PublicKey>(new PublicKey(std::move(impl)));
}

// ---------------------------------------------------------------------------
// Trust

bool evaluateTrust(const std::vector<std::shared_ptr<const Certificate>>& certificates,
                   const std::vector<std::shared_ptr<const Certificate>>& anchors,
                   TrustResult* result, Error* error) {
    *result = TrustResult::kInvalid;
    if (certificates.empty() || !certificates[0]) {
        setError(error, cryptoError(7, "There is no certificate to evaluate."));
        return false;
    }
    std::unique_ptr<X509_STORE, StoreDeleter> store(X509_STORE_new());
    std::unique_ptr<STACK_OF(X509), StackDeleter> untrusted(sk_X509_new_null());
    std::unique_ptr<X509_STORE_CTX, StoreCtxDeleter> ctx(X509_STORE_CTX_new());
    if (!store || !untrusted || !ctx) {
        setError(error, cryptoError(8, "Out of memory."));
        return false;
    }
    for (const auto& anchor : anchors) {
        if (anchor && X509_STORE_add_cert(store.get(), anchor->impl().x509.get()) != 1) {
            // The same anchor given twice is not an error worth failing for.
            ERR_clear_error();
        }
    }
    for (std::size_t i = 1; i < certificates.size(); ++i) {
        if (certificates[i] && !sk_X509_push(untrusted.get(), certificates[i]->impl().x509.get())) {
            setError(error, cryptoError(8, "Out of memory."));
            return false;
        }
    }
    // An anchor counts whether or not it is self-signed, as trust anchors set
    // by the caller do.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_STORE_CTX_init(ctx.get(), store.get(), certificates[0]->impl().x509.get(),
                            untrusted.get()) != 1) {
        setError(error, cryptoError(9, "The trust evaluation cannot be set up."));
        return false;
    }
    const int rc = X509_verify_cert(ctx.get());
    const int verifyError = X509_STORE_CTX_get_error(ctx.get());
    ERR_clear_error();
    if (rc == 1) {
        *result = TrustResult::kUnspecified;
        return true;
    }
    switch (verifyError) {
        case X509_V_ERR_OUT_OF_MEM:
            setError(error, cryptoError(8, "Out of memory."));
            return false;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            *result = TrustResult::kFatalTrustFailure;
            return true;
        default:
            *result = TrustResult::kRecoverableTrustFailure;
            return true;
    }
}

}  // namespace platform
