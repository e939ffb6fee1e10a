// Property-driven keyed coding of the library's record classes.
//
// A record class declares its properties once, in a field table: each entry
// has the property's name (also its key in archives, in value dictionaries
// and in match patterns), the class of its value and whether it is codable.
// That one table drives encoding, decoding (with a class check of every
// value), the value dictionary and the description:
//
//   class VTGateway : public VTFieldCodable<VTGateway> {
//   public:
//       static constexpr std::string_view kArchiveClassName = "VTGateway";
//       static std::span<const VTField<VTGateway>> codingFields();
//   private:
//       std::int32_t type_ = 0;
//       std::optional<std::string> host_;
//   };
//   std::span<const VTField<VTGateway>> VTGateway::codingFields() {
//       static const VTField<VTGateway> fields[] = {
//           VTMakeField<&VTGateway::type_>("type"), VTMakeField<&VTGateway::host_>("host")};
//       return fields;
//   }
//
// Supported member types: bool, integers, double (class NSNumber);
// std::optional of std::string (NSString), platform::Date (NSDate),
// platform::Array (NSArray), platform::Dictionary (NSDictionary),
// platform::Value (NSObject: any property-list value), integers (NSValue:
// a boxed value); std::vector<T> of a codable class (NSArray); std::optional
// of a codable class T that has `platform::Value codingValue() const` and
// `static std::optional<T> fromCodingValue(const platform::Value&)`.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTKeyedArchive.h"

template <class M, class Enable = void>
struct VTFieldTraits;

template <>
struct VTFieldTraits<bool> {
    static constexpr std::string_view kClassName = "NSNumber";
    static bool present(const bool&) { return true; }
    static void encode(VTKeyedArchiver& a, std::string_view k, const bool& v) {
        a.encodeBool(k, v);
    }
    static bool decode(VTKeyedUnarchiver& u, std::string_view k, bool& v, platform::Error* e) {
        std::optional<VTArchivedNumber> n;
        if (!u.decodeNumber(k, n, e)) return false;
        if (n) v = n->boolValue();
        return true;
    }
    static std::optional<platform::Value> toValue(const bool& v) { return platform::Value(v); }
    static bool fromValue(const platform::Value& value, bool& v) {
        if (!value.isBool() && !value.isNumber()) return false;
        v = value.boolValue();
        return true;
    }
};

template <class I>
struct VTFieldTraits<I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>>> {
    static constexpr std::string_view kClassName = "NSNumber";
    static bool present(const I&) { return true; }
    static void encode(VTKeyedArchiver& a, std::string_view k, const I& v) {
        if constexpr (std::is_signed_v<I>)
            a.encodeSignedNumber(k, v);
        else
            a.encodeUnsignedNumber(k, v);
    }
    static bool decode(VTKeyedUnarchiver& u, std::string_view k, I& v, platform::Error* e) {
        std::optional<VTArchivedNumber> n;
        if (!u.decodeNumber(k, n, e)) return false;
        if (n) {
            // Narrower types keep the low bits, as a number's smaller accessors do.
            if constexpr (std::is_signed_v<I>)
                v = static_cast<I>(n->int64Value());
            else
                v = static_cast<I>(n->uint64Value());
        }
        return true;
    }
    static std::optional<platform::Value> toValue(const I& v) {
        if constexpr (std::is_signed_v<I>)
            return platform::Value(static_cast<long long>(v));
        else
            return platform::Value(static_cast<unsigned long long>(v));
    }
    static bool fromValue(const platform::Value& value, I& v) {
        if (!value.isBool() && !value.isNumber()) return false;
        if constexpr (std::is_signed_v<I>)
            v = static_cast<I>(value.int64Value());
        else
            v = static_cast<I>(value.type() == platform::Value::Type::Integer
                                   ? static_cast<std::uint64_t>(value.int64Value())
                                   : value.uint64Value());
        return true;
    }
};

template <>
struct VTFieldTraits<double> {
    static constexpr std::string_view kClassName = "NSNumber";
    static bool present(const double&) { return true; }
    static void encode(VTKeyedArchiver& a, std::string_view k, const double& v) {
        a.encodeDouble(k, v);
    }
    static bool decode(VTKeyedUnarchiver& u, std::string_view k, double& v, platform::Error* e) {
        std::optional<VTArchivedNumber> n;
        if (!u.decodeNumber(k, n, e)) return false;
        if (n) v = n->doubleValue();
        return true;
    }
    static std::optional<platform::Value> toValue(const double& v) { return platform::Value(v); }
    static bool fromValue(const platform::Value& value, double& v) {
        if (!value.isBool() && !value.isNumber()) return false;
        v = value.doubleValue();
        return true;
    }
};

/// A boxed integer (for example an address): absent or a number.
template <class I>
struct VTFieldTraits<std::optional<I>,
                     std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>>> {
    static constexpr std::string_view kClassName = "NSValue";
    static bool present(const std::optional<I>& v) { return v.has_value(); }
    static void encode(VTKeyedArchiver& a, std::string_view k, const std::optional<I>& v) {
        VTFieldTraits<I>::encode(a, k, *v);
    }
    static bool decode(VTKeyedUnarchiver& u, std::string_view k, std::optional<I>& v,
                       platform::Error* e) {
        I value{};
        if (!u.containsValueForKey(k)) return true;
        if (!VTFieldTraits<I>::decode(u, k, value, e)) return false;
        v = value;
        return true;
    }
    static std::optional<platform::Value> toValue(const std::optional<I>& v) {
        if (!v) return std::nullopt;
        return VTFieldTraits<I>::toValue(*v);
    }
    static bool fromValue(const platform::Value& value, std::optional<I>& v) {
        if (value.isNull()) {
            v.reset();
            return true;
        }
        I out{};
        if (!VTFieldTraits<I>::fromValue(value, out)) return false;
        v = out;
        return true;
    }
};

// Property-list objects held in std::optional (absent = nil).
template <class V, platform::Value::Type Kind>
struct VTPlistFieldTraits {
    static bool present(const std::optional<V>& v) { return v.has_value(); }
    static platform::Value wrap(const V& v) { return platform::Value(v); }
    static bool unwrap(const platform::Value& value, V& v) {
        if (value.type() != Kind) return false;
        if constexpr (std::is_same_v<V, std::string>)
            v = *value.asString();
        else if constexpr (std::is_same_v<V, platform::Date>)
            v = *value.asDate();
        else if constexpr (std::is_same_v<V, platform::Array>)
            v = *value.asArray();
        else if constexpr (std::is_same_v<V, platform::Dictionary>)
            v = *value.asDictionary();
        else if constexpr (std::is_same_v<V, platform::Data>)
            v = *value.asData();
        return true;
    }
};

#define VT_PLIST_FIELD_TRAITS(V, Kind, ClassName)                                                  \
    template <>                                                                                    \
    struct VTFieldTraits<std::optional<V>> : VTPlistFieldTraits<V, platform::Value::Type::Kind> {  \
        static constexpr std::string_view kClassName = ClassName;                                  \
        static void encode(VTKeyedArchiver& a, std::string_view k, const std::optional<V>& v) {    \
            a.encodeValue(k, wrap(*v));                                                            \
        }                                                                                          \
        static bool decode(VTKeyedUnarchiver& u, std::string_view k, std::optional<V>& v,          \
                           platform::Error* e) {                                                   \
            std::optional<platform::Value> value;                                                  \
            if (!u.decodeValue(k, kClassName, value, e)) return false;                             \
            v.reset();                                                                             \
            if (value) {                                                                           \
                V out{};                                                                           \
                if (!unwrap(*value, out)) {                                                        \
                    platform::setError(e,                                                          \
                                       VTKeyedUnarchiver::classMismatch(k, kClassName, "NSNull")); \
                    return false;                                                                  \
                }                                                                                  \
                v = std::move(out);                                                                \
            }                                                                                      \
            return true;                                                                           \
        }                                                                                          \
        static std::optional<platform::Value> toValue(const std::optional<V>& v) {                 \
            if (!v) return std::nullopt;                                                           \
            return wrap(*v);                                                                       \
        }                                                                                          \
        static bool fromValue(const platform::Value& value, std::optional<V>& v) {                 \
            if (value.isNull()) {                                                                  \
                v.reset();                                                                         \
                return true;                                                                       \
            }                                                                                      \
            V out{};                                                                               \
            if (!unwrap(value, out)) return false;                                                 \
            v = std::move(out);                                                                    \
            return true;                                                                           \
        }                                                                                          \
    };

VT_PLIST_FIELD_TRAITS(std::string, String, "NSString")
VT_PLIST_FIELD_TRAITS(platform::Date, Date, "NSDate")
VT_PLIST_FIELD_TRAITS(platform::Array, Array, "NSArray")
VT_PLIST_FIELD_TRAITS(platform::Dictionary, Dictionary, "NSDictionary")
VT_PLIST_FIELD_TRAITS(platform::Data, Data, "NSData")
#undef VT_PLIST_FIELD_TRAITS

/// Any property-list value.
template <>
struct VTFieldTraits<std::optional<platform::Value>> {
    static constexpr std::string_view kClassName = "NSObject";
    static bool present(const std::optional<platform::Value>& v) { return v.has_value(); }
    static void encode(VTKeyedArchiver& a, std::string_view k,
                       const std::optional<platform::Value>& v) {
        a.encodeValue(k, *v);
    }
    static bool decode(VTKeyedUnarchiver& u, std::string_view k, std::optional<platform::Value>& v,
                       platform::Error* e) {
        return u.decodeValue(k, kClassName, v, e);
    }
    static std::optional<platform::Value> toValue(const std::optional<platform::Value>& v) {
        return v;
    }
    static bool fromValue(const platform::Value& value, std::optional<platform::Value>& v) {
        if (value.isNull())
            v.reset();
        else
            v = value;
        return true;
    }
};

/// A nested object of a codable class.
template <class T>
struct VTFieldTraits<std::optional<T>, std::enable_if_t<std::is_base_of_v<VTCodable, T>>> {
    static constexpr std::string_view kClassName = T::kArchiveClassName;
    static bool present(const std::optional<T>& v) { return v.has_value(); }
    static void encode(VTKeyedArchiver& a, std::string_view k, const std::optional<T>& v) {
        a.encodeObject(k, *v);
    }
    static bool decode(VTKeyedUnarchiver& u, std::string_view k, std::optional<T>& v,
                       platform::Error* e) {
        return u.decodeObjectOfClass<T>(k, v, e);
    }
    static std::optional<platform::Value> toValue(const std::optional<T>& v) {
        if (!v) return std::nullopt;
        return v->codingValue();
    }
    static bool fromValue(const platform::Value& value, std::optional<T>& v) {
        if (value.isNull()) {
            v.reset();
            return true;
        }
        v = T::fromCodingValue(value);
        return v.has_value();
    }
};

/// An array of objects of a codable class; always present (maybe empty).
template <class T>
struct VTFieldTraits<std::vector<T>, std::enable_if_t<std::is_base_of_v<VTCodable, T>>> {
    static constexpr std::string_view kClassName = "NSArray";
    static bool present(const std::vector<T>&) { return true; }
    static void encode(VTKeyedArchiver& a, std::string_view k, const std::vector<T>& v) {
        std::vector<const VTCodable*> objects;
        for (const auto& o : v) objects.push_back(&o);
        a.encodeObjects(k, objects);
    }
    static bool decode(VTKeyedUnarchiver& u, std::string_view k, std::vector<T>& v,
                       platform::Error* e) {
        std::optional<std::vector<T>> out;
        if (!u.decodeObjectsOfClass<T>(k, out, e)) return false;
        if (out) v = std::move(*out);
        return true;
    }
    static std::optional<platform::Value> toValue(const std::vector<T>& v) {
        platform::Array a;
        for (const auto& o : v) a.push_back(o.codingValue());
        return platform::Value(std::move(a));
    }
    static bool fromValue(const platform::Value& value, std::vector<T>& v) {
        if (value.isNull()) {
            v.clear();
            return true;
        }
        if (!value.isArray()) return false;
        std::vector<T> out;
        for (const auto& element : *value.asArray()) {
            auto o = T::fromCodingValue(element);
            if (!o) return false;
            out.push_back(std::move(*o));
        }
        v = std::move(out);
        return true;
    }
};

/// One entry of a class's field table.
template <class T>
struct VTField {
    std::string_view name;
    std::string_view className;
    bool codable = true;
    void (*encode)(const T&, VTKeyedArchiver&, std::string_view) = nullptr;
    bool (*decode)(T&, VTKeyedUnarchiver&, std::string_view, platform::Error*) = nullptr;
    std::optional<platform::Value> (*value)(const T&) = nullptr;
    bool (*setValue)(T&, const platform::Value&) = nullptr;
};

template <auto Member>
struct VTMemberInfo;
template <class T, class M, M T::*P>
struct VTMemberInfo<P> {
    using Class = T;
    using Type = M;
};

/// The field-table entry of the member `Member`, named `name`. An
/// uncodable field (`codable` false) is left out of archives and of the
/// value dictionary.
template <auto Member>
constexpr VTField<typename VTMemberInfo<Member>::Class> VTMakeField(std::string_view name,
                                                                    bool codable = true) {
    using T = typename VTMemberInfo<Member>::Class;
    using Tr = VTFieldTraits<typename VTMemberInfo<Member>::Type>;
    return VTField<T>{
        name,
        Tr::kClassName,
        codable,
        [](const T& o, VTKeyedArchiver& a, std::string_view k) {
            if (Tr::present(o.*Member)) Tr::encode(a, k, o.*Member);
        },
        [](T& o, VTKeyedUnarchiver& u, std::string_view k, platform::Error* e) {
            return Tr::decode(u, k, o.*Member, e);
        },
        [](const T& o) -> std::optional<platform::Value> { return Tr::toValue(o.*Member); },
        [](T& o, const platform::Value& v) { return Tr::fromValue(v, o.*Member); }};
}

/// What the library's coding category offers every record class.
struct VTCodingUtilities {
    /// (name, class name) of each codable field, in declaration order.
    template <class T>
    static std::vector<std::pair<std::string_view, std::string_view>> codableProperties() {
        std::vector<std::pair<std::string_view, std::string_view>> out;
        for (const auto& f : T::codingFields())
            if (f.codable) out.emplace_back(f.name, f.className);
        return out;
    }
    /// The class recorded for a field, or nullopt for an unknown name.
    template <class T>
    static std::optional<std::string_view> classForPropertyNamed(std::string_view name) {
        for (const auto& f : T::codingFields())
            if (f.name == name) return f.className;
        return std::nullopt;
    }
    /// Field name -> value of every codable field, absent values left out
    /// (scalars are always present).
    template <class T>
    static platform::Dictionary dictionaryRepresentation(const T& object) {
        platform::Dictionary out;
        for (const auto& f : T::codingFields()) {
            if (!f.codable) continue;
            if (auto v = f.value(object)) out.insert_or_assign(std::string(f.name), std::move(*v));
        }
        return out;
    }
    /// The value of one field (codable or not), or nullopt when absent or
    /// when the class has no such field.
    template <class T>
    static std::optional<platform::Value> valueForKey(const T& object, std::string_view name) {
        for (const auto& f : T::codingFields())
            if (f.name == name) return f.value(object);
        return std::nullopt;
    }
    /// Sets fields from a dictionary of field names (a null value clears an
    /// optional field). Returns false and fills `error` (VTErrorDomain 5009)
    /// naming the first unknown key or value of the wrong type; the fields
    /// before it are set.
    template <class T>
    static bool setPropertyValues(T& object, const platform::Dictionary& values,
                                  platform::Error* error) {
        for (const auto& [key, value] : values) {
            const VTField<T>* field = nullptr;
            for (const auto& f : T::codingFields())
                if (f.name == key) field = &f;
            if (!field) {
                platform::setError(
                    error, VTKeyedUnarchiver::classMismatch(key, "a known property", "unknown"));
                return false;
            }
            if (!field->setValue(object, value)) {
                platform::setError(error, VTKeyedUnarchiver::classMismatch(key, field->className,
                                                                           typeName(value)));
                return false;
            }
        }
        return true;
    }
    /// The text description of the value dictionary.
    template <class T>
    static std::string description(const T& object) {
        return platform::Value(dictionaryRepresentation(object)).description();
    }

    /// Encodes every codable field that has a value under its name.
    template <class T>
    static void encodeFields(const T& object, VTKeyedArchiver& coder) {
        for (const auto& f : T::codingFields())
            if (f.codable) f.encode(object, coder, f.name);
    }
    /// Decodes every codable field present in the coder's current object,
    /// checking its class.
    template <class T>
    static bool decodeFields(T& object, VTKeyedUnarchiver& coder, platform::Error* error) {
        for (const auto& f : T::codingFields())
            if (f.codable && !f.decode(object, coder, f.name, error)) return false;
        return true;
    }

    /// The keyed archive's top-level object of class T, or nullopt with the
    /// unarchiver's error.
    template <class T>
    static std::optional<T> objectWithData(const platform::Data& data, platform::Error* error) {
        return VTKeyedUnarchiver::unarchivedObjectOfClass<T>(data, error);
    }
    /// Reads the file and unarchives it. A file that cannot be read gives a
    /// POSIX error for the path.
    template <class T>
    static std::optional<T> objectWithContentsOfFile(const std::string& path,
                                                     platform::Error* error) {
        platform::Data data;
        if (!readFile(path, data, error)) return std::nullopt;
        return objectWithData<T>(data, error);
    }
    /// Writes the object's keyed archive to `path` (through a temporary file
    /// and a rename when `atomically`). False with a POSIX error on failure.
    static bool writeToFile(const VTCodable& object, const std::string& path, bool atomically,
                            platform::Error* error);

    /// Reads a whole file (at most 1 GiB). False with a POSIX error.
    static bool readFile(const std::string& path, platform::Data& out, platform::Error* error);
    /// Writes bytes to a file, replacing it; through a temporary file and a
    /// rename when `atomically`. False with a POSIX error.
    static bool writeFile(const std::string& path, const platform::Data& data, bool atomically,
                          platform::Error* error);

  private:
    static std::string typeName(const platform::Value& value);
};

/// Gives a class with a field table its archive coding and its value form.
template <class T>
class VTFieldCodable : public VTCodable {
  public:
    std::string_view archiveClassName() const override { return T::kArchiveClassName; }
    void encodeWithCoder(VTKeyedArchiver& coder) const override {
        VTCodingUtilities::encodeFields(static_cast<const T&>(*this), coder);
    }
    bool initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) override {
        return VTCodingUtilities::decodeFields(static_cast<T&>(*this), coder, error);
    }
    /// The value dictionary, as a Value.
    platform::Value codingValue() const {
        return platform::Value(
            VTCodingUtilities::dictionaryRepresentation(static_cast<const T&>(*this)));
    }
    /// A default object with the fields of a dictionary set, or nullopt.
    static std::optional<T> fromCodingValue(const platform::Value& value) {
        if (!value.isDictionary()) return std::nullopt;
        T object;
        if (!VTCodingUtilities::setPropertyValues(object, *value.asDictionary(), nullptr))
            return std::nullopt;
        return object;
    }
};
