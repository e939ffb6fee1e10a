// A small property-list tree with UIDs, written as a binary property list
// ("bplist00") and read back through libplist.
//
// The library's own writer is used because keyed archives need exact integer
// widths: unsigned values of 2^63 and above are written as 16-byte integers,
// as the platform's writer does, so that other readers see them as the
// positive numbers they are. Binary lists are read by the library's own
// checked reader, which keeps integer widths (libplist cannot tell a 16-byte
// unsigned integer from a negative 8-byte one, and it asserts on strings
// holding NUL bytes); XML lists go through libplist, whose integers come back
// signed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

struct VTPlistUID {
    std::uint64_t value = 0;
    friend bool operator==(const VTPlistUID&, const VTPlistUID&) = default;
};

class VTPlistNode {
  public:
    using Array = std::vector<VTPlistNode>;
    /// Keys in insertion order.
    using Dict = std::vector<std::pair<std::string, VTPlistNode>>;
    /// Signed integers, unsigned integers (`isUnsigned`), reals, ...
    struct Integer {
        std::uint64_t bits = 0;
        bool isUnsigned = false;
    };
    enum class Kind { Bool, Integer, Real, String, Data, Date, UID, Array, Dict };

    VTPlistNode() : v_(Dict{}) {}
    static VTPlistNode boolean(bool b) { return VTPlistNode(Storage(b)); }
    static VTPlistNode signedInteger(std::int64_t i) {
        return VTPlistNode(Storage(Integer{static_cast<std::uint64_t>(i), false}));
    }
    static VTPlistNode unsignedInteger(std::uint64_t u) {
        return VTPlistNode(Storage(Integer{u, true}));
    }
    static VTPlistNode real(double d) { return VTPlistNode(Storage(d)); }
    static VTPlistNode string(std::string s) { return VTPlistNode(Storage(std::move(s))); }
    static VTPlistNode data(platform::Data d) { return VTPlistNode(Storage(std::move(d))); }
    static VTPlistNode date(platform::Date d) { return VTPlistNode(Storage(d)); }
    static VTPlistNode uid(std::uint64_t u) { return VTPlistNode(Storage(VTPlistUID{u})); }
    static VTPlistNode array(Array a = {}) { return VTPlistNode(Storage(std::move(a))); }
    static VTPlistNode dict(Dict d = {}) { return VTPlistNode(Storage(std::move(d))); }

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    const bool* asBool() const { return std::get_if<bool>(&v_); }
    const Integer* asInteger() const { return std::get_if<Integer>(&v_); }
    const double* asReal() const { return std::get_if<double>(&v_); }
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const platform::Data* asData() const { return std::get_if<platform::Data>(&v_); }
    const platform::Date* asDate() const { return std::get_if<platform::Date>(&v_); }
    const VTPlistUID* asUID() const { return std::get_if<VTPlistUID>(&v_); }
    const Array* asArray() const { return std::get_if<Array>(&v_); }
    const Dict* asDict() const { return std::get_if<Dict>(&v_); }
    Array* mutableArray() { return std::get_if<Array>(&v_); }
    Dict* mutableDict() { return std::get_if<Dict>(&v_); }

    /// Dictionary lookup (first entry of that key), or null.
    const VTPlistNode* get(std::string_view key) const;
    /// Dictionary store: replaces an entry of that key or appends one.
    void set(std::string key, VTPlistNode value);

  private:
    using Storage = std::variant<bool, Integer, double, std::string, platform::Data, platform::Date,
                                 VTPlistUID, Array, Dict>;
    explicit VTPlistNode(Storage s) : v_(std::move(s)) {}
    Storage v_;
};

/// The binary property list of `root`.
platform::Data VTWriteBinaryPlist(const VTPlistNode& root);

/// Reads a binary property list with the library's own checked reader
/// (integers keep their width: 16-byte ones come back unsigned). False when
/// the bytes are not a well-formed binary property list.
bool VTReadBinaryPlist(const std::uint8_t* bytes, std::size_t length, VTPlistNode* out);

/// Parses a property list: the binary format with VTReadBinaryPlist, other
/// formats (XML) through libplist.
/// Returns false and fills `error` (NSCocoaErrorDomain 3840) when the bytes
/// are not a property list.
bool VTReadPlist(const std::uint8_t* bytes, std::size_t length, VTPlistNode* out,
                 platform::Error* error);

/// The node of a property-list value. False when the value holds a null
/// (which no property list can store).
bool VTPlistNodeFromValue(const platform::Value& value, VTPlistNode* out);
/// The value of a node; UIDs become unsigned numbers, integers are signed.
platform::Value VTValueFromPlistNode(const VTPlistNode& node);
