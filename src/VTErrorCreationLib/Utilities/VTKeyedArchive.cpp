#include "VTErrorCreationLib/Utilities/VTKeyedArchive.h"

#include <cmath>
#include <limits>

#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"

namespace {

// Seconds between 1970-01-01 and 2001-01-01, the epoch of NSDate's "NS.time".
constexpr double kReferenceDateOffset = 978307200.0;
constexpr long kCoderReadCorruptError = 4864;
constexpr std::size_t kMaxValueDepth = 256;

template <class I>
I saturate(double d) {
    if (std::isnan(d)) return 0;
    if (d <= static_cast<double>(std::numeric_limits<I>::min()))
        return std::numeric_limits<I>::min();
    if (d >= static_cast<double>(std::numeric_limits<I>::max()))
        return std::numeric_limits<I>::max();
    return static_cast<I>(d);
}

}  // namespace

// ---------------------------------------------------------------- archiving

VTKeyedArchiver::VTKeyedArchiver() { objects_.push_back(VTPlistNode::string("$null")); }

platform::Data VTKeyedArchiver::archivedDataWithRootObject(const VTCodable& root) {
    VTKeyedArchiver a;
    std::uint64_t rootUID = a.addObject(root);
    VTPlistNode top = VTPlistNode::dict();
    top.set("$version", VTPlistNode::signedInteger(100000));
    top.set("$archiver", VTPlistNode::string("NSKeyedArchiver"));
    VTPlistNode topDict = VTPlistNode::dict();
    topDict.set("root", VTPlistNode::uid(rootUID));
    top.set("$top", std::move(topDict));
    top.set("$objects", VTPlistNode::array(std::move(a.objects_)));
    return VTWriteBinaryPlist(top);
}

std::uint64_t VTKeyedArchiver::addNode(VTPlistNode node) {
    objects_.push_back(std::move(node));
    return objects_.size() - 1;
}

std::uint64_t VTKeyedArchiver::classUID(const std::vector<std::string>& chain) {
    auto it = classes_.find(chain.front());
    if (it != classes_.end()) return it->second;
    VTPlistNode::Array names;
    for (const auto& name : chain) names.push_back(VTPlistNode::string(name));
    VTPlistNode record = VTPlistNode::dict();
    record.set("$classname", VTPlistNode::string(chain.front()));
    record.set("$classes", VTPlistNode::array(std::move(names)));
    std::uint64_t uid = addNode(std::move(record));
    classes_.emplace(chain.front(), uid);
    return uid;
}

std::uint64_t VTKeyedArchiver::addObject(const VTCodable& object) {
    // The object's slot comes before the objects it refers to.
    std::uint64_t uid = addNode(VTPlistNode::dict());
    frames_.emplace_back();
    object.encodeWithCoder(*this);
    VTPlistNode::Dict fields = std::move(frames_.back());
    frames_.pop_back();
    fields.emplace_back("$class", VTPlistNode::uid(classUID(object.archiveClassChain())));
    objects_[uid] = VTPlistNode::dict(std::move(fields));
    return uid;
}

std::uint64_t VTKeyedArchiver::addValue(const platform::Value& value) {
    using T = platform::Value::Type;
    switch (value.type()) {
        case T::Null: {
            std::uint64_t uid = addNode(VTPlistNode::dict());
            VTPlistNode::Dict d;
            d.emplace_back("$class", VTPlistNode::uid(classUID({"NSNull", "NSObject"})));
            objects_[uid] = VTPlistNode::dict(std::move(d));
            return uid;
        }
        case T::Bool:
            return addNode(VTPlistNode::boolean(*value.asBool()));
        case T::Integer:
            return addNode(VTPlistNode::signedInteger(value.int64Value()));
        case T::Unsigned:
            return addNode(VTPlistNode::unsignedInteger(value.uint64Value()));
        case T::Real:
            return addNode(VTPlistNode::real(value.doubleValue()));
        case T::String:
            return addNode(VTPlistNode::string(*value.asString()));
        case T::Data:
            return addNode(VTPlistNode::data(*value.asData()));
        case T::Date: {
            std::uint64_t uid = addNode(VTPlistNode::dict());
            VTPlistNode::Dict d;
            d.emplace_back("NS.time", VTPlistNode::real(value.asDate()->secondsSince1970 -
                                                        kReferenceDateOffset));
            d.emplace_back("$class", VTPlistNode::uid(classUID({"NSDate", "NSObject"})));
            objects_[uid] = VTPlistNode::dict(std::move(d));
            return uid;
        }
        case T::Array: {
            std::uint64_t uid = addNode(VTPlistNode::dict());
            VTPlistNode::Array refs;
            for (const auto& element : *value.asArray())
                refs.push_back(VTPlistNode::uid(addValue(element)));
            VTPlistNode::Dict d;
            d.emplace_back("NS.objects", VTPlistNode::array(std::move(refs)));
            d.emplace_back("$class", VTPlistNode::uid(classUID({"NSArray", "NSObject"})));
            objects_[uid] = VTPlistNode::dict(std::move(d));
            return uid;
        }
        case T::Dictionary: {
            std::uint64_t uid = addNode(VTPlistNode::dict());
            VTPlistNode::Array keys, values;
            for (const auto& [k, v] : *value.asDictionary()) {
                keys.push_back(VTPlistNode::uid(addNode(VTPlistNode::string(k))));
                values.push_back(VTPlistNode::uid(addValue(v)));
            }
            VTPlistNode::Dict d;
            d.emplace_back("NS.keys", VTPlistNode::array(std::move(keys)));
            d.emplace_back("NS.objects", VTPlistNode::array(std::move(values)));
            d.emplace_back("$class", VTPlistNode::uid(classUID({"NSDictionary", "NSObject"})));
            objects_[uid] = VTPlistNode::dict(std::move(d));
            return uid;
        }
    }
    return 0;
}

void VTKeyedArchiver::setInCurrent(std::string_view key, VTPlistNode node) {
    auto& frame = frames_.back();
    for (auto& [k, v] : frame) {
        if (k == key) {
            v = std::move(node);
            return;
        }
    }
    frame.emplace_back(std::string(key), std::move(node));
}

void VTKeyedArchiver::encodeObject(std::string_view key, const VTCodable& object) {
    setInCurrent(key, VTPlistNode::uid(addObject(object)));
}

void VTKeyedArchiver::encodeObjects(std::string_view key,
                                    const std::vector<const VTCodable*>& objects) {
    std::uint64_t uid = addNode(VTPlistNode::dict());
    VTPlistNode::Array refs;
    for (const VTCodable* object : objects)
        refs.push_back(VTPlistNode::uid(object ? addObject(*object) : 0));
    VTPlistNode::Dict d;
    d.emplace_back("NS.objects", VTPlistNode::array(std::move(refs)));
    d.emplace_back("$class", VTPlistNode::uid(classUID({"NSArray", "NSObject"})));
    objects_[uid] = VTPlistNode::dict(std::move(d));
    setInCurrent(key, VTPlistNode::uid(uid));
}

void VTKeyedArchiver::encodeValue(std::string_view key, const platform::Value& value) {
    setInCurrent(key, VTPlistNode::uid(value.isNull() ? 0 : addValue(value)));
}

void VTKeyedArchiver::encodeSignedNumber(std::string_view key, std::int64_t value) {
    setInCurrent(key, VTPlistNode::uid(addNode(VTPlistNode::signedInteger(value))));
}

void VTKeyedArchiver::encodeUnsignedNumber(std::string_view key, std::uint64_t value) {
    setInCurrent(key, VTPlistNode::uid(addNode(VTPlistNode::unsignedInteger(value))));
}

void VTKeyedArchiver::encodeDouble(std::string_view key, double value) {
    setInCurrent(key, VTPlistNode::uid(addNode(VTPlistNode::real(value))));
}

void VTKeyedArchiver::encodeBool(std::string_view key, bool value) {
    setInCurrent(key, VTPlistNode::uid(addNode(VTPlistNode::boolean(value))));
}

void VTKeyedArchiver::encodeBytes(std::string_view key, const std::uint8_t* bytes,
                                  std::size_t length) {
    setInCurrent(key, VTPlistNode::data(platform::Data(bytes, bytes + length)));
}

// ---------------------------------------------------------------- numbers

std::int64_t VTArchivedNumber::int64Value() const {
    switch (kind) {
        case Kind::Bool:
            return boolean ? 1 : 0;
        case Kind::Integer:
            return static_cast<std::int64_t>(bits);
        case Kind::Real:
            return saturate<std::int64_t>(real);
    }
    return 0;
}

std::uint64_t VTArchivedNumber::uint64Value() const {
    switch (kind) {
        case Kind::Bool:
            return boolean ? 1 : 0;
        case Kind::Integer:
            return bits;
        case Kind::Real:
            return saturate<std::uint64_t>(real);
    }
    return 0;
}

double VTArchivedNumber::doubleValue() const {
    switch (kind) {
        case Kind::Bool:
            return boolean ? 1 : 0;
        case Kind::Integer:
            return static_cast<double>(static_cast<std::int64_t>(bits));
        case Kind::Real:
            return real;
    }
    return 0;
}

bool VTArchivedNumber::boolValue() const {
    switch (kind) {
        case Kind::Bool:
            return boolean;
        case Kind::Integer:
            return bits != 0;
        case Kind::Real:
            return real != 0;
    }
    return false;
}

// ---------------------------------------------------------------- unarchiving

platform::Error VTKeyedUnarchiver::corruptError(std::string_view why) {
    return platform::Error(
        std::string(platform::kCocoaErrorDomain), kCoderReadCorruptError,
        {{std::string(platform::kLocalizedDescriptionKey),
          platform::Value("The data couldn\u2019t be read because it isn\u2019t in the "
                          "correct format.")},
         {"NSDebugDescription", platform::Value(why)}});
}

platform::Error VTKeyedUnarchiver::classMismatch(std::string_view key, std::string_view expected,
                                                 std::string_view actual) {
    std::string reason = "Expected '" + std::string(key) + "' to be of type " +
                         std::string(expected) + ", but is actually a " + std::string(actual);
    return platform::Error(
        std::string(VTErrorDomain), kVTErrorDecodingFailed,
        {{std::string(platform::kLocalizedDescriptionKey), platform::Value(reason)},
         {"ExceptionName", platform::Value(VTErrorDomain)}});
}

bool VTKeyedUnarchiver::load(const platform::Data& data, platform::Error* error) {
    if (!VTReadPlist(data.data(), data.size(), &root_, nullptr)) {
        platform::setError(error, corruptError("not a property list"));
        return false;
    }
    const VTPlistNode* archiver = root_.get("$archiver");
    const VTPlistNode* objects = root_.get("$objects");
    const VTPlistNode* top = root_.get("$top");
    const VTPlistNode* rootRef = top ? top->get("root") : nullptr;
    if (!archiver || !archiver->asString() || *archiver->asString() != "NSKeyedArchiver" ||
        !objects || !objects->asArray() || !rootRef || !rootRef->asUID()) {
        platform::setError(error, corruptError("not a keyed archive"));
        return false;
    }
    objects_ = objects->asArray();
    rootUID_ = rootRef->asUID()->value;
    return true;
}

bool VTKeyedUnarchiver::resolve(std::uint64_t uid, const VTPlistNode*& node,
                                platform::Error* error) const {
    node = nullptr;
    if (uid == 0) return true;  // "$null"
    if (!objects_ || uid >= objects_->size()) {
        platform::setError(error, corruptError("object reference out of range"));
        return false;
    }
    node = &(*objects_)[uid];
    return true;
}

bool VTKeyedUnarchiver::classChain(const VTPlistNode& node, std::vector<std::string>& chain,
                                   platform::Error* error) const {
    chain.clear();
    switch (node.kind()) {
        case VTPlistNode::Kind::Bool:
        case VTPlistNode::Kind::Integer:
        case VTPlistNode::Kind::Real:
            chain = {"NSNumber", "NSValue", "NSObject"};
            return true;
        case VTPlistNode::Kind::String:
            chain = {"NSString", "NSObject"};
            return true;
        case VTPlistNode::Kind::Data:
            chain = {"NSData", "NSObject"};
            return true;
        case VTPlistNode::Kind::Date:
            chain = {"NSDate", "NSObject"};
            return true;
        case VTPlistNode::Kind::Dict:
            break;
        default:
            platform::setError(error, corruptError("unexpected object"));
            return false;
    }
    const VTPlistNode* classRef = node.get("$class");
    const VTPlistNode* record = nullptr;
    if (!classRef || !classRef->asUID()) {
        platform::setError(error, corruptError("object without class"));
        return false;
    }
    if (!resolve(classRef->asUID()->value, record, error)) return false;
    if (!record || !record->asDict()) {
        platform::setError(error, corruptError("object without class"));
        return false;
    }
    const VTPlistNode* name = record->get("$classname");
    if (!name || !name->asString()) {
        platform::setError(error, corruptError("class record without name"));
        return false;
    }
    chain.push_back(*name->asString());
    if (const VTPlistNode* classes = record->get("$classes"); classes && classes->asArray())
        for (const auto& c : *classes->asArray())
            if (c.asString() && *c.asString() != chain.front()) chain.push_back(*c.asString());
    return true;
}

bool VTKeyedUnarchiver::isKindOf(const std::vector<std::string>& chain, std::string_view expected) {
    if (expected == "NSObject") return true;
    for (const auto& name : chain)
        if (name == expected) return true;
    return false;
}

bool VTKeyedUnarchiver::containsValueForKey(std::string_view key) const {
    if (frames_.empty() || !frames_.back()) return false;
    for (const auto& [k, v] : *frames_.back())
        if (k == key) return true;
    return false;
}

bool VTKeyedUnarchiver::uidForKey(std::string_view key, std::optional<std::uint64_t>& uid,
                                  platform::Error* error) const {
    uid.reset();
    if (frames_.empty() || !frames_.back()) return true;
    for (const auto& [k, v] : *frames_.back()) {
        if (k != key) continue;
        if (!v.asUID()) {
            platform::setError(error, corruptError("value is not an object reference"));
            return false;
        }
        if (v.asUID()->value != 0) uid = v.asUID()->value;
        return true;
    }
    return true;
}

const platform::Data* VTKeyedUnarchiver::decodeBytes(std::string_view key) const {
    if (frames_.empty() || !frames_.back()) return nullptr;
    for (const auto& [k, v] : *frames_.back())
        if (k == key) return v.asData();
    return nullptr;
}

bool VTKeyedUnarchiver::decodeNumber(std::string_view key, std::optional<VTArchivedNumber>& out,
                                     platform::Error* error) {
    out.reset();
    std::optional<std::uint64_t> uid;
    if (!uidForKey(key, uid, error)) return false;
    if (!uid) return true;
    const VTPlistNode* node = nullptr;
    if (!resolve(*uid, node, error)) return false;
    VTArchivedNumber n;
    if (const bool* b = node->asBool()) {
        n.kind = VTArchivedNumber::Kind::Bool;
        n.boolean = *b;
    } else if (const auto* i = node->asInteger()) {
        n.kind = VTArchivedNumber::Kind::Integer;
        n.bits = i->bits;
    } else if (const double* d = node->asReal()) {
        n.kind = VTArchivedNumber::Kind::Real;
        n.real = *d;
    } else {
        std::vector<std::string> chain;
        if (!classChain(*node, chain, error)) return false;
        platform::setError(error, classMismatch(key, "NSNumber", chain.front()));
        return false;
    }
    out = n;
    return true;
}

bool VTKeyedUnarchiver::valueOf(const VTPlistNode& node, platform::Value& out, std::size_t depth,
                                platform::Error* error) const {
    if (depth > kMaxValueDepth) {
        platform::setError(error, corruptError("values are nested too deeply"));
        return false;
    }
    switch (node.kind()) {
        case VTPlistNode::Kind::Bool:
            out = platform::Value(*node.asBool());
            return true;
        case VTPlistNode::Kind::Integer:
            out = platform::Value(
                static_cast<long long>(static_cast<std::int64_t>(node.asInteger()->bits)));
            return true;
        case VTPlistNode::Kind::Real:
            out = platform::Value(*node.asReal());
            return true;
        case VTPlistNode::Kind::String:
            out = platform::Value(*node.asString());
            return true;
        case VTPlistNode::Kind::Data:
            out = platform::Value(*node.asData());
            return true;
        case VTPlistNode::Kind::Date:
            out = platform::Value(*node.asDate());
            return true;
        case VTPlistNode::Kind::Dict:
            break;
        default:
            platform::setError(error, corruptError("unexpected object"));
            return false;
    }
    std::vector<std::string> chain;
    if (!classChain(node, chain, error)) return false;
    auto element = [&](const VTPlistNode& ref, platform::Value& v) {
        const VTPlistNode* target = nullptr;
        if (!ref.asUID()) {
            platform::setError(error, corruptError("value is not an object reference"));
            return false;
        }
        if (!resolve(ref.asUID()->value, target, error)) return false;
        if (!target) {
            v = platform::Value();
            return true;
        }
        return valueOf(*target, v, depth + 1, error);
    };
    if (isKindOf(chain, "NSArray") || isKindOf(chain, "NSSet") || isKindOf(chain, "NSOrderedSet")) {
        const VTPlistNode* objs = node.get("NS.objects");
        platform::Array a;
        if (objs && objs->asArray()) {
            for (const auto& ref : *objs->asArray()) {
                platform::Value v;
                if (!element(ref, v)) return false;
                a.push_back(std::move(v));
            }
        } else if (objs) {
            platform::setError(error, corruptError("array without elements"));
            return false;
        }
        out = platform::Value(std::move(a));
        return true;
    }
    if (isKindOf(chain, "NSDictionary")) {
        const VTPlistNode* keys = node.get("NS.keys");
        const VTPlistNode* objs = node.get("NS.objects");
        platform::Dictionary d;
        if (keys || objs) {
            if (!keys || !objs || !keys->asArray() || !objs->asArray() ||
                keys->asArray()->size() != objs->asArray()->size()) {
                platform::setError(error, corruptError("dictionary with unequal keys and values"));
                return false;
            }
            for (std::size_t i = 0; i < keys->asArray()->size(); ++i) {
                platform::Value k, v;
                if (!element((*keys->asArray())[i], k) || !element((*objs->asArray())[i], v))
                    return false;
                if (!k.isString()) {
                    platform::setError(error,
                                       classMismatch("NS.keys", "NSString", "non-string key"));
                    return false;
                }
                d.insert_or_assign(*k.asString(), std::move(v));
            }
        }
        out = platform::Value(std::move(d));
        return true;
    }
    if (isKindOf(chain, "NSDate")) {
        const VTPlistNode* t = node.get("NS.time");
        double seconds = t && t->asReal() ? *t->asReal() : 0;
        out = platform::Value(platform::Date{seconds + kReferenceDateOffset});
        return true;
    }
    if (isKindOf(chain, "NSNull")) {
        out = platform::Value();
        return true;
    }
    if (isKindOf(chain, "NSString")) {
        const VTPlistNode* s = node.get("NS.string");
        if (s && s->asString()) {
            out = platform::Value(*s->asString());
            return true;
        }
    }
    if (isKindOf(chain, "NSData")) {
        const VTPlistNode* s = node.get("NS.data");
        if (s && s->asData()) {
            out = platform::Value(*s->asData());
            return true;
        }
    }
    platform::setError(error, classMismatch("value", "a property-list class", chain.front()));
    return false;
}

bool VTKeyedUnarchiver::decodeValue(std::string_view key, std::string_view expectedClass,
                                    std::optional<platform::Value>& out, platform::Error* error) {
    out.reset();
    std::optional<std::uint64_t> uid;
    if (!uidForKey(key, uid, error)) return false;
    if (!uid) return true;
    const VTPlistNode* node = nullptr;
    if (!resolve(*uid, node, error)) return false;
    std::vector<std::string> chain;
    if (!classChain(*node, chain, error)) return false;
    if (!isKindOf(chain, expectedClass)) {
        platform::setError(error, classMismatch(key, expectedClass, chain.front()));
        return false;
    }
    platform::Value v;
    if (!valueOf(*node, v, 0, error)) return false;
    out = std::move(v);
    return true;
}

bool VTKeyedUnarchiver::arrayElementUIDs(std::string_view key, std::vector<std::uint64_t>& uids,
                                         bool& present, platform::Error* error) {
    present = false;
    std::optional<std::uint64_t> uid;
    if (!uidForKey(key, uid, error)) return false;
    if (!uid) return true;
    const VTPlistNode* node = nullptr;
    if (!resolve(*uid, node, error)) return false;
    std::vector<std::string> chain;
    if (!classChain(*node, chain, error)) return false;
    if (!isKindOf(chain, "NSArray")) {
        platform::setError(error, classMismatch(key, "NSArray", chain.front()));
        return false;
    }
    const VTPlistNode* objs = node->get("NS.objects");
    if (objs && !objs->asArray()) {
        platform::setError(error, corruptError("array without elements"));
        return false;
    }
    if (objs)
        for (const auto& ref : *objs->asArray()) {
            if (!ref.asUID()) {
                platform::setError(error, corruptError("value is not an object reference"));
                return false;
            }
            uids.push_back(ref.asUID()->value);
        }
    present = true;
    return true;
}
