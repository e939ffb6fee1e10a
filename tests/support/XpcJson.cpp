#include "support/XpcJson.h"

using namespace platform;
using nlohmann::json;

namespace testsupport {

namespace {

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

}  // namespace

bool xpcFromJson(const json& j, XpcObject& out, std::string* error) {
    switch (j.type()) {
        case json::value_t::null:
            out = XpcObject();
            return true;
        case json::value_t::boolean:
            out = XpcObject::makeBool(j.get<bool>());
            return true;
        case json::value_t::number_integer:
            out = XpcObject::makeInt64(j.get<std::int64_t>());
            return true;
        case json::value_t::number_unsigned:
            // JSON has no signedness: a plain integer is an int64 unless tagged.
            if (j.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
                return fail(error, "integer too large for int64; tag it with $uint64");
            out = XpcObject::makeInt64(static_cast<std::int64_t>(j.get<std::uint64_t>()));
            return true;
        case json::value_t::number_float:
            out = XpcObject::makeDouble(j.get<double>());
            return true;
        case json::value_t::string:
            out = XpcObject::makeString(j.get<std::string>());
            return true;
        case json::value_t::array: {
            XpcArray a;
            for (const auto& e : j) {
                XpcObject v;
                if (!xpcFromJson(e, v, error)) return false;
                a.push_back(std::move(v));
            }
            out = XpcObject::makeArray(std::move(a));
            return true;
        }
        case json::value_t::object: {
            if (j.size() == 1 && j.begin().key().starts_with("$")) {
                const auto& key = j.begin().key();
                const auto& v = j.begin().value();
                if (key == "$uint64" && v.is_number_integer() &&
                    (v.is_number_unsigned() || v.get<std::int64_t>() >= 0)) {
                    out = XpcObject::makeUint64(v.get<std::uint64_t>());
                    return true;
                }
                if (key == "$uuid" && v.is_string()) {
                    auto u = XpcUuid::fromString(v.get<std::string>());
                    if (!u) return fail(error, "bad $uuid");
                    out = XpcObject::makeUuid(*u);
                    return true;
                }
                if (key == "$data" && v.is_string()) {
                    const auto& hex = v.get_ref<const std::string&>();
                    if (hex.size() % 2) return fail(error, "bad $data");
                    Data d;
                    for (std::size_t i = 0; i < hex.size(); i += 2) {
                        try {
                            d.push_back(static_cast<std::uint8_t>(
                                std::stoul(hex.substr(i, 2), nullptr, 16)));
                        } catch (...) {
                            return fail(error, "bad $data");
                        }
                    }
                    out = XpcObject::makeData(std::move(d));
                    return true;
                }
                return fail(error, "unknown tag " + key);
            }
            XpcDictionary d;
            for (auto it = j.begin(); it != j.end(); ++it) {
                XpcObject v;
                if (!xpcFromJson(it.value(), v, error)) return false;
                d.emplace(it.key(), std::move(v));
            }
            out = XpcObject::makeDictionary(std::move(d));
            return true;
        }
        default:
            return fail(error, "unsupported JSON value");
    }
}

json xpcToJson(const XpcObject& v) {
    switch (v.type()) {
        case XpcObject::Type::Null:
            return nullptr;
        case XpcObject::Type::Bool:
            return *v.asBool();
        case XpcObject::Type::Int64:
            return *v.asInt64();
        case XpcObject::Type::Uint64:
            return json{{"$uint64", *v.asUint64()}};
        case XpcObject::Type::Double:
            return *v.asDouble();
        case XpcObject::Type::String:
            return *v.asString();
        case XpcObject::Type::Data: {
            static const char digits[] = "0123456789abcdef";
            std::string hex;
            for (auto b : *v.asData()) {
                hex += digits[b >> 4];
                hex += digits[b & 15];
            }
            return json{{"$data", hex}};
        }
        case XpcObject::Type::Uuid:
            return json{{"$uuid", v.asUuid()->toString()}};
        case XpcObject::Type::Array: {
            json a = json::array();
            for (const auto& e : *v.asArray()) a.push_back(xpcToJson(e));
            return a;
        }
        case XpcObject::Type::Dictionary: {
            json o = json::object();
            for (const auto& [k, e] : *v.asDictionary()) o[k] = xpcToJson(e);
            return o;
        }
    }
    return nullptr;
}

bool xpcFromJsonText(const std::string& text, XpcObject& out, std::string* error) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) return fail(error, "not JSON: " + text);
    return xpcFromJson(j, out, error);
}

bool xpcDictionaryContains(const XpcObject& actual, const XpcObject& expected) {
    const auto* want = expected.asDictionary();
    if (!want || !actual.isDictionary()) return false;
    for (const auto& [key, value] : *want) {
        const XpcObject* got = actual.get(key);
        if (!got || *got != value) return false;
    }
    return true;
}

}  // namespace testsupport
