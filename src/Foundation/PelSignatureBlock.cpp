// The signature block embedded at the end of a signed data file, Base64
// decoding, and verification with the built-in key.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Foundation/PelSignature.h"
#include "Foundation/PelSignatureSettings.h"

namespace {

constexpr std::size_t kMarkerLength = 64;
static_assert(kPelSignatureBeginMarker.size() == kMarkerLength);
static_assert(kPelSignatureEndMarker.size() == kMarkerLength);

// The marker is searched from the end of the buffer backwards in windows: a
// first one over the last 514 bytes, then windows of 193 bytes whose start
// moves 128 bytes toward the beginning each time, so that consecutive
// windows overlap by more than a marker's length. The search in a window
// ends at its first zero byte, as a C string search would.
constexpr std::size_t kFirstWindow = 514;
constexpr std::size_t kWindow = 193;
constexpr std::size_t kWindowStep = 128;

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::size_t findBeginMarker(std::string_view buffer) {
    const std::size_t length = buffer.size();
    std::size_t start = length > kFirstWindow ? length - kFirstWindow : 0;
    std::size_t size = length - start;
    for (;;) {
        std::string_view window = buffer.substr(start, size);
        window = window.substr(0, window.find('\0'));
        const std::size_t found = window.find(kPelSignatureBeginMarker);
        if (found != std::string_view::npos) return start + found;
        if (start == 0) return std::string_view::npos;
        start = start > kWindowStep ? start - kWindowStep : 0;
        size = std::min(kWindow, length - start);
    }
}

}  // namespace

int PelBase64Decode(const void* text, std::size_t length, char** out, std::size_t* outLength) {
    if (!out || !outLength) return EINVAL;
    *out = nullptr;
    *outLength = 0;
    const auto* in = static_cast<const unsigned char*>(text);
    if (!in) length = 0;
    // Every 4 symbols give 3 bytes and a trailing group at most 2 more; the
    // extra byte keeps malloc from being asked for nothing.
    char* buffer = static_cast<char*>(std::malloc(length / 4 * 3 + 3));
    if (!buffer) return ENOMEM;
    std::size_t written = 0;
    std::uint32_t accumulator = 0;
    int symbols = 0;
    for (std::size_t i = 0; i < length && in[i] != '='; ++i) {
        const int v = base64Value(in[i]);
        if (v < 0) continue;
        accumulator = accumulator << 6 | std::uint32_t(v);
        if (++symbols == 4) {
            buffer[written++] = char(accumulator >> 16);
            buffer[written++] = char(accumulator >> 8);
            buffer[written++] = char(accumulator);
            accumulator = 0;
            symbols = 0;
        }
    }
    switch (symbols) {
        case 1:
            buffer[written++] = char(accumulator << 2);
            break;
        case 2:
            buffer[written++] = char(accumulator >> 4);
            break;
        case 3:
            buffer[written++] = char(accumulator >> 10);
            buffer[written++] = char(accumulator >> 2);
            break;
        default:
            break;
    }
    *out = buffer;
    *outLength = written;
    return 0;
}

PelSignatureStatus PelVerifySignatureWithKey(const char* data, unsigned dataLength,
                                             const void* signature, unsigned signatureLength) {
    const platform::PublicKey* key = PelSignatureVerificationKey();
    if (!key || (!data && dataLength) || (!signature && signatureLength))
        return kPelSignatureVerifierFailed;
    return PelSignatureStatusForResult(key->verifyMessage(platform::DigestAlgorithm::kSHA1, data,
                                                          dataLength, signature, signatureLength));
}

PelSignatureStatus PelVerifyEmbeddedSignature(const char* bytes, unsigned length) {
    if (!bytes) return kPelSignatureNotFound;
    const std::string_view buffer(bytes, length);

    const std::size_t begin = findBeginMarker(buffer);
    if (begin == std::string_view::npos) return kPelSignatureNotFound;

    // The Begin marker starts its line (so it is not on the first line):
    // text before it would be bytes that nobody signed. White space may
    // follow it on its line.
    if (begin == 0 || buffer[begin - 1] != '\n') return kPelSignatureNotFound;
    const std::size_t signedLength = begin - 1;
    std::size_t bodyStart = begin + kMarkerLength;
    while (bodyStart < length && buffer[bodyStart] != '\n' && isWhiteSpace(buffer[bodyStart]))
        ++bodyStart;
    if (bodyStart >= length || buffer[bodyStart] != '\n') return kPelSignatureNotFound;
    ++bodyStart;

    // So does the End marker, and nothing but white space follows its line.
    const std::size_t end = buffer.find(kPelSignatureEndMarker, bodyStart);
    if (end == std::string_view::npos || end <= bodyStart || buffer[end - 1] != '\n')
        return kPelSignatureNotFound;
    for (std::size_t i = end + kMarkerLength; i < length; ++i)
        if (!isWhiteSpace(buffer[i])) return kPelSignatureNotFound;

    // The decoder skips what lies outside the alphabet and ends at "=".
    const std::string_view body = buffer.substr(bodyStart, end - 1 - bodyStart);
    char* signature = nullptr;
    std::size_t signatureLength = 0;
    const int rc = PelBase64Decode(body.data(), body.size(), &signature, &signatureLength);
    if (rc == ENOMEM) return kPelSignatureNoMemory;
    if (rc != 0) return kPelSignatureBadIdentity;
    const PelSignatureStatus status = PelVerifySignatureWithKey(
        bytes, unsigned(signedLength), signature, unsigned(signatureLength));
    std::free(signature);
    return status;
}
