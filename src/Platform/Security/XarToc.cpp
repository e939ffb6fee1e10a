#include "Platform/Security/XarToc.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cctype>
#include <cstring>
#include <limits>
#include <mutex>

namespace platform {

namespace {

// Deep nesting only happens in hostile input; real packages nest folders a
// few dozen levels at most.
constexpr int kMaxFileDepth = 256;
// Every file's name repeats the names of the folders above it: a short
// table with a long folder name and many files below it would otherwise
// make gigabytes of names. The names together may be as long as the largest
// table of contents read; real packages name a few hundred files at most.
constexpr std::size_t kMaxNameBytes = std::size_t{16} << 20;

Error tocError(std::string description) {
    return Error(
        std::string(kXarErrorDomain), kXarErrorTOC,
        Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::move(description))}});
}

struct DocDeleter {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

bool named(const xmlNode* node, const char* name) {
    return node && node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

const xmlNode* firstChild(const xmlNode* parent, const char* name) {
    for (const xmlNode* n = parent ? parent->children : nullptr; n; n = n->next)
        if (named(n, name)) return n;
    return nullptr;
}

// Text of an element's own text and CDATA children. Entity references are
// deliberately not followed.
std::string textOf(const xmlNode* node) {
    std::string text;
    for (const xmlNode* n = node ? node->children : nullptr; n; n = n->next)
        if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) && n->content)
            text += reinterpret_cast<const char*>(n->content);
    return text;
}

std::string attribute(const xmlNode* node, const char* name) {
    for (const xmlAttr* a = node->properties; a; a = a->next)
        if (std::strcmp(reinterpret_cast<const char*>(a->name), name) == 0)
            return textOf(reinterpret_cast<const xmlNode*>(a));
    return {};
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A decimal number with optional surrounding white space; nothing else.
bool parseNumber(const std::string& text, std::uint64_t* out) {
    std::size_t i = 0, end = text.size();
    while (i < end && isSpace(text[i])) ++i;
    while (end > i && isSpace(text[end - 1])) --end;
    if (i == end) return false;
    std::uint64_t value = 0;
    for (; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        const unsigned digit = unsigned(text[i] - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

bool numberChild(const xmlNode* parent, const char* name, std::uint64_t* out) {
    const xmlNode* child = firstChild(parent, name);
    return child && parseNumber(textOf(child), out);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Data decodeHex(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (!isSpace(c)) digits += c;
    Data out;
    if (digits.size() % 2) return {};
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int hi = hexValue(digits[i]), lo = hexValue(digits[i + 1]);
        if (hi < 0 || lo < 0) return {};
        out.push_back(std::uint8_t(hi << 4 | lo));
    }
    return out;
}

void collectCertificates(const xmlNode* node, std::vector<Data>* out) {
    for (const xmlNode* n = node ? node->children : nullptr; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (named(n, "X509Certificate")) {
            Data der;
            if (!xarDecodeBase64(textOf(n), &der)) der.clear();
            out->push_back(std::move(der));
        } else {
            collectCertificates(n, out);
        }
    }
}

bool readSignature(const xmlNode* node, XarSignature* signature) {
    signature->style = attribute(node, "style");
    if (!numberChild(node, "offset", &signature->offset) ||
        !numberChild(node, "size", &signature->size))
        return false;
    collectCertificates(firstChild(node, "KeyInfo"), &signature->certificates);
    return true;
}

// `nameBytes` counts the bytes of the full names made so far.
bool readFiles(const xmlNode* parent, const std::string& prefix, int depth,
               std::vector<XarFileData>* files, std::size_t* nameBytes) {
    if (depth > kMaxFileDepth) return false;
    for (const xmlNode* n = parent->children; n; n = n->next) {
        if (!named(n, "file")) continue;
        const std::string own = textOf(firstChild(n, "name"));
        if (prefix.size() + own.size() > kMaxNameBytes - *nameBytes) return false;
        *nameBytes += prefix.size() + own.size();
        const std::string name = prefix + own;
        if (const xmlNode* data = firstChild(n, "data")) {
            XarFileData file;
            file.name = name;
            if (!numberChild(data, "offset", &file.offset) ||
                !numberChild(data, "length", &file.length))
                return false;
            if (const xmlNode* sum = firstChild(data, "archived-checksum")) {
                file.archivedChecksumStyle = attribute(sum, "style");
                file.archivedChecksumAlgorithm =
                    xarDigestAlgorithmNamed(file.archivedChecksumStyle);
                file.archivedChecksum = decodeHex(textOf(sum));
            }
            if (const xmlNode* encoding = firstChild(data, "encoding"))
                file.encoding = attribute(encoding, "style");
            std::uint64_t extracted = 0;
            if (firstChild(data, "size") && numberChild(data, "size", &extracted))
                file.extractedSize = extracted;
            files->push_back(std::move(file));
        }
        if (!readFiles(n, name + "/", depth + 1, files, nameBytes)) return false;
    }
    return true;
}

}  // namespace

std::optional<DigestAlgorithm> xarDigestAlgorithmNamed(std::string_view name) {
    std::string lower;
    for (char c : name) lower += char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "sha1") return DigestAlgorithm::kSHA1;
    if (lower == "md5") return DigestAlgorithm::kMD5;
    if (lower == "sha224") return DigestAlgorithm::kSHA224;
    if (lower == "sha256") return DigestAlgorithm::kSHA256;
    if (lower == "sha384") return DigestAlgorithm::kSHA384;
    if (lower == "sha512") return DigestAlgorithm::kSHA512;
    return std::nullopt;
}

bool xarDecodeBase64(std::string_view text, Data* out) {
    out->clear();
    std::uint32_t accumulator = 0;
    int symbols = 0, padding = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (isSpace(c))
            continue;
        else if (c == '=') {
            ++padding;
            continue;
        } else
            return false;
        if (padding) return false;  // data after padding
        accumulator = accumulator << 6 | std::uint32_t(v);
        if (++symbols % 4 == 0) {
            out->push_back(std::uint8_t(accumulator >> 16));
            out->push_back(std::uint8_t(accumulator >> 8));
            out->push_back(std::uint8_t(accumulator));
            accumulator = 0;
        }
    }
    switch (symbols % 4) {
        case 0:
            return padding == 0;
        case 2:
            out->push_back(std::uint8_t(accumulator >> 4));
            return padding <= 2;
        case 3:
            out->push_back(std::uint8_t(accumulator >> 10));
            out->push_back(std::uint8_t(accumulator >> 2));
            return padding <= 1;
        default:
            return false;
    }
}

bool parseXarToc(const std::uint8_t* xml, std::size_t length, XarToc* toc, Error* error) {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
    if (length > std::size_t(std::numeric_limits<int>::max())) {
        setError(error, tocError("The table of contents is too large."));
        return false;
    }
    // A table of contents has no use for a DTD; refusing one before parsing
    // means no entity declaration is ever processed. The text is read as
    // UTF-8 whatever it declares, so the search cannot be dodged by another
    // encoding.
    const std::string_view text(reinterpret_cast<const char*>(xml), length);
    if (text.find("<!DOCTYPE") != std::string_view::npos ||
        text.find("<!ENTITY") != std::string_view::npos) {
        setError(error, tocError("The table of contents declares a DTD."));
        return false;
    }
    // No XML_PARSE_NOENT (that would substitute entities), no DTD loading,
    // no network.
    const int options =
        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
    std::unique_ptr<xmlDoc, DocDeleter> doc(xmlReadMemory(
        reinterpret_cast<const char*>(xml), int(length), "toc.xml", "UTF-8", options));
    if (!doc) {
        setError(error, tocError("The table of contents is not well-formed XML."));
        return false;
    }
    if (doc->intSubset || doc->extSubset) {
        setError(error, tocError("The table of contents declares a DTD."));
        return false;
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    const xmlNode* tocNode = named(root, "xar") ? firstChild(root, "toc") : nullptr;
    if (!tocNode) {
        setError(error, tocError("The document is not a xar table of contents."));
        return false;
    }
    if (const xmlNode* sum = firstChild(tocNode, "checksum")) {
        toc->hasChecksum = true;
        toc->checksumStyle = attribute(sum, "style");
        if (!numberChild(sum, "offset", &toc->checksumOffset) ||
            !numberChild(sum, "size", &toc->checksumSize)) {
            setError(error, tocError("The checksum element is malformed."));
            return false;
        }
    }
    for (const xmlNode* n = tocNode->children; n; n = n->next) {
        if (!named(n, "signature")) continue;
        XarSignature signature;
        if (!readSignature(n, &signature)) {
            setError(error, tocError("A signature element is malformed."));
            return false;
        }
        toc->signatures.push_back(std::move(signature));
    }
    std::size_t nameBytes = 0;
    if (!readFiles(tocNode, "", 0, &toc->files, &nameBytes)) {
        setError(error, tocError("A file element is malformed, nested too deeply, or its "
                                 "names are too long."));
        return false;
    }
    return true;
}

}  // namespace platform
