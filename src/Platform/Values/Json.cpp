#include "Platform/Values/Json.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "Platform/Text/Unicode.h"

namespace platform::json {

namespace {

constexpr std::size_t kMaxDepth = 512;

using nlohmann::json;

Error parseError(std::string why) { return Error::readCorrupt(std::move(why)); }

// Builds the Value straight from parser events, so nesting is bounded
// before anything deep is built and numbers keep the kind the text gave them.
class ValueBuilder : public nlohmann::json_sax<json> {
  public:
    std::optional<Value> result;
    std::string failure;

    bool null() override { return emit(Value()); }
    bool boolean(bool b) override { return emit(Value(b)); }
    bool number_integer(number_integer_t i) override {
        return emit(Value(static_cast<long long>(i)));
    }
    bool number_unsigned(number_unsigned_t u) override {
        if (u <= static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
            return emit(Value(static_cast<long long>(u)));
        return emit(Value(static_cast<unsigned long long>(u)));
    }
    bool number_float(number_float_t d, const string_t&) override { return emit(Value(d)); }
    bool string(string_t& s) override { return emit(Value(std::move(s))); }
    bool binary(binary_t&) override {
        failure = "binary values are not JSON";
        return false;
    }
    bool start_object(std::size_t) override { return open(true); }
    bool key(string_t& k) override {
        frames_.back().key = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& ex) override {
        failure = ex.what();
        return false;
    }

  private:
    struct Frame {
        bool isObject;
        Array array;
        Dictionary dictionary;
        std::string key;
    };

    bool open(bool isObject) {
        if (frames_.size() >= kMaxDepth) {
            failure = "JSON nested too deeply";
            return false;
        }
        frames_.push_back(Frame{isObject, {}, {}, {}});
        return true;
    }

    bool close() {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        return emit(frame.isObject ? Value(std::move(frame.dictionary))
                                   : Value(std::move(frame.array)));
    }

    bool emit(Value v) {
        if (frames_.empty()) {
            result = std::move(v);
        } else if (Frame& top = frames_.back(); top.isObject) {
            top.dictionary.insert_or_assign(std::move(top.key), std::move(v));
            top.key.clear();
        } else {
            top.array.push_back(std::move(v));
        }
        return true;
    }

    std::vector<Frame> frames_;
};

// Why `v` has no JSON form, or "" when it has one.
std::string unsafeReason(const Value& v, std::size_t depth) {
    switch (v.type()) {
        case Value::Type::Null:
        case Value::Type::Bool:
        case Value::Type::Integer:
        case Value::Type::Unsigned:
            return {};
        case Value::Type::Real:
            return std::isfinite(v.doubleValue())
                       ? std::string()
                       : "Invalid number value (non-finite) in JSON write";
        case Value::Type::String:
            return unicode::isValidUTF8(*v.asString()) ? std::string()
                                                       : "Invalid string (not UTF-8) in JSON write";
        case Value::Type::Data:
            return "Invalid type in JSON write (data)";
        case Value::Type::Date:
            return "Invalid type in JSON write (date)";
        case Value::Type::Array:
            if (depth >= kMaxDepth) return "JSON nested too deeply";
            for (const Value& item : *v.asArray())
                if (auto why = unsafeReason(item, depth + 1); !why.empty()) return why;
            return {};
        case Value::Type::Dictionary:
            if (depth >= kMaxDepth) return "JSON nested too deeply";
            for (const auto& [key, item] : *v.asDictionary()) {
                if (!unicode::isValidUTF8(key)) return "Invalid key (not UTF-8) in JSON write";
                if (auto why = unsafeReason(item, depth + 1); !why.empty()) return why;
            }
            return {};
    }
    return "Invalid type in JSON write";
}

json toJson(const Value& v) {
    switch (v.type()) {
        case Value::Type::Bool:
            return json(*v.asBool());
        case Value::Type::Integer:
            return json(v.int64Value());
        case Value::Type::Unsigned:
            return json(v.uint64Value());
        case Value::Type::Real:
            return json(v.doubleValue());
        case Value::Type::String:
            return json(*v.asString());
        case Value::Type::Array: {
            json array = json::array();
            for (const Value& item : *v.asArray()) array.push_back(toJson(item));
            return array;
        }
        case Value::Type::Dictionary: {
            json object = json::object();
            for (const auto& [key, item] : *v.asDictionary()) object[key] = toJson(item);
            return object;
        }
        default:
            return json();  // null; data and dates were refused before
    }
}

}  // namespace

std::optional<Value> parse(std::string_view text, Error* error) {
    ValueBuilder builder;
    bool ok = false;
    try {
        ok = json::sax_parse(text.begin(), text.end(), &builder);
    } catch (const std::exception& ex) {
        builder.failure = ex.what();
    }
    if (!ok || !builder.result) {
        setError(error,
                 parseError(builder.failure.empty() ? "Invalid JSON text" : builder.failure));
        return std::nullopt;
    }
    return std::move(builder.result);
}

std::optional<Value> parse(std::span<const std::uint8_t> bytes, Error* error) {
    return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                 error);
}

std::optional<std::string> serialize(const Value& value, WriteStyle style, Error* error) {
    if (auto why = unsafeReason(value, 0); !why.empty()) {
        setError(error, Error(std::string(kCocoaErrorDomain), kPropertyListWriteInvalidError,
                              Dictionary{{std::string(kLocalizedDescriptionKey), Value(why)},
                                         {std::string(kDebugDescriptionErrorKey), Value(why)}}));
        return std::nullopt;
    }
    return toJson(value).dump(style == WriteStyle::Pretty ? 2 : -1);
}

bool isJSONSafe(const Value& value) { return unsafeReason(value, 0).empty(); }

bool isValidJSONObject(const Value& value) {
    return (value.isArray() || value.isDictionary()) && isJSONSafe(value);
}

}  // namespace platform::json
