#include "pelsign/DevSigning.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Foundation/PelSignature.h"  // the marker lines only

namespace devsign {

namespace {

EVP_PKEY* pkey(void* p) { return static_cast<EVP_PKEY*>(p); }

[[noreturn]] void fail(const std::string& what) {
    char buffer[256] = "";
    ERR_error_string_n(ERR_get_error(), buffer, sizeof buffer);
    ERR_clear_error();
    throw std::runtime_error(what + (buffer[0] ? std::string(": ") + buffer : std::string()));
}

// The DER bytes that an OpenSSL i2d_ function writes for `object`.
template <class T>
Data encodeDER(int (*i2d)(const T*, unsigned char**), const T* object, const char* what) {
    unsigned char* der = nullptr;
    const int n = i2d(object, &der);
    if (n <= 0) fail(std::string("cannot encode the ") + what);
    Data out(der, der + n);
    OPENSSL_free(der);
    return out;
}

const EVP_MD* md(platform::DigestAlgorithm algorithm) {
    switch (algorithm) {
        case platform::DigestAlgorithm::kMD5:
            return EVP_md5();
        case platform::DigestAlgorithm::kSHA1:
            return EVP_sha1();
        case platform::DigestAlgorithm::kSHA224:
            return EVP_sha224();
        case platform::DigestAlgorithm::kSHA256:
            return EVP_sha256();
        case platform::DigestAlgorithm::kSHA384:
            return EVP_sha384();
        case platform::DigestAlgorithm::kSHA512:
            return EVP_sha512();
    }
    return nullptr;
}

template <typename T, void (*Free)(T*)>
struct Owned {
    T* p;
    explicit Owned(T* v) : p(v) {}
    ~Owned() { Free(p); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

void addExtension(X509* certificate, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext || !X509_add_ext(certificate, ext, -1)) {
        X509_EXTENSION_free(ext);
        fail("cannot add certificate extension");
    }
    X509_EXTENSION_free(ext);
}

}  // namespace

PrivateKey::~PrivateKey() { EVP_PKEY_free(pkey(key_)); }
PrivateKey::PrivateKey(PrivateKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
PrivateKey& PrivateKey::operator=(PrivateKey&& other) noexcept {
    std::swap(key_, other.key_);
    return *this;
}

PrivateKey PrivateKey::generateRSA(int bits) {
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (!key) fail("cannot generate an RSA key");
    return PrivateKey(key);
}

PrivateKey PrivateKey::fromPEM(std::string_view pem) {
    Owned<BIO, BIO_free_all> bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    EVP_PKEY* key = bio.p ? PEM_read_bio_PrivateKey(bio.p, nullptr, nullptr, nullptr) : nullptr;
    if (!key) fail("not a PEM private key");
    return PrivateKey(key);
}

PrivateKey PrivateKey::loadPEM(const std::string& path) { return fromPEM(readFile(path)); }

Data PrivateKey::publicKeyPKCS1() const {
    return encodeDER(i2d_PublicKey, pkey(key_), "public key");
}

Data PrivateKey::publicKeySPKI() const { return encodeDER(i2d_PUBKEY, pkey(key_), "public key"); }

Data PrivateKey::signMessage(platform::DigestAlgorithm algorithm, const void* data,
                             std::size_t length) const {
    Data digest;
    if (!platform::computeDigest(algorithm, data, length, &digest)) fail("cannot digest");
    return signDigest(algorithm, digest);
}

Data PrivateKey::signDigest(platform::DigestAlgorithm algorithm, const Data& digest) const {
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(pkey(key_), nullptr));
    std::size_t length = 0;
    if (!ctx.p || EVP_PKEY_sign_init(ctx.p) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.p, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.p, md(algorithm)) != 1 ||
        EVP_PKEY_sign(ctx.p, nullptr, &length, digest.data(), digest.size()) != 1)
        fail("cannot set up signing");
    Data signature(length);
    if (EVP_PKEY_sign(ctx.p, signature.data(), &length, digest.data(), digest.size()) != 1)
        fail("cannot sign");
    signature.resize(length);
    return signature;
}

Data makeCertificate(const CertificateProfile& profile, const PrivateKey& subjectKey,
                     const PrivateKey& issuerKey, const Data& issuerCertificate) {
    Owned<X509, X509_free> certificate(X509_new());
    Owned<X509_NAME, X509_NAME_free> name(X509_NAME_new());
    if (!certificate.p || !name.p) fail("out of memory");
    X509_set_version(certificate.p, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.p), profile.serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.p), profile.notBeforeDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate.p), profile.notAfterDays * 86400);
    X509_set_pubkey(certificate.p, pkey(subjectKey.evp()));
    if (!profile.organization.empty())
        X509_NAME_add_entry_by_txt(
            name.p, "O", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(profile.organization.c_str()), -1, -1, 0);
    for (const std::string& cn : profile.commonNames)
        X509_NAME_add_entry_by_txt(name.p, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_subject_name(certificate.p, name.p);

    X509* issuer = certificate.p;
    X509* parsedIssuer = nullptr;
    if (!issuerCertificate.empty()) {
        const unsigned char* p = issuerCertificate.data();
        parsedIssuer = d2i_X509(nullptr, &p, long(issuerCertificate.size()));
        if (!parsedIssuer) fail("the issuer certificate is not DER");
        issuer = parsedIssuer;
    }
    Owned<X509, X509_free> issuerOwner(parsedIssuer);
    X509_set_issuer_name(certificate.p, X509_get_subject_name(issuer));

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, certificate.p, nullptr, nullptr, 0);
    addExtension(certificate.p, &ctx, NID_basic_constraints,
                 profile.isCA ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(certificate.p, &ctx, NID_key_usage,
                 profile.isCA ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    addExtension(certificate.p, &ctx, NID_subject_key_identifier, "hash");

    if (X509_sign(certificate.p, pkey(issuerKey.evp()), EVP_sha256()) <= 0)
        fail("cannot sign the certificate");
    return encodeDER(i2d_X509, certificate.p, "certificate");
}

Data loadCertificatePEM(const std::string& path) {
    const std::string pem = readFile(path);
    Owned<BIO, BIO_free_all> bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    Owned<X509, X509_free> certificate(bio.p ? PEM_read_bio_X509(bio.p, nullptr, nullptr, nullptr)
                                             : nullptr);
    if (!certificate.p) fail("not a PEM certificate: " + path);
    return encodeDER(i2d_X509, certificate.p, "certificate");
}

std::string base64Lines(const Data& data, std::size_t lineLength) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string flat;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const std::uint32_t n = std::uint32_t(data[i]) << 16 |
                                (i + 1 < data.size() ? std::uint32_t(data[i + 1]) << 8 : 0) |
                                (i + 2 < data.size() ? std::uint32_t(data[i + 2]) : 0);
        flat += kAlphabet[n >> 18 & 63];
        flat += kAlphabet[n >> 12 & 63];
        flat += i + 1 < data.size() ? kAlphabet[n >> 6 & 63] : '=';
        flat += i + 2 < data.size() ? kAlphabet[n & 63] : '=';
    }
    if (lineLength == 0) return flat;
    std::string lines;
    for (std::size_t i = 0; i < flat.size(); i += lineLength) {
        if (i) lines += '\n';
        lines += flat.substr(i, lineLength);
    }
    return lines;
}

std::string signatureBlock(const Data& signature, std::size_t lineLength) {
    return "\n" + std::string(kPelSignatureBeginMarker) + "\n" +
           base64Lines(signature, lineLength) + "\n" + std::string(kPelSignatureEndMarker) + "\n";
}

std::string makeSignedDataFile(std::string_view content, const PrivateKey& key) {
    std::string_view signedPart = content;
    if (!signedPart.empty() && signedPart.back() == '\n') signedPart.remove_suffix(1);
    return std::string(signedPart) + signatureBlock(key.signMessage(signedPart));
}

Data makeDetachedSignature(std::string_view content, const PrivateKey& key) {
    return key.signMessage(content);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), std::streamsize(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace devsign
