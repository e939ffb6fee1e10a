// The property-list value model shared by the whole project.
//
// A Value is null, a boolean, a signed or unsigned 64-bit integer, a double, a
// UTF-8 string, a byte buffer, a date, an array or a dictionary. Arrays and
// dictionaries are shared copy-on-write, so copying a Value is cheap; a
// Value must not be mutated from two threads at once.
//
// Equality follows property lists: numbers compare by value whatever their
// representation (1 == 1u == 1.0), booleans are not numbers, containers compare
// element by element.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

class Value;

using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;
using Data = std::vector<std::uint8_t>;

/// A point in time, as seconds since 1970-01-01 00:00:00 UTC.
struct Date {
    double secondsSince1970 = 0;
    friend bool operator==(const Date&, const Date&) = default;
    static Date now();
};

class Value {
  public:
    enum class Type { Null, Bool, Integer, Unsigned, Real, String, Data, Date, Array, Dictionary };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned int u) : v_(static_cast<std::uint64_t>(u)) {}
    Value(unsigned long u) : v_(static_cast<std::uint64_t>(u)) {}
    Value(unsigned long long u) : v_(static_cast<std::uint64_t>(u)) {}
    Value(double d) : v_(d) {}
    Value(const char* s);  // a null pointer makes a null Value
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(platform::Data d) : v_(std::move(d)) {}
    Value(platform::Date d) : v_(d) {}
    Value(platform::Array a) : v_(std::make_shared<platform::Array>(std::move(a))) {}
    Value(platform::Dictionary d) : v_(std::make_shared<platform::Dictionary>(std::move(d))) {}

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    /// Integer, Unsigned or Real.
    bool isNumber() const;
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed access: null when the value is of another type.
    const bool* asBool() const { return std::get_if<bool>(&v_); }
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const platform::Data* asData() const { return std::get_if<platform::Data>(&v_); }
    const platform::Date* asDate() const { return std::get_if<platform::Date>(&v_); }
    const platform::Array* asArray() const;
    const platform::Dictionary* asDictionary() const;

    // Numeric conversions in the manner of NSNumber/NSString: numbers convert
    // (doubles truncate, out-of-range values saturate), booleans give 0 or 1,
    // strings are parsed from their leading decimal digits (C locale), anything
    // else gives 0.
    std::int64_t int64Value() const;
    std::uint64_t uint64Value() const;
    double doubleValue() const;
    bool boolValue() const;
    /// The string, or "" for other types.
    const std::string& stringValue() const;

    /// Mutable access. A null Value becomes an empty container first; a Value
    /// of another type is replaced by an empty container.
    platform::Array& mutableArray();
    platform::Dictionary& mutableDictionary();

    /// Dictionary lookup: null when this is not a dictionary or has no such key.
    const Value* get(std::string_view key) const;
    /// Dictionary store (makes this a dictionary when it is null).
    void set(std::string key, Value value);
    /// Removes a dictionary key; false when absent.
    bool erase(std::string_view key);
    /// Element count of an array, dictionary, string or data; 0 otherwise.
    std::size_t size() const;

    /// A readable text for logs and "%@": strings as they are, numbers in
    /// decimal, booleans "1"/"0", null "(null)", containers in the old
    /// property-list text style.
    std::string description() const;

    friend bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

  private:
    using Storage =
        std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string,
                     platform::Data, platform::Date, std::shared_ptr<platform::Array>,
                     std::shared_ptr<platform::Dictionary>>;
    Storage v_;
};

}  // namespace platform
