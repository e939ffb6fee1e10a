#include "Platform/Xpc/XpcWire.h"

#include <cstring>
#include <iterator>

#include "Platform/Text/Unicode.h"

namespace platform {

namespace {

enum Tag : std::uint8_t {
    kTagNull = 0x00,
    kTagBool = 0x01,
    kTagInt64 = 0x02,
    kTagUint64 = 0x03,
    kTagDouble = 0x04,
    kTagString = 0x05,
    kTagData = 0x06,
    kTagUuid = 0x07,
    kTagArray = 0x08,
    kTagDictionary = 0x09,
};

constexpr std::uint8_t kMagic[4] = {'P', 'X', 'P', 'C'};

void putVarint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    if (v < 0x80) {
        out.push_back(static_cast<std::uint8_t>(v));
        return;
    }
    std::uint8_t bytes[10];
    std::size_t n = 0;
    while (v >= 0x80) {
        bytes[n++] = static_cast<std::uint8_t>(v | 0x80);
        v >>= 7;
    }
    bytes[n++] = static_cast<std::uint8_t>(v);
    out.insert(out.end(), bytes, bytes + n);
}

void putBytes(std::vector<std::uint8_t>& out, const void* data, std::size_t size) {
    if (size == 0) return;
    std::size_t at = out.size();
    out.resize(at + size);
    std::memcpy(out.data() + at, data, size);
}

void putLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint64_t getLittleEndian(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

XpcWireError checkText(std::string_view s) {
    // Keys and most values are ASCII: take eight bytes at a time while they
    // are, and leave the rest to the full check.
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & kHighs) break;
        if ((w - kOnes) & ~w & kHighs) return XpcWireError::EmbeddedNul;
    }
    for (; i < s.size() && static_cast<unsigned char>(s[i]) < 0x80; ++i)
        if (s[i] == 0) return XpcWireError::EmbeddedNul;
    if (i == s.size()) return XpcWireError::None;
    std::string_view rest = s.substr(i);
    if (std::memchr(rest.data(), 0, rest.size())) return XpcWireError::EmbeddedNul;
    if (!isValidUtf8(rest)) return XpcWireError::BadUtf8;
    return XpcWireError::None;
}

XpcWireError encode(const XpcObject& v, std::vector<std::uint8_t>& out, unsigned depth,
                    const XpcWireLimits& limits) {
    switch (v.type()) {
        case XpcObject::Type::Null:
            out.push_back(kTagNull);
            break;
        case XpcObject::Type::Bool:
            out.push_back(kTagBool);
            out.push_back(*v.asBool() ? 1 : 0);
            break;
        case XpcObject::Type::Int64: {
            auto i = *v.asInt64();
            out.push_back(kTagInt64);
            putVarint(out,
                      (static_cast<std::uint64_t>(i) << 1) ^ static_cast<std::uint64_t>(i >> 63));
            break;
        }
        case XpcObject::Type::Uint64:
            out.push_back(kTagUint64);
            putVarint(out, *v.asUint64());
            break;
        case XpcObject::Type::Double: {
            std::uint64_t bits;
            std::memcpy(&bits, v.asDouble(), sizeof bits);
            out.push_back(kTagDouble);
            putLittleEndian(out, bits, 8);
            break;
        }
        case XpcObject::Type::String: {
            const auto& s = *v.asString();
            if (auto e = checkText(s); e != XpcWireError::None) return e;
            out.push_back(kTagString);
            putVarint(out, s.size());
            putBytes(out, s.data(), s.size());
            break;
        }
        case XpcObject::Type::Data: {
            const auto& d = *v.asData();
            out.push_back(kTagData);
            putVarint(out, d.size());
            putBytes(out, d.data(), d.size());
            break;
        }
        case XpcObject::Type::Uuid:
            out.push_back(kTagUuid);
            out.insert(out.end(), v.asUuid()->bytes.begin(), v.asUuid()->bytes.end());
            break;
        case XpcObject::Type::Array: {
            if (depth + 1 > limits.maxDepth) return XpcWireError::TooDeep;
            out.push_back(kTagArray);
            putVarint(out, v.asArray()->size());
            for (const auto& e : *v.asArray())
                if (auto err = encode(e, out, depth + 1, limits); err != XpcWireError::None)
                    return err;
            break;
        }
        case XpcObject::Type::Dictionary: {
            if (depth + 1 > limits.maxDepth) return XpcWireError::TooDeep;
            out.push_back(kTagDictionary);
            putVarint(out, v.asDictionary()->size());
            for (const auto& [k, e] : *v.asDictionary()) {
                if (auto err = checkText(k); err != XpcWireError::None) return err;
                putVarint(out, k.size());
                putBytes(out, k.data(), k.size());
                if (auto err = encode(e, out, depth + 1, limits); err != XpcWireError::None)
                    return err;
            }
            break;
        }
    }
    return XpcWireError::None;
}

class Decoder {
  public:
    Decoder(std::span<const std::uint8_t> bytes, const XpcWireLimits& limits)
        : p_(bytes.data()), end_(bytes.data() + bytes.size()), limits_(limits) {}

    XpcWireError decodeAll(XpcObject& out) {
        if (auto e = value(out, 0); e != XpcWireError::None) return e;
        return p_ == end_ ? XpcWireError::None : XpcWireError::TrailingBytes;
    }

  private:
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

    XpcWireError varint(std::uint64_t& v) {
        v = 0;
        for (int shift = 0;; shift += 7) {
            if (p_ == end_) return XpcWireError::Truncated;
            std::uint8_t b = *p_++;
            // The tenth byte may only carry the top bit of a 64-bit number.
            if (shift == 63 && b > 1) return XpcWireError::BadVarint;
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) {
                // A zero last byte after the first would be an over-long form.
                if (b == 0 && shift > 0) return XpcWireError::BadVarint;
                return XpcWireError::None;
            }
            if (shift == 63) return XpcWireError::BadVarint;
        }
    }

    XpcWireError length(std::size_t& n) {
        std::uint64_t v;
        if (auto e = varint(v); e != XpcWireError::None) return e;
        if (v > remaining()) return XpcWireError::Truncated;
        n = static_cast<std::size_t>(v);
        return XpcWireError::None;
    }

    XpcWireError text(std::string& s) {
        std::size_t n;
        if (auto e = length(n); e != XpcWireError::None) return e;
        std::string_view view(reinterpret_cast<const char*>(p_), n);
        if (auto e = checkText(view); e != XpcWireError::None) return e;
        s = std::string(view);
        p_ += n;
        return XpcWireError::None;
    }

    XpcWireError value(XpcObject& out, unsigned depth) {
        if (p_ == end_) return XpcWireError::Truncated;
        std::uint8_t tag = *p_++;
        switch (tag) {
            case kTagNull:
                out = XpcObject();
                return XpcWireError::None;
            case kTagBool: {
                if (p_ == end_) return XpcWireError::Truncated;
                std::uint8_t b = *p_++;
                if (b > 1) return XpcWireError::BadTag;
                out = XpcObject::makeBool(b == 1);
                return XpcWireError::None;
            }
            case kTagInt64: {
                std::uint64_t z;
                if (auto e = varint(z); e != XpcWireError::None) return e;
                out = XpcObject::makeInt64(static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1)));
                return XpcWireError::None;
            }
            case kTagUint64: {
                std::uint64_t u;
                if (auto e = varint(u); e != XpcWireError::None) return e;
                out = XpcObject::makeUint64(u);
                return XpcWireError::None;
            }
            case kTagDouble: {
                if (remaining() < 8) return XpcWireError::Truncated;
                std::uint64_t bits = getLittleEndian(p_, 8);
                p_ += 8;
                double d;
                std::memcpy(&d, &bits, sizeof d);
                out = XpcObject::makeDouble(d);
                return XpcWireError::None;
            }
            case kTagString: {
                std::string s;
                if (auto e = text(s); e != XpcWireError::None) return e;
                out = XpcObject::makeString(std::move(s));
                return XpcWireError::None;
            }
            case kTagData: {
                std::size_t n;
                if (auto e = length(n); e != XpcWireError::None) return e;
                out = XpcObject::makeData(Data(p_, p_ + n));
                p_ += n;
                return XpcWireError::None;
            }
            case kTagUuid: {
                if (remaining() < 16) return XpcWireError::Truncated;
                XpcUuid u;
                std::memcpy(u.bytes.data(), p_, 16);
                p_ += 16;
                out = XpcObject::makeUuid(u);
                return XpcWireError::None;
            }
            case kTagArray: {
                if (depth + 1 > limits_.maxDepth) return XpcWireError::TooDeep;
                std::size_t n;
                // Every element takes at least one byte, so the count is
                // bounded by what remains before anything is reserved.
                if (auto e = length(n); e != XpcWireError::None) return e;
                XpcArray a;
                a.reserve(n);
                for (std::size_t i = 0; i < n; ++i) {
                    a.emplace_back();
                    if (auto e = value(a.back(), depth + 1); e != XpcWireError::None) return e;
                }
                out = XpcObject::makeArray(std::move(a));
                return XpcWireError::None;
            }
            case kTagDictionary: {
                if (depth + 1 > limits_.maxDepth) return XpcWireError::TooDeep;
                std::size_t n;
                if (auto e = length(n); e != XpcWireError::None) return e;
                XpcDictionary d;
                for (std::size_t i = 0; i < n; ++i) {
                    std::string key;
                    if (auto e = text(key); e != XpcWireError::None) return e;
                    // Senders write keys in order, so each new key normally
                    // goes at the end; any other place is looked up in full.
                    auto at = d.end();
                    if (!d.empty() && !(std::prev(at)->first < key)) {
                        at = d.lower_bound(key);
                        if (at != d.end() && at->first == key) return XpcWireError::DuplicateKey;
                    }
                    at = d.emplace_hint(at, std::move(key), XpcObject());
                    if (auto e = value(at->second, depth + 1); e != XpcWireError::None) return e;
                }
                out = XpcObject::makeDictionary(std::move(d));
                return XpcWireError::None;
            }
            default:
                return XpcWireError::BadTag;
        }
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    const XpcWireLimits& limits_;
};

}  // namespace

const char* xpcWireErrorDescription(XpcWireError e) {
    switch (e) {
        case XpcWireError::None:
            return "no error";
        case XpcWireError::BadMagic:
            return "not a message frame";
        case XpcWireError::UnsupportedVersion:
            return "unsupported message format version";
        case XpcWireError::BadHeader:
            return "malformed frame header";
        case XpcWireError::Oversized:
            return "frame too large";
        case XpcWireError::Truncated:
            return "truncated frame";
        case XpcWireError::TooDeep:
            return "message nested too deeply";
        case XpcWireError::BadTag:
            return "unknown value type";
        case XpcWireError::BadVarint:
            return "malformed integer";
        case XpcWireError::BadUtf8:
            return "string is not UTF-8";
        case XpcWireError::EmbeddedNul:
            return "string contains NUL";
        case XpcWireError::DuplicateKey:
            return "duplicate dictionary key";
        case XpcWireError::TrailingBytes:
            return "bytes after the message";
        case XpcWireError::NotDictionary:
            return "message is not a dictionary";
    }
    return "unknown error";
}

bool isValidUtf8(std::string_view text) { return unicode::isValidUTF8(text); }

bool encodeXpcValue(const XpcObject& value, std::vector<std::uint8_t>& out, XpcWireError* error,
                    const XpcWireLimits& limits) {
    std::size_t before = out.size();
    XpcWireError e = encode(value, out, 0, limits);
    if (e != XpcWireError::None) {
        out.resize(before);
        if (error) *error = e;
        return false;
    }
    return true;
}

bool decodeXpcValue(std::span<const std::uint8_t> bytes, XpcObject& out, XpcWireError* error,
                    const XpcWireLimits& limits) {
    XpcWireError e = Decoder(bytes, limits).decodeAll(out);
    if (e != XpcWireError::None) {
        if (error) *error = e;
        return false;
    }
    return true;
}

bool encodeXpcFrame(XpcFrameKind kind, std::uint64_t id, const XpcObject& message,
                    std::vector<std::uint8_t>& out, XpcWireError* error,
                    const XpcWireLimits& limits) {
    auto failWith = [&](XpcWireError e) {
        if (error) *error = e;
        return false;
    };
    if (!message.isDictionary()) return failWith(XpcWireError::NotDictionary);
    std::size_t before = out.size();
    // Room for a typical message at once, rather than growing step by step.
    out.reserve(before + 256);
    std::uint8_t header[kXpcFrameHeaderSize] = {};  // flags and payload size 0 for now
    std::memcpy(header, kMagic, sizeof kMagic);
    header[4] = kXpcWireVersion;
    header[5] = static_cast<std::uint8_t>(kind);
    for (int i = 0; i < 8; ++i) header[8 + i] = static_cast<std::uint8_t>(id >> (8 * i));
    putBytes(out, header, sizeof header);
    std::size_t payloadStart = out.size();
    if (!encodeXpcValue(message, out, error, limits)) {
        out.resize(before);
        return false;
    }
    std::size_t payloadSize = out.size() - payloadStart;
    if (payloadSize + kXpcFrameHeaderSize > limits.maxFrameSize) {
        out.resize(before);
        return failWith(XpcWireError::Oversized);
    }
    for (int i = 0; i < 4; ++i)
        out[payloadStart - 4 + i] = static_cast<std::uint8_t>(payloadSize >> (8 * i));
    return true;
}

void setXpcFrameId(std::vector<std::uint8_t>& frame, std::uint64_t id) {
    if (frame.size() < kXpcFrameHeaderSize) return;
    for (int i = 0; i < 8; ++i) frame[8 + i] = static_cast<std::uint8_t>(id >> (8 * i));
}

void XpcFrameReader::append(const std::uint8_t* data, std::size_t size) {
    if (error_ != XpcWireError::None || size == 0) return;
    // Drop consumed bytes once they make up most of the buffer.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

XpcFrameReader::Status XpcFrameReader::fail(XpcWireError e) {
    error_ = e;
    buffer_.clear();
    start_ = 0;
    return Status::Failed;
}

XpcFrameReader::Status XpcFrameReader::next(XpcFrame& frame) {
    if (error_ != XpcWireError::None) return Status::Failed;
    if (buffered() == 0) return Status::NeedMore;
    const std::uint8_t* p = buffer_.data() + start_;
    std::size_t avail = buffer_.size() - start_;
    // Judge the header as soon as its bytes are in, so that a bad or oversized
    // frame is refused before its payload is waited for or buffered.
    std::size_t check = avail < kXpcFrameHeaderSize ? avail : kXpcFrameHeaderSize;
    if (std::memcmp(p, kMagic, check < 4 ? check : 4) != 0) return fail(XpcWireError::BadMagic);
    if (check > 4 && p[4] != kXpcWireVersion) return fail(XpcWireError::UnsupportedVersion);
    if (avail < kXpcFrameHeaderSize) return Status::NeedMore;

    auto kind = p[5];
    std::uint64_t flags = getLittleEndian(p + 6, 2);
    std::uint64_t id = getLittleEndian(p + 8, 8);
    std::uint64_t payloadSize = getLittleEndian(p + 16, 4);
    bool kindOk = kind >= static_cast<std::uint8_t>(XpcFrameKind::Message) &&
                  kind <= static_cast<std::uint8_t>(XpcFrameKind::Reply);
    bool idOk = (kind == static_cast<std::uint8_t>(XpcFrameKind::Message)) == (id == 0);
    if (!kindOk || flags != 0 || !idOk) return fail(XpcWireError::BadHeader);
    if (payloadSize + kXpcFrameHeaderSize > limits_.maxFrameSize)
        return fail(XpcWireError::Oversized);
    if (avail < kXpcFrameHeaderSize + payloadSize) return Status::NeedMore;

    XpcObject message;
    XpcWireError e = XpcWireError::None;
    if (!decodeXpcValue({p + kXpcFrameHeaderSize, static_cast<std::size_t>(payloadSize)}, message,
                        &e, limits_))
        return fail(e);
    if (!message.isDictionary()) return fail(XpcWireError::NotDictionary);

    start_ += kXpcFrameHeaderSize + static_cast<std::size_t>(payloadSize);
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    frame.kind = static_cast<XpcFrameKind>(kind);
    frame.id = id;
    frame.message = std::move(message);
    return Status::Frame;
}

bool XpcFrameReader::finish() {
    if (error_ != XpcWireError::None) return false;
    if (buffered() > 0) {
        fail(XpcWireError::Truncated);
        return false;
    }
    return true;
}

}  // namespace platform
