// The library's reader of binary property lists. libplist's own asserts on
// strings with embedded NUL bytes (and ends the process), so outside input
// in the binary format is read here, with every offset, count and reference
// checked; it also keeps the width of integers, so a 16-byte integer comes
// back as the unsigned number it is.
#include <cstring>
#include <string>

#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"

namespace {

constexpr double kReferenceDateOffset = 978307200.0;
constexpr int kMaxDepth = 128;
// Shared sub-trees are expanded where they are referenced; this bounds the
// work a small file can cause.
constexpr std::size_t kMaxNodes = 1u << 20;

class Reader {
  public:
    Reader(const std::uint8_t* bytes, std::size_t length) : b_(bytes), n_(length) {}

    bool read(VTPlistNode* out) {
        if (n_ < 8 + 32 || std::memcmp(b_, "bplist0", 7) != 0) return false;
        const std::uint8_t* t = b_ + n_ - 32;
        offsetSize_ = t[6];
        refSize_ = t[7];
        count_ = be(t + 8, 8);
        std::uint64_t top = be(t + 16, 8);
        tableOffset_ = be(t + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (count_ == 0 || top >= count_ || tableOffset_ < 8 || tableOffset_ > n_ - 32)
            return false;
        if (count_ > (n_ - 32 - tableOffset_) / offsetSize_) return false;
        return object(top, out, 0);
    }

  private:
    static std::uint64_t be(const std::uint8_t* p, unsigned width) {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) v = v << 8 | p[i];
        return v;
    }
    // The bytes [at, at + len) of the object area, or null.
    const std::uint8_t* span(std::uint64_t at, std::uint64_t len) const {
        if (at > tableOffset_ || len > tableOffset_ - at) return nullptr;
        return b_ + at;
    }
    bool offsetOf(std::uint64_t ref, std::uint64_t& offset) const {
        if (ref >= count_) return false;
        offset = be(b_ + tableOffset_ + ref * offsetSize_, offsetSize_);
        return offset >= 8 && offset < tableOffset_;
    }
    // The count of a marker's low nibble, or of the integer after it.
    bool length(std::uint64_t& at, unsigned nibble, std::uint64_t& count) const {
        if (nibble != 0xF) {
            count = nibble;
            return true;
        }
        const std::uint8_t* m = span(at, 1);
        if (!m || (*m & 0xF0) != 0x10) return false;
        unsigned width = 1u << (*m & 0x0F);
        if (width > 8) return false;
        const std::uint8_t* p = span(at + 1, width);
        if (!p) return false;
        count = be(p, width);
        at += 1 + width;
        return true;
    }

    bool object(std::uint64_t ref, VTPlistNode* out, int depth) {
        std::uint64_t at;
        if (depth > kMaxDepth || ++nodes_ > kMaxNodes || !offsetOf(ref, at)) return false;
        const std::uint8_t marker = b_[at];
        const unsigned type = marker >> 4, nibble = marker & 0x0F;
        ++at;
        switch (type) {
            case 0x0:
                if (marker == 0x08 || marker == 0x09) {
                    *out = VTPlistNode::boolean(marker == 0x09);
                    return true;
                }
                return false;
            case 0x1: {
                if (nibble > 4) return false;
                unsigned width = 1u << nibble;
                const std::uint8_t* p = span(at, width);
                if (!p) return false;
                if (width == 16) {
                    if (be(p, 8) != 0) return false;  // beyond 64 bits
                    *out = VTPlistNode::unsignedInteger(be(p + 8, 8));
                } else if (width == 8) {
                    *out = VTPlistNode::signedInteger(static_cast<std::int64_t>(be(p, 8)));
                } else {
                    *out = VTPlistNode::signedInteger(static_cast<std::int64_t>(be(p, width)));
                }
                return true;
            }
            case 0x2:
            case 0x3: {
                if ((type == 0x3 && nibble != 3) || (nibble != 2 && nibble != 3)) return false;
                unsigned width = 1u << nibble;
                const std::uint8_t* p = span(at, width);
                if (!p) return false;
                double d;
                if (width == 4) {
                    std::uint32_t bits = static_cast<std::uint32_t>(be(p, 4));
                    float f;
                    std::memcpy(&f, &bits, 4);
                    d = f;
                } else {
                    std::uint64_t bits = be(p, 8);
                    std::memcpy(&d, &bits, 8);
                }
                if (type == 0x3)
                    *out = VTPlistNode::date(platform::Date{d + kReferenceDateOffset});
                else
                    *out = VTPlistNode::real(d);
                return true;
            }
            case 0x4:
            case 0x5:
            case 0x6: {
                std::uint64_t count;
                if (!length(at, nibble, count)) return false;
                std::uint64_t bytes = type == 0x6 ? count * 2 : count;
                if (type == 0x6 && count > (UINT64_MAX >> 1)) return false;
                const std::uint8_t* p = span(at, bytes);
                if (!p) return false;
                if (type == 0x4)
                    *out = VTPlistNode::data(platform::Data(p, p + bytes));
                else if (type == 0x5)
                    *out =
                        VTPlistNode::string(std::string(reinterpret_cast<const char*>(p), bytes));
                else
                    *out = VTPlistNode::string(utf8(p, count));
                return true;
            }
            case 0x8: {
                const std::uint8_t* p = span(at, nibble + 1u);
                if (!p) return false;
                *out = VTPlistNode::uid(be(p, nibble + 1u));
                return true;
            }
            case 0xA:
            case 0xD: {
                std::uint64_t count;
                if (!length(at, nibble, count)) return false;
                std::uint64_t refs = type == 0xD ? count * 2 : count;
                if (count > tableOffset_ || !span(at, refs * refSize_)) return false;
                if (type == 0xA) {
                    VTPlistNode::Array a;
                    a.reserve(static_cast<std::size_t>(count));
                    for (std::uint64_t i = 0; i < count; ++i) {
                        VTPlistNode child;
                        if (!object(be(b_ + at + i * refSize_, refSize_), &child, depth + 1))
                            return false;
                        a.push_back(std::move(child));
                    }
                    *out = VTPlistNode::array(std::move(a));
                    return true;
                }
                VTPlistNode::Dict d;
                d.reserve(static_cast<std::size_t>(count));
                for (std::uint64_t i = 0; i < count; ++i) {
                    VTPlistNode key, value;
                    if (!object(be(b_ + at + i * refSize_, refSize_), &key, depth + 1) ||
                        !key.asString())
                        return false;
                    if (!object(be(b_ + at + (count + i) * refSize_, refSize_), &value, depth + 1))
                        return false;
                    d.emplace_back(*key.asString(), std::move(value));
                }
                *out = VTPlistNode::dict(std::move(d));
                return true;
            }
            default:
                return false;
        }
    }

    // UTF-16BE to UTF-8; unpaired surrogates become U+FFFD.
    static std::string utf8(const std::uint8_t* p, std::uint64_t units) {
        std::string s;
        for (std::uint64_t i = 0; i < units; ++i) {
            std::uint32_t c = static_cast<std::uint32_t>(p[2 * i] << 8 | p[2 * i + 1]);
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
                std::uint32_t low = static_cast<std::uint32_t>(p[2 * i + 2] << 8 | p[2 * i + 3]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                } else {
                    c = 0xFFFD;
                }
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                c = 0xFFFD;
            }
            if (c < 0x80) {
                s += static_cast<char>(c);
            } else if (c < 0x800) {
                s += static_cast<char>(0xC0 | c >> 6);
                s += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                s += static_cast<char>(0xE0 | c >> 12);
                s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
                s += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                s += static_cast<char>(0xF0 | c >> 18);
                s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
                s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
                s += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return s;
    }

    const std::uint8_t* b_;
    std::size_t n_;
    unsigned offsetSize_ = 0, refSize_ = 0;
    std::uint64_t count_ = 0, tableOffset_ = 0;
    std::size_t nodes_ = 0;
};

}  // namespace

bool VTReadBinaryPlist(const std::uint8_t* bytes, std::size_t length, VTPlistNode* out) {
    VTPlistNode node;
    if (!Reader(bytes, length).read(&node)) return false;
    *out = std::move(node);
    return true;
}
