// Keyed archives in the platform's keyed-archiver format: a binary property
// list {"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root":
// UID}, "$objects": ["$null", ...]} in which every object is a dictionary of
// its keys plus "$class", a UID of a class record {"$classname", "$classes"}.
// Numbers, strings and data are stored as plain property-list objects.
//
// The library's record classes implement VTCodable (usually through the
// field tables of VTCoding.h); nested objects, arrays and dictionaries are
// archived as NSArray, NSDictionary, NSDate and NSNull objects.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"

class VTKeyedArchiver;
class VTKeyedUnarchiver;

/// An object that can be written to and read from a keyed archive.
/// Decodable classes also provide `static constexpr std::string_view
/// kArchiveClassName` and a default constructor.
class VTCodable {
  public:
    virtual ~VTCodable() = default;
    /// The class name stored in the archive.
    virtual std::string_view archiveClassName() const = 0;
    /// The class and its superclasses, most derived first.
    virtual std::vector<std::string> archiveClassChain() const {
        return {std::string(archiveClassName()), "NSObject"};
    }
    virtual void encodeWithCoder(VTKeyedArchiver& coder) const = 0;
    /// Reads the object's values from the coder's current object. Returns
    /// false and fills `error` when a value is of the wrong class.
    virtual bool initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) = 0;
};

/// Writes one object graph into a keyed archive.
class VTKeyedArchiver {
  public:
    /// The binary property list of a keyed archive with `root` under "root".
    static platform::Data archivedDataWithRootObject(const VTCodable& root);

    // Encoding into the object being encoded (valid inside encodeWithCoder).
    void encodeObject(std::string_view key, const VTCodable& object);
    void encodeObjects(std::string_view key, const std::vector<const VTCodable*>& objects);
    /// A property-list value as objects (NSNumber, NSString, NSData, NSDate,
    /// NSArray, NSDictionary; null gives NSNull inside containers and "$null"
    /// at the top).
    void encodeValue(std::string_view key, const platform::Value& value);
    void encodeSignedNumber(std::string_view key, std::int64_t value);
    void encodeUnsignedNumber(std::string_view key, std::uint64_t value);
    void encodeDouble(std::string_view key, double value);
    void encodeBool(std::string_view key, bool value);
    /// Raw bytes stored inline in the object (not as an object of its own).
    void encodeBytes(std::string_view key, const std::uint8_t* bytes, std::size_t length);

  private:
    VTKeyedArchiver();
    std::uint64_t addNode(VTPlistNode node);
    std::uint64_t addValue(const platform::Value& value);
    std::uint64_t addObject(const VTCodable& object);
    std::uint64_t classUID(const std::vector<std::string>& chain);
    void setInCurrent(std::string_view key, VTPlistNode node);

    std::vector<VTPlistNode> objects_;
    std::vector<VTPlistNode::Dict> frames_;
    std::map<std::string, std::uint64_t> classes_;
};

/// A number as stored in an archive, before the reader picks its type.
struct VTArchivedNumber {
    enum class Kind { Bool, Integer, Real } kind = Kind::Integer;
    std::uint64_t bits = 0;  // Integer: the stored 64 bits (sign left to the reader)
    double real = 0;         // Real
    bool boolean = false;    // Bool

    std::int64_t int64Value() const;
    std::uint64_t uint64Value() const;
    double doubleValue() const;
    bool boolValue() const;
};

/// Reads a keyed archive. Structural problems give NSCocoaErrorDomain 4864;
/// a value of the wrong class gives a VTErrorDomain 5009 error whose
/// description is "Expected '<key>' to be of type <class>, but is actually a
/// <class>".
class VTKeyedUnarchiver {
  public:
    /// The object of class T (or a subclass) stored under "root".
    template <class T>
    static std::optional<T> unarchivedObjectOfClass(const platform::Data& data,
                                                    platform::Error* error) {
        VTKeyedUnarchiver u;
        if (!u.load(data, error)) return std::nullopt;
        std::optional<T> out;
        if (!u.decodeObjectAt(
                u.rootUID_, "root", T::kArchiveClassName,
                [&](VTKeyedUnarchiver& c, platform::Error* e) {
                    T object;
                    if (!object.initWithCoder(c, e)) return false;
                    out = std::move(object);
                    return true;
                },
                error))
            return std::nullopt;
        if (!out) {
            platform::setError(error, corruptError("the archive has no root object"));
            return std::nullopt;
        }
        return out;
    }

    /// Whether the current object has the key.
    bool containsValueForKey(std::string_view key) const;

    // Decoding from the current object. Each returns false (filling `error`)
    // when the stored value is not of the expected class; a missing key or a
    // "$null" leaves `out` empty and returns true.
    template <class T>
    bool decodeObjectOfClass(std::string_view key, std::optional<T>& out, platform::Error* error) {
        out.reset();
        std::optional<std::uint64_t> uid;
        if (!uidForKey(key, uid, error)) return false;
        if (!uid) return true;
        return decodeObjectAt(
            *uid, key, T::kArchiveClassName,
            [&](VTKeyedUnarchiver& c, platform::Error* e) {
                T object;
                if (!object.initWithCoder(c, e)) return false;
                out = std::move(object);
                return true;
            },
            error);
    }
    /// An NSArray whose elements are all objects of class T.
    template <class T>
    bool decodeObjectsOfClass(std::string_view key, std::optional<std::vector<T>>& out,
                              platform::Error* error) {
        out.reset();
        std::vector<std::uint64_t> uids;
        bool present = false;
        if (!arrayElementUIDs(key, uids, present, error)) return false;
        if (!present) return true;
        std::vector<T> objects;
        for (std::uint64_t uid : uids) {
            std::optional<T> element;
            if (!decodeObjectAt(
                    uid, key, T::kArchiveClassName,
                    [&](VTKeyedUnarchiver& c, platform::Error* e) {
                        T object;
                        if (!object.initWithCoder(c, e)) return false;
                        element = std::move(object);
                        return true;
                    },
                    error))
                return false;
            if (!element) {
                platform::setError(error, classMismatch(key, T::kArchiveClassName, "NSNull"));
                return false;
            }
            objects.push_back(std::move(*element));
        }
        out = std::move(objects);
        return true;
    }
    /// A property-list value whose class is (a subclass of) `expectedClass`:
    /// "NSNumber", "NSString", "NSData", "NSDate", "NSArray", "NSDictionary",
    /// or "NSObject" for any of them. Integers come back signed.
    bool decodeValue(std::string_view key, std::string_view expectedClass,
                     std::optional<platform::Value>& out, platform::Error* error);
    /// A number (class NSNumber) with its stored bits.
    bool decodeNumber(std::string_view key, std::optional<VTArchivedNumber>& out,
                      platform::Error* error);
    /// Bytes stored inline with encodeBytes, or null.
    const platform::Data* decodeBytes(std::string_view key) const;

    static platform::Error corruptError(std::string_view why);
    static platform::Error classMismatch(std::string_view key, std::string_view expected,
                                         std::string_view actual);

  private:
    template <class F>
    bool decodeObjectAt(std::uint64_t uid, std::string_view key, std::string_view expectedClass,
                        F&& decode, platform::Error* error) {
        const VTPlistNode* node = nullptr;
        if (!resolve(uid, node, error)) return false;
        if (!node) return true;  // "$null"
        std::vector<std::string> chain;
        if (!classChain(*node, chain, error)) return false;
        if (!isKindOf(chain, expectedClass)) {
            platform::setError(error, classMismatch(key, expectedClass, chain.front()));
            return false;
        }
        if (frames_.size() >= kMaxDepth) {
            platform::setError(error, corruptError("objects are nested too deeply"));
            return false;
        }
        frames_.push_back(node->asDict());
        platform::Error local;
        bool ok = decode(*this, error ? error : &local);
        frames_.pop_back();
        return ok;
    }

    static constexpr std::size_t kMaxDepth = 128;

    bool load(const platform::Data& data, platform::Error* error);
    bool uidForKey(std::string_view key, std::optional<std::uint64_t>& uid,
                   platform::Error* error) const;
    bool resolve(std::uint64_t uid, const VTPlistNode*& node, platform::Error* error) const;
    bool classChain(const VTPlistNode& node, std::vector<std::string>& chain,
                    platform::Error* error) const;
    static bool isKindOf(const std::vector<std::string>& chain, std::string_view expected);
    bool arrayElementUIDs(std::string_view key, std::vector<std::uint64_t>& uids, bool& present,
                          platform::Error* error);
    bool valueOf(const VTPlistNode& node, platform::Value& out, std::size_t depth,
                 platform::Error* error) const;

    VTPlistNode root_;
    const VTPlistNode::Array* objects_ = nullptr;
    std::uint64_t rootUID_ = 0;
    std::vector<const VTPlistNode::Dict*> frames_;
};
