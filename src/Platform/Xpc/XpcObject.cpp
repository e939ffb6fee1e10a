#include "Platform/Xpc/XpcObject.h"

#include <sys/random.h>

#include <cstdio>

#include "Platform/Text/UuidText.h"

namespace platform {

XpcUuid XpcUuid::generate() {
    XpcUuid u;
    std::size_t got = 0;
    while (got < u.bytes.size()) {
        ssize_t n = getrandom(u.bytes.data() + got, u.bytes.size() - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);
    return u;
}

std::optional<XpcUuid> XpcUuid::fromString(std::string_view text) {
    auto bytes = parseUuidText(text);
    if (!bytes) return std::nullopt;
    XpcUuid u;
    u.bytes = *bytes;
    return u;
}

std::string XpcUuid::toString() const { return formatUuidText(bytes); }

XpcObject XpcObject::makeArray(XpcArray a) {
    return XpcObject(Storage(std::make_shared<XpcArray>(std::move(a))));
}

XpcObject XpcObject::makeDictionary(XpcDictionary d) {
    return XpcObject(Storage(std::make_shared<XpcDictionary>(std::move(d))));
}

XpcObject xpcDictionary(std::initializer_list<std::pair<const std::string, XpcObject>> entries) {
    return XpcObject::makeDictionary(XpcDictionary(entries));
}

const XpcArray* XpcObject::asArray() const {
    auto p = std::get_if<std::shared_ptr<XpcArray>>(&v_);
    return p ? p->get() : nullptr;
}

const XpcDictionary* XpcObject::asDictionary() const {
    auto p = std::get_if<std::shared_ptr<XpcDictionary>>(&v_);
    return p ? p->get() : nullptr;
}

XpcArray& XpcObject::mutableArray() {
    auto p = std::get_if<std::shared_ptr<XpcArray>>(&v_);
    if (!p) {
        v_ = std::make_shared<XpcArray>();
        p = std::get_if<std::shared_ptr<XpcArray>>(&v_);
    } else if (p->use_count() > 1) {
        *p = std::make_shared<XpcArray>(**p);
    }
    return **p;
}

XpcDictionary& XpcObject::mutableDictionary() {
    auto p = std::get_if<std::shared_ptr<XpcDictionary>>(&v_);
    if (!p) {
        v_ = std::make_shared<XpcDictionary>();
        p = std::get_if<std::shared_ptr<XpcDictionary>>(&v_);
    } else if (p->use_count() > 1) {
        *p = std::make_shared<XpcDictionary>(**p);
    }
    return **p;
}

std::size_t XpcObject::size() const {
    if (auto a = asArray()) return a->size();
    if (auto d = asDictionary()) return d->size();
    if (auto s = asString()) return s->size();
    if (auto d = asData()) return d->size();
    return 0;
}

const XpcObject* XpcObject::get(std::string_view key) const {
    auto d = asDictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

const std::string* XpcObject::getString(std::string_view key) const {
    auto v = get(key);
    return v ? v->asString() : nullptr;
}

std::int64_t XpcObject::getInt64(std::string_view key) const {
    auto v = get(key);
    auto p = v ? v->asInt64() : nullptr;
    return p ? *p : 0;
}

std::uint64_t XpcObject::getUint64(std::string_view key) const {
    auto v = get(key);
    auto p = v ? v->asUint64() : nullptr;
    return p ? *p : 0;
}

bool XpcObject::getBool(std::string_view key) const {
    auto v = get(key);
    auto p = v ? v->asBool() : nullptr;
    return p ? *p : false;
}

double XpcObject::getDouble(std::string_view key) const {
    auto v = get(key);
    auto p = v ? v->asDouble() : nullptr;
    return p ? *p : 0.0;
}

const Data* XpcObject::getData(std::string_view key) const {
    auto v = get(key);
    return v ? v->asData() : nullptr;
}

const XpcUuid* XpcObject::getUuid(std::string_view key) const {
    auto v = get(key);
    return v ? v->asUuid() : nullptr;
}

void XpcObject::set(std::string key, XpcObject value) {
    mutableDictionary().insert_or_assign(std::move(key), std::move(value));
}

void XpcObject::append(XpcObject value) { mutableArray().push_back(std::move(value)); }

namespace {

void appendQuoted(std::string& out, const std::string& s) {
    out += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

void describe(const XpcObject& o, std::string& out) {
    switch (o.type()) {
        case XpcObject::Type::Null:
            out += "<null>";
            break;
        case XpcObject::Type::Bool:
            out += *o.asBool() ? "<bool: true>" : "<bool: false>";
            break;
        case XpcObject::Type::Int64:
            out += "<int64: " + std::to_string(*o.asInt64()) + ">";
            break;
        case XpcObject::Type::Uint64:
            out += "<uint64: " + std::to_string(*o.asUint64()) + ">";
            break;
        case XpcObject::Type::Double: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", *o.asDouble());
            out += "<double: ";
            out += buf;
            out += ">";
            break;
        }
        case XpcObject::Type::String:
            out += "<string: ";
            appendQuoted(out, *o.asString());
            out += ">";
            break;
        case XpcObject::Type::Data:
            out += "<data: " + std::to_string(o.asData()->size()) + " bytes>";
            break;
        case XpcObject::Type::Uuid:
            out += "<uuid: " + o.asUuid()->toString() + ">";
            break;
        case XpcObject::Type::Array: {
            out += "<array: [";
            bool first = true;
            for (const auto& e : *o.asArray()) {
                if (!first) out += ", ";
                first = false;
                describe(e, out);
            }
            out += "]>";
            break;
        }
        case XpcObject::Type::Dictionary: {
            out += "<dictionary: {";
            bool first = true;
            for (const auto& [k, v] : *o.asDictionary()) {
                if (!first) out += ", ";
                first = false;
                appendQuoted(out, k);
                out += ": ";
                describe(v, out);
            }
            out += "}>";
            break;
        }
    }
}

}  // namespace

std::string XpcObject::description() const {
    std::string out;
    describe(*this, out);
    return out;
}

Value XpcObject::toValue() const {
    switch (type()) {
        case Type::Null:
            return Value();
        case Type::Bool:
            return Value(*asBool());
        case Type::Int64:
            return Value(static_cast<long long>(*asInt64()));
        case Type::Uint64:
            return Value(static_cast<unsigned long long>(*asUint64()));
        case Type::Double:
            return Value(*asDouble());
        case Type::String:
            return Value(*asString());
        case Type::Data:
            return Value(*asData());
        case Type::Uuid:
            return Value(asUuid()->toString());
        case Type::Array: {
            Array a;
            a.reserve(asArray()->size());
            for (const auto& e : *asArray()) a.push_back(e.toValue());
            return Value(std::move(a));
        }
        case Type::Dictionary: {
            Dictionary d;
            for (const auto& [k, v] : *asDictionary()) d.emplace(k, v.toValue());
            return Value(std::move(d));
        }
    }
    return Value();
}

XpcObject XpcObject::fromValue(const Value& value) {
    switch (value.type()) {
        case Value::Type::Null:
            return XpcObject();
        case Value::Type::Bool:
            return makeBool(*value.asBool());
        case Value::Type::Integer:
            return makeInt64(value.int64Value());
        case Value::Type::Unsigned:
            return makeUint64(value.uint64Value());
        case Value::Type::Real:
            return makeDouble(value.doubleValue());
        case Value::Type::String:
            return makeString(*value.asString());
        case Value::Type::Data:
            return makeData(*value.asData());
        case Value::Type::Date:
            return makeDouble(value.asDate()->secondsSince1970);
        case Value::Type::Array: {
            XpcArray a;
            a.reserve(value.asArray()->size());
            for (const auto& e : *value.asArray()) a.push_back(fromValue(e));
            return makeArray(std::move(a));
        }
        case Value::Type::Dictionary: {
            XpcDictionary d;
            for (const auto& [k, v] : *value.asDictionary()) d.emplace(k, fromValue(v));
            return makeDictionary(std::move(d));
        }
    }
    return XpcObject();
}

bool operator==(const XpcObject& a, const XpcObject& b) {
    if (a.type() != b.type()) return false;
    if (auto x = a.asArray()) return *x == *b.asArray();
    if (auto x = a.asDictionary()) return *x == *b.asDictionary();
    if (auto x = a.asDouble()) {
        // A NaN equals a NaN here, so that a value compares equal to its own round trip.
        double y = *b.asDouble();
        return *x == y || (*x != *x && y != y);
    }
    return a.v_ == b.v_;
}

}  // namespace platform
