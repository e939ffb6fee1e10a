#include "Platform/Values/PropertyList.h"

#include <locale.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "Platform/Text/Unicode.h"
#include "Platform/Values/DataFile.h"
#include "Platform/Values/PropertyListCheck.h"

namespace platform {

namespace {

using detail::PropertyListLimits;

// Seconds from 1970-01-01 to 2001-01-01, the file format's epoch.
constexpr double kEpochDifference = 978307200.0;
// Beyond this the XML writer's calendar conversion overflows.
constexpr double kMaxDateMagnitude = 1e15;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// libplist formats and parses reals with the C library, which follows the
// thread's locale: with a decimal comma, "1.5" would be written "1,5". The
// guard pins the calling thread to the C locale for the duration.
class CLocaleScope {
  public:
    CLocaleScope() {
        static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        previous_ = cLocale ? uselocale(cLocale) : static_cast<locale_t>(nullptr);
    }
    ~CLocaleScope() {
        if (previous_) uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

  private:
    locale_t previous_;
};

Error readError(std::string why) { return Error::readCorrupt(std::move(why)); }

Error writeError(std::string why) { return Error::writeInvalid(std::move(why)); }

void putBE(std::uint8_t* p, std::uint64_t v, unsigned width) {
    for (unsigned i = 0; i < width; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * (width - 1 - i)));
}

// ---- Reading --------------------------------------------------------------

// libplist hands dates out only as 32-bit seconds and microseconds, which
// saturates after 2069 and loses the sign between -1 and 0 seconds. Its
// binary writer, though, emits the stored double unchanged: encode a copy of
// the node and read the eight bytes back.
std::optional<double> exactDateSince2001(plist_t node) {
    PlistPtr copy(plist_copy(node));
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(copy.get(), &bin, &length);
    std::optional<double> result;
    if (bin && length >= 17 && static_cast<std::uint8_t>(bin[8]) == 0x33) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<std::uint8_t>(bin[9 + i]);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        result = d;
    }
    if (bin) plist_to_bin_free(bin);
    return result;
}

// libplist keeps one 64-bit integer type and marks values that were written
// as unsigned 128-bit integers; the mark is visible only through node
// comparison, which a fresh (signed) node of the same bits fails.
bool isMarkedUnsigned(plist_t node, std::uint64_t bits) {
    PlistPtr signedTwin(plist_new_uint(bits));
    return !plist_compare_node_value(node, signedTwin.get());
}

class Reader {
  public:
    std::string reason;

    bool convert(plist_t node, unsigned depth, Value& out) {
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                std::uint8_t b = 0;
                plist_get_bool_val(node, &b);
                out = Value(b != 0);
                return true;
            }
            case PLIST_UINT: {
                std::uint64_t bits = 0;
                plist_get_uint_val(node, &bits);
                if (bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
                    isMarkedUnsigned(node, bits))
                    out = Value(static_cast<unsigned long long>(bits));
                else
                    out = Value(static_cast<long long>(bits));
                return true;
            }
            case PLIST_REAL: {
                double d = 0;
                plist_get_real_val(node, &d);
                out = Value(d);
                return true;
            }
            case PLIST_STRING: {
                std::uint64_t length = 0;
                const char* s = plist_get_string_ptr(node, &length);
                out = Value(std::string(s ? s : "", s ? static_cast<std::size_t>(length) : 0));
                return true;
            }
            case PLIST_DATA: {
                std::uint64_t length = 0;
                const char* p = plist_get_data_ptr(node, &length);
                auto bytes = reinterpret_cast<const std::uint8_t*>(p);
                out = Value(p ? Data(bytes, bytes + length) : Data{});
                return true;
            }
            case PLIST_DATE: {
                auto since2001 = exactDateSince2001(node);
                if (!since2001) return fail("unreadable date");
                out = Value(Date{static_cast<double>(static_cast<long double>(*since2001) +
                                                     static_cast<long double>(kEpochDifference))});
                return true;
            }
            case PLIST_UID: {
                std::uint64_t uid = 0;
                plist_get_uid_val(node, &uid);
                Value number =
                    uid > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                        ? Value(static_cast<unsigned long long>(uid))
                        : Value(static_cast<long long>(uid));
                out = Value(Dictionary{{"CF$UID", std::move(number)}});
                return true;
            }
            case PLIST_ARRAY:
                return convertArray(node, depth, out);
            case PLIST_DICT:
                return convertDictionary(node, depth, out);
            default:
                return fail("unsupported value type");
        }
    }

  private:
    bool fail(const char* why) {
        reason = why;
        return false;
    }

    bool convertArray(plist_t node, unsigned depth, Value& out) {
        if (depth >= PropertyListLimits::kMaxDepth) return fail("nested too deeply");
        Array array;
        array.reserve(plist_array_get_size(node));
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        bool ok = true;
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, iter, &item);
            if (!item) break;
            Value v;
            if (!(ok = convert(item, depth + 1, v))) break;
            array.push_back(std::move(v));
        }
        std::free(iter);
        if (ok) out = Value(std::move(array));
        return ok;
    }

    bool convertDictionary(plist_t node, unsigned depth, Value& out) {
        if (depth >= PropertyListLimits::kMaxDepth) return fail("nested too deeply");
        Dictionary dict;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        bool ok = true;
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            Value v;
            ok = convert(item, depth + 1, v);
            if (ok) dict.insert_or_assign(std::string(key ? key : ""), std::move(v));
            std::free(key);
            if (!ok) break;
        }
        std::free(iter);
        if (ok) out = Value(std::move(dict));
        return ok;
    }
};

// ---- Writing --------------------------------------------------------------

// A node made by decoding a minimal one-object binary list: the only way to
// give libplist an exact date or an unsigned integer above INT64_MAX.
plist_t nodeFromSingleObject(const std::uint8_t* object, std::size_t size) {
    std::uint8_t buf[8 + 17 + 1 + 32] = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::memcpy(buf + 8, object, size);
    std::size_t table = 8 + size;
    buf[table] = 8;  // offset of object 0
    std::uint8_t* trailer = buf + table + 1;
    std::memset(trailer, 0, 32);
    trailer[6] = 1;  // offset width
    trailer[7] = 1;  // reference width
    putBE(trailer + 8, 1, 8);
    putBE(trailer + 24, table, 8);
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(buf), static_cast<std::uint32_t>(table + 33),
                   &node);
    return node;
}

plist_t newDate(double since2001) {
    std::uint8_t object[9] = {0x33};
    std::uint64_t bits;
    std::memcpy(&bits, &since2001, sizeof bits);
    putBE(object + 1, bits, 8);
    return nodeFromSingleObject(object, sizeof object);
}

plist_t newUnsigned(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return plist_new_uint(u);
    std::uint8_t object[17] = {0x14};  // 16-byte integer, high half zero
    putBE(object + 9, u, 8);
    return nodeFromSingleObject(object, sizeof object);
}

class Writer {
  public:
    explicit Writer(bool wholeSecondDates) : wholeSecondDates_(wholeSecondDates) {}

    std::string reason;

    PlistPtr convert(const Value& v, unsigned depth) {
        switch (v.type()) {
            case Value::Type::Null:
                return fail("property lists cannot hold null values");
            case Value::Type::Bool:
                return PlistPtr(plist_new_bool(*v.asBool() ? 1 : 0));
            case Value::Type::Integer:
                return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(v.int64Value())));
            case Value::Type::Unsigned:
                return checked(newUnsigned(v.uint64Value()));
            case Value::Type::Real:
                return PlistPtr(plist_new_real(v.doubleValue()));
            case Value::Type::String:
                if (!unicode::isValidUTF8(*v.asString(), false))
                    return fail("string is not valid UTF-8 or holds NUL");
                return PlistPtr(plist_new_string(v.asString()->c_str()));
            case Value::Type::Data: {
                static const char empty = 0;
                const Data& d = *v.asData();
                return PlistPtr(plist_new_data(
                    d.empty() ? &empty : reinterpret_cast<const char*>(d.data()), d.size()));
            }
            case Value::Type::Date: {
                double since2001 =
                    static_cast<double>(static_cast<long double>(v.asDate()->secondsSince1970) -
                                        static_cast<long double>(kEpochDifference));
                if (!std::isfinite(since2001) || std::fabs(since2001) > kMaxDateMagnitude)
                    return fail("date out of range");
                // XML keeps whole seconds; the encoder would round toward zero,
                // moving dates before 2001 a second later.
                if (wholeSecondDates_) since2001 = std::floor(since2001);
                return checked(newDate(since2001));
            }
            case Value::Type::Array: {
                if (depth >= PropertyListLimits::kMaxDepth) return fail("nested too deeply");
                PlistPtr array(plist_new_array());
                for (const Value& item : *v.asArray()) {
                    PlistPtr child = convert(item, depth + 1);
                    if (!child) return nullptr;
                    plist_array_append_item(array.get(), child.release());
                }
                return array;
            }
            case Value::Type::Dictionary: {
                if (depth >= PropertyListLimits::kMaxDepth) return fail("nested too deeply");
                PlistPtr dict(plist_new_dict());
                for (const auto& [key, item] : *v.asDictionary()) {
                    if (!unicode::isValidUTF8(key, false))
                        return fail("key is not valid UTF-8 or holds NUL");
                    PlistPtr child = convert(item, depth + 1);
                    if (!child) return nullptr;
                    plist_dict_set_item(dict.get(), key.c_str(), child.release());
                }
                return dict;
            }
        }
        return fail("unsupported value type");
    }

  private:
    PlistPtr fail(const char* why) {
        reason = why;
        return nullptr;
    }
    bool wholeSecondDates_;

    PlistPtr checked(plist_t node) {
        return node ? PlistPtr(node) : fail("encoder refused a value");
    }
};

}  // namespace

std::optional<Value> PropertyList::fromData(std::span<const std::uint8_t> bytes,
                                            PropertyListFormat* format, Error* error) {
    if (bytes.empty()) {
        setError(error, readError("Cannot parse a NULL or zero-length data"));
        return std::nullopt;
    }
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        setError(error, readError("Property list too large"));
        return std::nullopt;
    }
    const bool binary = bytes.size() >= 6 && std::memcmp(bytes.data(), "bplist", 6) == 0;
    PlistPtr root;
    if (binary) {
        std::string why = detail::checkBinaryPropertyList(bytes.data(), bytes.size());
        if (!why.empty()) {
            setError(error, readError("Malformed binary property list: " + why));
            return std::nullopt;
        }
        plist_t node = nullptr;
        plist_from_bin(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::uint32_t>(bytes.size()), &node);
        root.reset(node);
    } else {
        std::span<const std::uint8_t> text = bytes;
        if (text.size() >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF)
            text = text.subspan(3);
        std::string why = detail::checkXMLPropertyList(
            std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
        if (!why.empty()) {
            setError(error, readError("Malformed XML property list: " + why));
            return std::nullopt;
        }
        plist_t node = nullptr;
        CLocaleScope cLocale;
        plist_from_xml(reinterpret_cast<const char*>(text.data()),
                       static_cast<std::uint32_t>(text.size()), &node);
        root.reset(node);
    }
    if (!root) {
        setError(error, readError(binary ? "Malformed binary property list"
                                         : "Malformed XML property list, or not a property list"));
        return std::nullopt;
    }
    Reader reader;
    Value value;
    if (!reader.convert(root.get(), 0, value)) {
        setError(error, readError("Unreadable property list: " + reader.reason));
        return std::nullopt;
    }
    if (format) *format = binary ? PropertyListFormat::Binary : PropertyListFormat::XML;
    return value;
}

std::optional<Value> PropertyList::fromData(std::string_view bytes, PropertyListFormat* format,
                                            Error* error) {
    return fromData(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                    format, error);
}

std::optional<Value> PropertyList::fromFile(const std::string& path, PropertyListFormat* format,
                                            Error* error) {
    auto bytes = readDataFromFile(path, error);
    if (!bytes) return std::nullopt;
    Error parseError;
    auto value = fromData(*bytes, format, &parseError);
    if (!value) {
        parseError.setUserInfoValue(std::string(kFilePathErrorKey), Value(path));
        setError(error, std::move(parseError));
    }
    return value;
}

std::optional<Dictionary> PropertyList::dictionaryWithContentsOfFile(const std::string& path) {
    auto value = fromFile(path, nullptr, nullptr);
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->asDictionary();
}

std::optional<Data> PropertyList::toData(const Value& value, PropertyListFormat format,
                                         Error* error) {
    Writer writer(format == PropertyListFormat::XML);
    PlistPtr root = writer.convert(value, 0);
    if (!root) {
        setError(error, writeError("Property list invalid for format: " + writer.reason));
        return std::nullopt;
    }
    char* out = nullptr;
    std::uint32_t length = 0;
    if (format == PropertyListFormat::Binary) {
        plist_to_bin(root.get(), &out, &length);
    } else {
        CLocaleScope cLocale;
        plist_to_xml(root.get(), &out, &length);
    }
    if (!out) {
        setError(error, writeError("Property list could not be encoded"));
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(out);
    Data data(p, p + length);
    if (format == PropertyListFormat::Binary)
        plist_to_bin_free(out);
    else
        plist_to_xml_free(out);
    return data;
}

bool PropertyList::toFile(const Value& value, const std::string& path, PropertyListFormat format,
                          bool atomically, Error* error) {
    auto data = toData(value, format, error);
    return data && writeDataToFile(*data, path, atomically, error);
}

bool PropertyList::isValid(const Value& value) {
    return Writer(false).convert(value, 0) != nullptr;
}

}  // namespace platform
