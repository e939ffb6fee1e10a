#include "Platform/Values/Value.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace platform {

Date Date::now() {
    using namespace std::chrono;
    return Date{duration<double>(system_clock::now().time_since_epoch()).count()};
}

Value::Value(const char* s) {
    if (s) v_ = std::string(s);
}

bool Value::isNumber() const {
    auto t = type();
    return t == Type::Integer || t == Type::Unsigned || t == Type::Real;
}

const Array* Value::asArray() const {
    auto p = std::get_if<std::shared_ptr<Array>>(&v_);
    return p ? p->get() : nullptr;
}

const Dictionary* Value::asDictionary() const {
    auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
    return p ? p->get() : nullptr;
}

namespace {

// Leading-digits parse in the manner of -[NSString longLongValue]: optional
// white space, an optional sign, then decimal digits; saturates on overflow.
std::int64_t parseLeadingInteger(const std::string& s, bool* negativeOut = nullptr) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::uint64_t acc = 0;
    bool overflow = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        unsigned digit = static_cast<unsigned>(s[i] - '0');
        if (acc > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            overflow = true;
            break;
        }
        acc = acc * 10 + digit;
    }
    if (negativeOut) *negativeOut = negative;
    constexpr auto maxPos = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (overflow || acc > maxPos + 1) return std::numeric_limits<std::int64_t>::min();
        return acc == maxPos + 1 ? std::numeric_limits<std::int64_t>::min()
                                 : -static_cast<std::int64_t>(acc);
    }
    if (overflow || acc > maxPos) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(acc);
}

double parseLeadingDouble(const std::string& s) {
    // Locale-independent, in the manner of -[NSString doubleValue].
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    if (i < s.size() && s[i] == '+') ++i;
    double d = 0;
    auto res = std::from_chars(s.data() + i, s.data() + s.size(), d, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        return (i < s.size() && s[i] == '-') ? -HUGE_VAL : HUGE_VAL;
    }
    return res.ec == std::errc() ? d : 0.0;
}

template <typename T>
T saturatingFromDouble(double d) {
    if (std::isnan(d)) return 0;
    if (d <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (d >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(d);
}

}  // namespace

std::int64_t Value::int64Value() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Type::Integer:
            return std::get<std::int64_t>(v_);
        case Type::Unsigned: {
            auto u = std::get<std::uint64_t>(v_);
            return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                       ? std::numeric_limits<std::int64_t>::max()
                       : static_cast<std::int64_t>(u);
        }
        case Type::Real:
            return saturatingFromDouble<std::int64_t>(std::get<double>(v_));
        case Type::String:
            return parseLeadingInteger(std::get<std::string>(v_));
        default:
            return 0;
    }
}

std::uint64_t Value::uint64Value() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Type::Integer: {
            auto i = std::get<std::int64_t>(v_);
            return i < 0 ? 0 : static_cast<std::uint64_t>(i);
        }
        case Type::Unsigned:
            return std::get<std::uint64_t>(v_);
        case Type::Real:
            return saturatingFromDouble<std::uint64_t>(std::get<double>(v_));
        case Type::String: {
            auto i = parseLeadingInteger(std::get<std::string>(v_));
            return i < 0 ? 0 : static_cast<std::uint64_t>(i);
        }
        default:
            return 0;
    }
}

double Value::doubleValue() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1.0 : 0.0;
        case Type::Integer:
            return static_cast<double>(std::get<std::int64_t>(v_));
        case Type::Unsigned:
            return static_cast<double>(std::get<std::uint64_t>(v_));
        case Type::Real:
            return std::get<double>(v_);
        case Type::String:
            return parseLeadingDouble(std::get<std::string>(v_));
        default:
            return 0;
    }
}

bool Value::boolValue() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_);
        case Type::Integer:
            return std::get<std::int64_t>(v_) != 0;
        case Type::Unsigned:
            return std::get<std::uint64_t>(v_) != 0;
        case Type::Real:
            return std::get<double>(v_) != 0;
        case Type::String: {
            // -[NSString boolValue]: "Y", "y", "T", "t" or a non-zero digit first.
            const auto& s = std::get<std::string>(v_);
            std::size_t i = 0;
            while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
            while (i < s.size() && s[i] == '0') ++i;
            if (i >= s.size()) return false;
            char c = s[i];
            return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
        }
        default:
            return false;
    }
}

const std::string& Value::stringValue() const {
    static const std::string empty;
    auto s = asString();
    return s ? *s : empty;
}

Array& Value::mutableArray() {
    auto p = std::get_if<std::shared_ptr<Array>>(&v_);
    if (!p) {
        v_ = std::make_shared<Array>();
        p = std::get_if<std::shared_ptr<Array>>(&v_);
    } else if (p->use_count() > 1) {
        *p = std::make_shared<Array>(**p);
    }
    return **p;
}

Dictionary& Value::mutableDictionary() {
    auto p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
    if (!p) {
        v_ = std::make_shared<Dictionary>();
        p = std::get_if<std::shared_ptr<Dictionary>>(&v_);
    } else if (p->use_count() > 1) {
        *p = std::make_shared<Dictionary>(**p);
    }
    return **p;
}

const Value* Value::get(std::string_view key) const {
    auto d = asDictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

void Value::set(std::string key, Value value) {
    mutableDictionary().insert_or_assign(std::move(key), std::move(value));
}

bool Value::erase(std::string_view key) {
    if (!asDictionary()) return false;
    auto& d = mutableDictionary();
    auto it = d.find(key);
    if (it == d.end()) return false;
    d.erase(it);
    return true;
}

std::size_t Value::size() const {
    switch (type()) {
        case Type::String:
            return std::get<std::string>(v_).size();
        case Type::Data:
            return std::get<platform::Data>(v_).size();
        case Type::Array:
            return asArray()->size();
        case Type::Dictionary:
            return asDictionary()->size();
        default:
            return 0;
    }
}

namespace {

bool numbersEqual(const Value& a, const Value& b) {
    using T = Value::Type;
    auto ta = a.type(), tb = b.type();
    if (ta == T::Real || tb == T::Real) {
        // Compare exactly: an integer equals a double only when the double
        // holds that very integer.
        if (ta == T::Real && tb == T::Real) return a.doubleValue() == b.doubleValue();
        const Value& real = ta == T::Real ? a : b;
        const Value& integer = ta == T::Real ? b : a;
        double d = real.doubleValue();
        if (std::isnan(d) || std::trunc(d) != d) return false;
        if (integer.type() == T::Integer) {
            if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
            return static_cast<std::int64_t>(d) == integer.int64Value();
        }
        if (d < 0 || d >= 18446744073709551616.0) return false;
        return static_cast<std::uint64_t>(d) == integer.uint64Value();
    }
    if (ta == tb) {
        return ta == T::Integer ? a.int64Value() == b.int64Value()
                                : a.uint64Value() == b.uint64Value();
    }
    const Value& signedOne = ta == T::Integer ? a : b;
    const Value& unsignedOne = ta == T::Integer ? b : a;
    std::int64_t s = signedOne.int64Value();
    return s >= 0 && static_cast<std::uint64_t>(s) == unsignedOne.uint64Value();
}

}  // namespace

bool operator==(const Value& a, const Value& b) {
    if (a.isNumber() && b.isNumber()) return numbersEqual(a, b);
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case Value::Type::Null:
            return true;
        case Value::Type::Bool:
            return *a.asBool() == *b.asBool();
        case Value::Type::String:
            return *a.asString() == *b.asString();
        case Value::Type::Data:
            return *a.asData() == *b.asData();
        case Value::Type::Date:
            return *a.asDate() == *b.asDate();
        case Value::Type::Array:
            return a.asArray() == b.asArray() || *a.asArray() == *b.asArray();
        case Value::Type::Dictionary:
            return a.asDictionary() == b.asDictionary() || *a.asDictionary() == *b.asDictionary();
        default:
            return false;
    }
}

namespace {

void describe(const Value& v, std::string& out, int depth);

void appendQuotedIfNeeded(const std::string& s, std::string& out) {
    bool plain = !s.empty();
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '_' || c == '.' || c == '/' || c == '-' || c == '$' ||
              c == ':')) {
            plain = false;
            break;
        }
    }
    if (plain) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    out += '"';
}

void indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth) * 4, ' '); }

void describe(const Value& v, std::string& out, int depth) {
    switch (v.type()) {
        case Value::Type::Array: {
            out += "(\n";
            const auto& a = *v.asArray();
            for (std::size_t i = 0; i < a.size(); ++i) {
                indent(out, depth + 1);
                if (a[i].isString())
                    appendQuotedIfNeeded(*a[i].asString(), out);
                else
                    describe(a[i], out, depth + 1);
                out += i + 1 < a.size() ? ",\n" : "\n";
            }
            indent(out, depth);
            out += ")";
            break;
        }
        case Value::Type::Dictionary: {
            out += "{\n";
            for (const auto& [key, value] : *v.asDictionary()) {
                indent(out, depth + 1);
                appendQuotedIfNeeded(key, out);
                out += " = ";
                if (value.isString())
                    appendQuotedIfNeeded(*value.asString(), out);
                else
                    describe(value, out, depth + 1);
                out += ";\n";
            }
            indent(out, depth);
            out += "}";
            break;
        }
        default:
            out += v.description();
            break;
    }
}

// Shortest text that reads back to the same double, independent of locale.
std::string shortestText(double value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

}  // namespace

std::string Value::description() const {
    switch (type()) {
        case Type::Null:
            return "(null)";
        case Type::Bool:
            return std::get<bool>(v_) ? "1" : "0";
        case Type::Integer:
            return std::to_string(std::get<std::int64_t>(v_));
        case Type::Unsigned:
            return std::to_string(std::get<std::uint64_t>(v_));
        case Type::Real:
            return shortestText(std::get<double>(v_));
        case Type::String:
            return std::get<std::string>(v_);
        case Type::Data: {
            static const char hex[] = "0123456789abcdef";
            std::string s = "{length = " + std::to_string(size()) + ", bytes = 0x";
            for (auto b : std::get<platform::Data>(v_)) {
                s += hex[b >> 4];
                s += hex[b & 15];
            }
            return s + "}";
        }
        case Type::Date: {
            // A date read from a file may lie beyond any calendar year, or be
            // no number at all: such a one is described by its seconds.
            const double seconds = std::get<platform::Date>(v_).secondsSince1970;
            if (!(std::fabs(seconds) < 1e16)) return shortestText(seconds);
            std::time_t t = static_cast<std::time_t>(std::floor(seconds));
            std::tm tm{};
            if (!gmtime_r(&t, &tm)) return shortestText(seconds);
            char buf[64];
            std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
            return buf;
        }
        case Type::Array:
        case Type::Dictionary: {
            std::string out;
            describe(*this, out, 0);
            return out;
        }
    }
    return {};
}

}  // namespace platform
