#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"

#include <plist/plist.h>

#include <cstring>
#include <map>
#include <memory>

namespace {

// Seconds between 1970-01-01 and 2001-01-01, the epoch of property-list dates.
constexpr double kReferenceDateOffset = 978307200.0;
constexpr int kMaxDepth = 512;

void appendBigEndian(platform::Data& out, std::uint64_t value, unsigned bytes) {
    for (unsigned i = bytes; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void appendDouble(platform::Data& out, std::uint8_t marker, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    out.push_back(marker);
    appendBigEndian(out, bits, 8);
}

// An integer object: the smallest of 1, 2, 4 bytes for non-negative values
// below 2^32, 8 bytes for the rest of the signed range, 16 bytes for
// unsigned values of 2^63 and above.
void appendInteger(platform::Data& out, std::uint64_t bits, bool isUnsigned) {
    bool negative = !isUnsigned && static_cast<std::int64_t>(bits) < 0;
    if (isUnsigned && bits > static_cast<std::uint64_t>(INT64_MAX)) {
        out.push_back(0x14);
        appendBigEndian(out, 0, 8);
        appendBigEndian(out, bits, 8);
    } else if (!negative && bits <= 0xFF) {
        out.push_back(0x10);
        appendBigEndian(out, bits, 1);
    } else if (!negative && bits <= 0xFFFF) {
        out.push_back(0x11);
        appendBigEndian(out, bits, 2);
    } else if (!negative && bits <= 0xFFFFFFFFu) {
        out.push_back(0x12);
        appendBigEndian(out, bits, 4);
    } else {
        out.push_back(0x13);
        appendBigEndian(out, bits, 8);
    }
}

void appendMarker(platform::Data& out, std::uint8_t type, std::size_t count) {
    if (count < 15) {
        out.push_back(static_cast<std::uint8_t>(type | count));
    } else {
        out.push_back(static_cast<std::uint8_t>(type | 0x0F));
        appendInteger(out, count, true);
    }
}

// UTF-8 to UTF-16 code units; malformed sequences become U+FFFD.
std::u16string toUTF16(const std::string& s) {
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                len = 1;
            } else {
                std::uint32_t v = c & (0x7F >> len);
                bool ok = true;
                for (std::size_t k = 1; k < len; ++k) {
                    unsigned char cc = static_cast<unsigned char>(s[i + k]);
                    if ((cc & 0xC0) != 0x80) ok = false;
                    v = (v << 6) | (cc & 0x3F);
                }
                static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
                if (ok && v >= kMin[len] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF))
                    cp = v;
                else
                    len = 1;
            }
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

class Writer {
  public:
    platform::Data write(const VTPlistNode& root) {
        add(root);
        std::uint64_t count = objects_.size();
        unsigned refSize = bytesFor(count);
        platform::Data out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<std::uint64_t> offsets;
        offsets.reserve(objects_.size());
        for (const auto& obj : objects_) {
            offsets.push_back(out.size());
            if (obj.isContainer) {
                appendMarker(out, obj.containerType, obj.count);
                for (std::size_t ref : obj.refs) appendBigEndian(out, ref, refSize);
            } else {
                out.insert(out.end(), obj.bytes.begin(), obj.bytes.end());
            }
        }
        std::uint64_t tableOffset = out.size();
        unsigned offsetSize = bytesFor(tableOffset);
        for (std::uint64_t off : offsets) appendBigEndian(out, off, offsetSize);
        appendBigEndian(out, 0, 6);
        out.push_back(static_cast<std::uint8_t>(offsetSize));
        out.push_back(static_cast<std::uint8_t>(refSize));
        appendBigEndian(out, count, 8);
        appendBigEndian(out, 0, 8);
        appendBigEndian(out, tableOffset, 8);
        return out;
    }

  private:
    struct Object {
        bool isContainer = false;
        std::uint8_t containerType = 0;
        std::size_t count = 0;
        std::vector<std::size_t> refs;
        platform::Data bytes;
    };

    static unsigned bytesFor(std::uint64_t v) {
        if (v <= 0xFF) return 1;
        if (v <= 0xFFFF) return 2;
        if (v <= 0xFFFFFFFFu) return 4;
        return 8;
    }

    std::size_t add(const VTPlistNode& node) {
        if (const auto* a = node.asArray()) {
            std::size_t index = objects_.size();
            objects_.emplace_back();
            std::vector<std::size_t> refs;
            refs.reserve(a->size());
            for (const auto& child : *a) refs.push_back(add(child));
            Object& obj = objects_[index];
            obj.isContainer = true;
            obj.containerType = 0xA0;
            obj.count = a->size();
            obj.refs = std::move(refs);
            return index;
        }
        if (const auto* d = node.asDict()) {
            std::size_t index = objects_.size();
            objects_.emplace_back();
            std::vector<std::size_t> refs;
            refs.reserve(d->size() * 2);
            for (const auto& [key, value] : *d) refs.push_back(add(VTPlistNode::string(key)));
            for (const auto& [key, value] : *d) refs.push_back(add(value));
            Object& obj = objects_[index];
            obj.isContainer = true;
            obj.containerType = 0xD0;
            obj.count = d->size();
            obj.refs = std::move(refs);
            return index;
        }
        platform::Data bytes = scalarBytes(node);
        auto it = unique_.find(bytes);
        if (it != unique_.end()) return it->second;
        std::size_t index = objects_.size();
        Object obj;
        obj.bytes = bytes;
        objects_.push_back(std::move(obj));
        unique_.emplace(std::move(bytes), index);
        return index;
    }

    static platform::Data scalarBytes(const VTPlistNode& node) {
        platform::Data out;
        switch (node.kind()) {
            case VTPlistNode::Kind::Bool:
                out.push_back(*node.asBool() ? 0x09 : 0x08);
                break;
            case VTPlistNode::Kind::Integer:
                appendInteger(out, node.asInteger()->bits, node.asInteger()->isUnsigned);
                break;
            case VTPlistNode::Kind::Real:
                appendDouble(out, 0x23, *node.asReal());
                break;
            case VTPlistNode::Kind::Date:
                appendDouble(out, 0x33, node.asDate()->secondsSince1970 - kReferenceDateOffset);
                break;
            case VTPlistNode::Kind::Data:
                appendMarker(out, 0x40, node.asData()->size());
                out.insert(out.end(), node.asData()->begin(), node.asData()->end());
                break;
            case VTPlistNode::Kind::String: {
                const std::string& s = *node.asString();
                bool ascii = true;
                for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
                if (ascii) {
                    appendMarker(out, 0x50, s.size());
                    out.insert(out.end(), s.begin(), s.end());
                } else {
                    std::u16string u = toUTF16(s);
                    appendMarker(out, 0x60, u.size());
                    for (char16_t c : u) appendBigEndian(out, c, 2);
                }
                break;
            }
            case VTPlistNode::Kind::UID: {
                std::uint64_t v = node.asUID()->value;
                unsigned n = bytesFor(v);
                out.push_back(static_cast<std::uint8_t>(0x80 | (n - 1)));
                appendBigEndian(out, v, n);
                break;
            }
            case VTPlistNode::Kind::Array:
            case VTPlistNode::Kind::Dict:
                break;
        }
        return out;
    }

    std::vector<Object> objects_;
    std::map<platform::Data, std::size_t> unique_;
};

bool convert(plist_t node, VTPlistNode* out, int depth) {
    if (!node || depth > kMaxDepth) return false;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            *out = VTPlistNode::boolean(b != 0);
            return true;
        }
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(node, &v);
            *out = VTPlistNode::signedInteger(static_cast<std::int64_t>(v));
            return true;
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            *out = VTPlistNode::real(d);
            return true;
        }
        case PLIST_STRING: {
            // Through the pointer and length: the copying getter asserts on
            // strings with NUL bytes.
            std::uint64_t n = 0;
            const char* text = plist_get_string_ptr(node, &n);
            *out = VTPlistNode::string(text ? std::string(text, n) : std::string());
            return true;
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            platform::Data d(reinterpret_cast<std::uint8_t*>(bytes),
                             reinterpret_cast<std::uint8_t*>(bytes) + (bytes ? length : 0));
            free(bytes);
            *out = VTPlistNode::data(std::move(d));
            return true;
        }
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            *out = VTPlistNode::date(platform::Date{sec + usec / 1e6 + kReferenceDateOffset});
            return true;
        }
        case PLIST_UID: {
            std::uint64_t v = 0;
            plist_get_uid_val(node, &v);
            *out = VTPlistNode::uid(v);
            return true;
        }
        case PLIST_ARRAY: {
            VTPlistNode::Array a;
            std::uint32_t n = plist_array_get_size(node);
            a.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) {
                VTPlistNode child;
                if (!convert(plist_array_get_item(node, i), &child, depth + 1)) return false;
                a.push_back(std::move(child));
            }
            *out = VTPlistNode::array(std::move(a));
            return true;
        }
        case PLIST_DICT: {
            VTPlistNode::Dict d;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            bool ok = true;
            while (ok) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, it, &key, &value);
                if (!key) break;
                VTPlistNode child;
                ok = convert(value, &child, depth + 1);
                if (ok) d.emplace_back(key, std::move(child));
                free(key);
            }
            free(it);
            if (!ok) return false;
            *out = VTPlistNode::dict(std::move(d));
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

const VTPlistNode* VTPlistNode::get(std::string_view key) const {
    if (const auto* d = asDict())
        for (const auto& [k, v] : *d)
            if (k == key) return &v;
    return nullptr;
}

void VTPlistNode::set(std::string key, VTPlistNode value) {
    auto* d = mutableDict();
    if (!d) {
        v_ = Dict{};
        d = mutableDict();
    }
    for (auto& [k, v] : *d) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    d->emplace_back(std::move(key), std::move(value));
}

platform::Data VTWriteBinaryPlist(const VTPlistNode& root) { return Writer().write(root); }

bool VTReadPlist(const std::uint8_t* bytes, std::size_t length, VTPlistNode* out,
                 platform::Error* error) {
    auto corrupt = [&] {
        platform::setError(error, platform::Error(std::string(platform::kCocoaErrorDomain),
                                                  platform::kPropertyListReadCorruptError));
        return false;
    };
    if (!bytes || length < 8 || length > UINT32_MAX) return corrupt();
    if (std::memcmp(bytes, "bplist", 6) == 0) {
        VTPlistNode node;
        if (!VTReadBinaryPlist(bytes, length, &node)) return corrupt();
        *out = std::move(node);
        return true;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes), static_cast<std::uint32_t>(length),
                      &root);
    if (!root) return corrupt();
    std::unique_ptr<void, void (*)(plist_t)> holder(root, plist_free);
    VTPlistNode node;
    if (!convert(root, &node, 0)) return corrupt();
    *out = std::move(node);
    return true;
}

bool VTPlistNodeFromValue(const platform::Value& value, VTPlistNode* out) {
    using T = platform::Value::Type;
    switch (value.type()) {
        case T::Null:
            return false;
        case T::Bool:
            *out = VTPlistNode::boolean(*value.asBool());
            return true;
        case T::Integer:
            *out = VTPlistNode::signedInteger(value.int64Value());
            return true;
        case T::Unsigned:
            *out = VTPlistNode::unsignedInteger(value.uint64Value());
            return true;
        case T::Real:
            *out = VTPlistNode::real(value.doubleValue());
            return true;
        case T::String:
            *out = VTPlistNode::string(*value.asString());
            return true;
        case T::Data:
            *out = VTPlistNode::data(*value.asData());
            return true;
        case T::Date:
            *out = VTPlistNode::date(*value.asDate());
            return true;
        case T::Array: {
            VTPlistNode::Array a;
            for (const auto& element : *value.asArray()) {
                VTPlistNode n;
                if (!VTPlistNodeFromValue(element, &n)) return false;
                a.push_back(std::move(n));
            }
            *out = VTPlistNode::array(std::move(a));
            return true;
        }
        case T::Dictionary: {
            VTPlistNode::Dict d;
            for (const auto& [k, v] : *value.asDictionary()) {
                VTPlistNode n;
                if (!VTPlistNodeFromValue(v, &n)) return false;
                d.emplace_back(k, std::move(n));
            }
            *out = VTPlistNode::dict(std::move(d));
            return true;
        }
    }
    return false;
}

platform::Value VTValueFromPlistNode(const VTPlistNode& node) {
    switch (node.kind()) {
        case VTPlistNode::Kind::Bool:
            return platform::Value(*node.asBool());
        case VTPlistNode::Kind::Integer: {
            const auto& i = *node.asInteger();
            if (i.isUnsigned) return platform::Value(static_cast<unsigned long long>(i.bits));
            return platform::Value(static_cast<long long>(static_cast<std::int64_t>(i.bits)));
        }
        case VTPlistNode::Kind::Real:
            return platform::Value(*node.asReal());
        case VTPlistNode::Kind::String:
            return platform::Value(*node.asString());
        case VTPlistNode::Kind::Data:
            return platform::Value(*node.asData());
        case VTPlistNode::Kind::Date:
            return platform::Value(*node.asDate());
        case VTPlistNode::Kind::UID:
            return platform::Value(static_cast<unsigned long long>(node.asUID()->value));
        case VTPlistNode::Kind::Array: {
            platform::Array a;
            for (const auto& element : *node.asArray()) a.push_back(VTValueFromPlistNode(element));
            return platform::Value(std::move(a));
        }
        case VTPlistNode::Kind::Dict: {
            platform::Dictionary d;
            for (const auto& [k, v] : *node.asDict())
                d.insert_or_assign(k, VTValueFromPlistNode(v));
            return platform::Value(std::move(d));
        }
    }
    return platform::Value();
}
