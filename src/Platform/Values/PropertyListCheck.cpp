#include "Platform/Values/PropertyListCheck.h"

#include <cstring>
#include <vector>

namespace platform::detail {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

bool isPowerOfTwoWidth(unsigned w) { return w == 1 || w == 2 || w == 4 || w == 8; }

class Checker {
  public:
    Checker(const std::uint8_t* bytes, std::size_t size) : d_(bytes), n_(size) {}

    std::string run() {
        if (n_ < kHeaderSize + 1 + kTrailerSize || std::memcmp(d_, "bplist00", kHeaderSize) != 0)
            return "not a binary property list, or cut short";
        const std::uint8_t* trailer = d_ + n_ - kTrailerSize;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        numObjects_ = readBE(trailer + 8, 8);
        const std::uint64_t top = readBE(trailer + 16, 8);
        tableOffset_ = readBE(trailer + 24, 8);
        const std::uint64_t trailerStart = n_ - kTrailerSize;
        if (!isPowerOfTwoWidth(offsetSize_) || !isPowerOfTwoWidth(refSize_))
            return "bad offset or reference width";
        if (numObjects_ == 0 || top >= numObjects_) return "bad object count or top object";
        if (tableOffset_ < kHeaderSize + 1 || tableOffset_ > trailerStart ||
            numObjects_ > (trailerStart - tableOffset_) / offsetSize_)
            return "offset table out of bounds";
        if (refSize_ < 8 && numObjects_ > (std::uint64_t{1} << (8 * refSize_)))
            return "object count exceeds reference width";
        for (std::uint64_t i = 0; i < numObjects_; ++i) {
            std::uint64_t off = readBE(d_ + tableOffset_ + i * offsetSize_, offsetSize_);
            if (off < kHeaderSize || off >= tableOffset_) return "object offset out of bounds";
        }
        memo_.assign(static_cast<std::size_t>(numObjects_), Memo{});
        keyChecked_.assign(static_cast<std::size_t>(numObjects_), 0);
        Memo total;
        if (!visit(top, 0, total)) return reason_;
        return {};
    }

  private:
    // nodes == 0: not yet visited; nodes == kInProgress: on the current path.
    struct Memo {
        std::uint32_t nodes = 0;
        std::uint32_t bytes = 0;
    };
    static constexpr std::uint32_t kInProgress = 0xFFFFFFFFu;

    static std::uint64_t readBE(const std::uint8_t* p, unsigned width) {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
        return v;
    }

    bool fail(const char* why) {
        reason_ = why;
        return false;
    }

    std::uint64_t objectOffset(std::uint64_t index) const {
        return readBE(d_ + tableOffset_ + index * offsetSize_, offsetSize_);
    }

    // Reads the element count of an object whose marker's low nibble is
    // `low`, advancing `pos` past an extended count.
    bool readCount(std::uint64_t& pos, unsigned low, std::uint64_t& count) {
        if (low != 0xF) {
            count = low;
            return true;
        }
        if (pos >= tableOffset_) return fail("count out of bounds");
        std::uint8_t marker = d_[pos];
        if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return fail("bad count");
        unsigned width = 1u << (marker & 0x0F);
        if (tableOffset_ - pos - 1 < width) return fail("count out of bounds");
        count = readBE(d_ + pos + 1, width);
        pos += 1 + width;
        return true;
    }

    bool needBytes(std::uint64_t pos, std::uint64_t length) {
        if (pos > tableOffset_ || length > tableOffset_ - pos)
            return fail("object runs past its area");
        return true;
    }

    bool add(Memo& into, const Memo& part) {
        std::uint64_t nodes = std::uint64_t{into.nodes} + part.nodes;
        std::uint64_t bytes = std::uint64_t{into.bytes} + part.bytes;
        if (nodes > PropertyListLimits::kMaxNodes) return fail("too many values");
        if (bytes > PropertyListLimits::kMaxExpandedBytes) return fail("too much data");
        into.nodes = static_cast<std::uint32_t>(nodes);
        into.bytes = static_cast<std::uint32_t>(bytes);
        return true;
    }

    // Keys must be strings; the decoder also aborts on a key holding a NUL
    // character, so those are refused here.
    bool isUsableKey(std::uint64_t index) {
        std::uint8_t& known = keyChecked_[static_cast<std::size_t>(index)];
        if (known == 0) known = scanKey(index) ? 1 : 2;
        return known == 1;
    }

    bool scanKey(std::uint64_t index) {
        std::uint64_t pos = objectOffset(index);
        const std::uint8_t marker = d_[pos++];
        const unsigned type = marker >> 4;
        if (type != 0x5 && type != 0x6) return false;
        std::uint64_t count = 0;
        if (!readCount(pos, marker & 0x0F, count)) return false;
        const std::uint64_t width = type == 0x6 ? 2 : 1;
        if (count > tableOffset_ || !needBytes(pos, count * width)) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint8_t* unit = d_ + pos + i * width;
            if (unit[0] == 0 && (width == 1 || unit[1] == 0)) return false;
        }
        return true;
    }

    bool visitRefs(std::uint64_t pos, std::uint64_t count, unsigned depth, bool keys,
                   Memo& result) {
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint64_t ref = readBE(d_ + pos + i * refSize_, refSize_);
            if (ref >= numObjects_) return fail("reference out of range");
            if (keys && !isUsableKey(ref)) return fail("dictionary key is not a usable string");
            Memo child;
            if (!visit(ref, depth, child) || !add(result, child)) return false;
        }
        return true;
    }

    bool visit(std::uint64_t index, unsigned depth, Memo& result) {
        Memo& memo = memo_[static_cast<std::size_t>(index)];
        if (memo.nodes == kInProgress) return fail("object refers to itself");
        if (memo.nodes != 0) {
            result = memo;
            return true;
        }
        std::uint64_t pos = objectOffset(index);
        const std::uint8_t marker = d_[pos++];
        const unsigned type = marker >> 4, low = marker & 0x0F;
        Memo self{1, 0};
        std::uint64_t count = 0;
        switch (type) {
            case 0x0:  // only the booleans: null and fill have no Value
                if (low != 0x8 && low != 0x9) return fail("unsupported object");
                break;
            case 0x1:  // integer of 2^low bytes
                if (low > 4 || !needBytes(pos, std::uint64_t{1} << low)) return fail("bad integer");
                break;
            case 0x2:  // real of 4 or 8 bytes
                if ((low != 2 && low != 3) || !needBytes(pos, std::uint64_t{1} << low))
                    return fail("bad real");
                break;
            case 0x3:  // date: an 8-byte real
                if (low != 3 || !needBytes(pos, 8)) return fail("bad date");
                break;
            case 0x4:    // data
            case 0x5:    // ASCII string
            case 0x6: {  // UTF-16 string: count is in code units
                if (!readCount(pos, low, count)) return false;
                std::uint64_t length = count;
                if (type == 0x6) {
                    if (count > tableOffset_) return fail("string runs past its area");
                    length = count * 2;
                }
                if (!needBytes(pos, length)) return false;
                self.bytes =
                    static_cast<std::uint32_t>(length > 0xFFFFFFFFu ? 0xFFFFFFFFu : length);
                if (length > PropertyListLimits::kMaxExpandedBytes) return fail("too much data");
                break;
            }
            case 0x8:  // UID of low + 1 bytes
                if (!isPowerOfTwoWidth(low + 1) || !needBytes(pos, low + 1)) return fail("bad uid");
                break;
            case 0xA:    // array
            case 0xD: {  // dictionary: keys, then values
                if (depth >= PropertyListLimits::kMaxDepth) return fail("nested too deeply");
                if (!readCount(pos, low, count)) return false;
                const std::uint64_t refs = type == 0xD ? 2 : 1;
                if (count > (tableOffset_ - pos) / refSize_ / refs)
                    return fail("object runs past its area");
                memo.nodes = kInProgress;
                if (type == 0xD) {
                    if (!visitRefs(pos, count, depth + 1, true, self) ||
                        !visitRefs(pos + count * refSize_, count, depth + 1, false, self))
                        return false;
                } else if (!visitRefs(pos, count, depth + 1, false, self)) {
                    return false;
                }
                break;
            }
            default:
                return fail("unsupported object");
        }
        memo = self;
        result = self;
        return true;
    }

    const std::uint8_t* d_;
    std::size_t n_;
    unsigned offsetSize_ = 0, refSize_ = 0;
    std::uint64_t numObjects_ = 0, tableOffset_ = 0;
    std::vector<Memo> memo_;
    std::vector<std::uint8_t> keyChecked_;  // 0 not yet, 1 usable key, 2 not usable
    std::string reason_;
};

}  // namespace

std::string checkBinaryPropertyList(const std::uint8_t* bytes, std::size_t size) {
    return Checker(bytes, size).run();
}

std::string checkXMLPropertyList(std::string_view s) {
    // Room for <plist> around the deepest allowed value.
    constexpr std::size_t kMaxOpen = PropertyListLimits::kMaxDepth + 2;
    // The names of the open elements, innermost last; left uninitialised, as
    // only the first `depth` are ever read.
    struct Name {
        const char* text;
        std::size_t size;
    };
    Name open[kMaxOpen];
    std::size_t depth = 0;

    const char* const begin = s.data();
    const char* const end = begin + s.size();
    // Just past the first `terminator` at or after `from`, else the end.
    auto skipPast = [&](const char* from, std::string_view terminator) {
        const std::size_t at = s.find(terminator, static_cast<std::size_t>(from - begin));
        return at == std::string_view::npos ? end : begin + at + terminator.size();
    };
    auto endsName = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>';
    };
    const char* p = begin;
    while (p < end) {
        p = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
        if (!p) break;
        const std::string_view rest(p, static_cast<std::size_t>(end - p));
        if (rest.starts_with("<!--")) {
            p = skipPast(p, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            p = skipPast(p, "]]>");
        } else if (rest.starts_with("<?")) {
            p = skipPast(p, "?>");
        } else if (rest.starts_with("<!")) {
            // Declarations, with an internal subset in brackets.
            const std::size_t left = rest.size();
            const auto* bracket = static_cast<const char*>(std::memchr(p, '[', left));
            const auto* close = static_cast<const char*>(std::memchr(p, '>', left));
            if (bracket && (!close || bracket < close)) p = skipPast(bracket, "]");
            p = skipPast(p, ">");
        } else {
            const bool closing = rest.starts_with("</");
            const char* nameStart = p + (closing ? 2 : 1);
            const char* nameEnd = nameStart;
            while (nameEnd < end && !endsName(*nameEnd)) ++nameEnd;
            if (nameEnd == end) return {};  // cut short: the decoder fails
            // The end of the tag, stepping over quoted attribute values.
            const char* i = nameEnd;
            char quote = 0;
            for (; i < end; ++i) {
                const char c = *i;
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (i == end) return {};
            const Name name{nameStart, static_cast<std::size_t>(nameEnd - nameStart)};
            const bool selfClosing = !closing && i[-1] == '/';
            p = i + 1;
            if (closing) {
                if (depth == 0 || open[depth - 1].size != name.size ||
                    std::memcmp(open[depth - 1].text, name.text, name.size) != 0)
                    return "mismatched closing tag";
                --depth;
            } else if (!selfClosing) {
                if (depth >= kMaxOpen) return "nested too deeply";
                open[depth++] = name;
            }
        }
    }
    return {};
}

}  // namespace platform::detail
