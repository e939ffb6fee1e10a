// Typed message values exchanged with helper programs.
//
// An XpcObject is null, a boolean, a signed or an unsigned 64-bit integer, a
// double, a UTF-8 string, a byte buffer, a UUID, an array or a dictionary.
// Types are kept exact: an int64 5, a uint64 5 and the string "5" are three
// different values, and the peers of this project tell them apart (request
// types travel as decimal text, package priorities as int64). Equality is
// therefore exact too: values compare equal only when their types match.
//
// Arrays and dictionaries are shared copy-on-write, so copying an XpcObject is
// cheap and a message can be handed to another thread by value; one object
// must not be mutated from two threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Platform/Values/Value.h"

namespace platform {

/// A 16-byte UUID.
struct XpcUuid {
    std::array<std::uint8_t, 16> bytes{};

    /// A new random (version 4) UUID.
    static XpcUuid generate();
    /// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (either case); nullopt otherwise.
    static std::optional<XpcUuid> fromString(std::string_view text);
    /// The canonical upper-case text form.
    std::string toString() const;

    friend bool operator==(const XpcUuid&, const XpcUuid&) = default;
};

class XpcObject;
using XpcArray = std::vector<XpcObject>;
using XpcDictionary = std::map<std::string, XpcObject, std::less<>>;

class XpcObject {
  public:
    enum class Type { Null, Bool, Int64, Uint64, Double, String, Data, Uuid, Array, Dictionary };

    /// A null object.
    XpcObject() = default;

    // Scalars are made through named factories so that the type is always the
    // one the caller wrote, never one chosen by overload resolution.
    static XpcObject makeNull() { return XpcObject(); }
    static XpcObject makeBool(bool b) { return XpcObject(Storage(b)); }
    static XpcObject makeInt64(std::int64_t i) { return XpcObject(Storage(i)); }
    static XpcObject makeUint64(std::uint64_t u) { return XpcObject(Storage(u)); }
    static XpcObject makeDouble(double d) { return XpcObject(Storage(d)); }
    static XpcObject makeString(std::string s) { return XpcObject(Storage(std::move(s))); }
    static XpcObject makeData(Data d) { return XpcObject(Storage(std::move(d))); }
    static XpcObject makeUuid(const XpcUuid& u) { return XpcObject(Storage(u)); }
    static XpcObject makeArray(XpcArray a = {});
    static XpcObject makeDictionary(XpcDictionary d = {});

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed access: null when the object is of another type.
    const bool* asBool() const { return std::get_if<bool>(&v_); }
    const std::int64_t* asInt64() const { return std::get_if<std::int64_t>(&v_); }
    const std::uint64_t* asUint64() const { return std::get_if<std::uint64_t>(&v_); }
    const double* asDouble() const { return std::get_if<double>(&v_); }
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const Data* asData() const { return std::get_if<Data>(&v_); }
    const XpcUuid* asUuid() const { return std::get_if<XpcUuid>(&v_); }
    const XpcArray* asArray() const;
    const XpcDictionary* asDictionary() const;

    /// Mutable access; a null object becomes an empty container first, an
    /// object of another type is replaced by an empty container.
    XpcArray& mutableArray();
    XpcDictionary& mutableDictionary();

    /// Elements of an array or dictionary, bytes of a string or data; else 0.
    std::size_t size() const;

    // Dictionary access in the manner of the system's XPC dictionary calls.
    // The getters answer null (or 0/false) when this is not a dictionary, the
    // key is absent or its value has another type: no conversion ever happens.
    const XpcObject* get(std::string_view key) const;
    const std::string* getString(std::string_view key) const;
    std::int64_t getInt64(std::string_view key) const;
    std::uint64_t getUint64(std::string_view key) const;
    bool getBool(std::string_view key) const;
    double getDouble(std::string_view key) const;
    const Data* getData(std::string_view key) const;
    const XpcUuid* getUuid(std::string_view key) const;

    /// Dictionary store (makes this a dictionary when it is null).
    void set(std::string key, XpcObject value);
    void setString(std::string key, std::string value) {
        set(std::move(key), makeString(std::move(value)));
    }
    void setInt64(std::string key, std::int64_t v) { set(std::move(key), makeInt64(v)); }
    void setUint64(std::string key, std::uint64_t v) { set(std::move(key), makeUint64(v)); }
    void setBool(std::string key, bool v) { set(std::move(key), makeBool(v)); }
    void setDouble(std::string key, double v) { set(std::move(key), makeDouble(v)); }
    void setData(std::string key, Data v) { set(std::move(key), makeData(std::move(v))); }
    void setUuid(std::string key, const XpcUuid& v) { set(std::move(key), makeUuid(v)); }

    /// Array append (makes this an array when it is null).
    void append(XpcObject value);

    /// A readable text for logs, e.g. <dictionary: {"k": <int64: 5>}>.
    std::string description() const;

    /// The property-list value of this object. UUIDs become their text; every
    /// other type has its counterpart.
    Value toValue() const;
    /// The object for a property-list value. Integers keep their signedness;
    /// a date becomes a double of seconds since 1970, as messages carry no dates.
    static XpcObject fromValue(const Value& value);

    friend bool operator==(const XpcObject& a, const XpcObject& b);
    friend bool operator!=(const XpcObject& a, const XpcObject& b) { return !(a == b); }

  private:
    using Storage =
        std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Data,
                     XpcUuid, std::shared_ptr<XpcArray>, std::shared_ptr<XpcDictionary>>;
    explicit XpcObject(Storage s) : v_(std::move(s)) {}
    Storage v_;
};

/// A dictionary object with the given entries, for building messages:
/// xpcDictionary({{"PelInstallType", XpcObject::makeString("101")}}).
XpcObject xpcDictionary(
    std::initializer_list<std::pair<const std::string, XpcObject>> entries = {});

}  // namespace platform
