#include "pelsign/XarWriter.h"

#include <zlib.h>

#include <stdexcept>

#include "Platform/Security/XarToc.h"

namespace devsign {

namespace {

std::uint32_t algorithmNumber(const std::string& name) {
    if (name == "none") return 0;
    if (name == "sha1") return 1;
    if (name == "md5") return 2;
    return 3;
}

platform::DigestAlgorithm digestNamed(const std::string& name) {
    const auto algorithm = platform::xarDigestAlgorithmNamed(name);
    if (!algorithm) throw std::runtime_error("no digest named " + name);
    return *algorithm;
}

std::string hex(const Data& data) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

void putBigEndian(Data* out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out->push_back(std::uint8_t(value >> (8 * i)));
}

Data compress(const std::string& text) {
    uLongf length = compressBound(uLong(text.size()));
    Data out(length);
    if (compress2(out.data(), &length, reinterpret_cast<const Bytef*>(text.data()),
                  uLong(text.size()), Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(length);
    return out;
}

std::size_t signatureLength(const XarSigning& signing) {
    // An RSA signature is as long as the modulus.
    return signing.key->signDigest(platform::DigestAlgorithm::kSHA1, Data(20, 0)).size();
}

}  // namespace

XarLayout layoutXar(const XarOptions& options) {
    XarLayout layout;
    layout.checksumName = options.checksumName;
    std::string toc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n";
    if (options.checksumName != "none") {
        const std::size_t size = platform::digestLength(digestNamed(options.checksumName));
        toc += "  <checksum style=\"" + options.checksumName + "\"><offset>0</offset><size>" +
               std::to_string(size) + "</size></checksum>\n";
        layout.heap.resize(size);
    }
    toc += "  <creation-time>2024-01-01T00:00:00</creation-time>\n";
    if (options.signing) {
        const std::size_t size = signatureLength(*options.signing);
        toc += "  <signature style=\"RSA\"><offset>" + std::to_string(layout.heap.size()) +
               "</offset><size>" + std::to_string(size) +
               "</size>\n   <KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><X509Data>\n";
        for (const Data& certificate : options.signing->certificates)
            toc += "    <X509Certificate>" + base64Lines(certificate, 76) + "</X509Certificate>\n";
        toc += "   </X509Data></KeyInfo>\n  </signature>\n";
        layout.heap.resize(layout.heap.size() + size);
    }
    int id = 1;
    for (const XarEntry& file : options.files) {
        Data sum;
        platform::computeDigest(platform::DigestAlgorithm::kSHA1, file.contents.data(),
                                file.contents.size(), &sum);
        toc += "  <file id=\"" + std::to_string(id++) + "\">\n   <name>" + file.name +
               "</name>\n   <type>file</type>\n   <data><offset>" +
               std::to_string(layout.heap.size()) + "</offset><length>" +
               std::to_string(file.contents.size()) + "</length><size>" +
               std::to_string(file.contents.size()) +
               "</size><encoding style=\"application/octet-stream\"/>"
               "<archived-checksum style=\"sha1\">" +
               hex(sum) + "</archived-checksum><extracted-checksum style=\"sha1\">" + hex(sum) +
               "</extracted-checksum></data>\n  </file>\n";
        layout.heap.insert(layout.heap.end(), file.contents.begin(), file.contents.end());
    }
    toc += " </toc>\n</xar>\n";
    layout.tocXml = std::move(toc);
    return layout;
}

Data assembleXar(const XarLayout& layout) {
    const Data compressed = compress(layout.tocXml);
    const std::uint32_t algorithm = algorithmNumber(layout.checksumName);
    std::size_t headerSize = 28;
    if (algorithm == 3) headerSize = 28 + ((layout.checksumName.size() + 1 + 3) & ~std::size_t(3));
    Data out;
    putBigEndian(&out, 0x78617221, 4);
    putBigEndian(&out, headerSize, 2);
    putBigEndian(&out, 1, 2);
    putBigEndian(&out, layout.compressedLengthOverride.value_or(compressed.size()), 8);
    putBigEndian(&out, layout.uncompressedLengthOverride.value_or(layout.tocXml.size()), 8);
    putBigEndian(&out, algorithm, 4);
    if (algorithm == 3) {
        out.insert(out.end(), layout.checksumName.begin(), layout.checksumName.end());
        out.resize(headerSize, 0);
    }
    out.insert(out.end(), compressed.begin(), compressed.end());
    out.insert(out.end(), layout.heap.begin(), layout.heap.end());
    return out;
}

Data buildXar(const XarOptions& options) {
    XarLayout layout = layoutXar(options);
    if (options.checksumName == "none") return assembleXar(layout);
    const platform::DigestAlgorithm algorithm = digestNamed(options.checksumName);
    const Data compressed = compress(layout.tocXml);
    Data checksum;
    platform::computeDigest(algorithm, compressed.data(), compressed.size(), &checksum);
    std::copy(checksum.begin(), checksum.end(), layout.heap.begin());
    if (options.signing) {
        const Data signature = options.signing->key->signDigest(algorithm, checksum);
        std::copy(signature.begin(), signature.end(), layout.heap.begin() + long(checksum.size()));
    }
    return assembleXar(layout);
}

}  // namespace devsign
