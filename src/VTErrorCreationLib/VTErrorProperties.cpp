#include "VTErrorCreationLib/VTErrorProperties.h"

#include <mutex>
#include <vector>

#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"

namespace {

std::mutex& fillerMutex() {
    static std::mutex m;
    return m;
}

VTErrorProperties::Filler& currentFiller() {
    static VTErrorProperties::Filler filler;
    return filler;
}

bool isVersionKey(std::string_view key) {
    return key == "osVersion" || key == "clientVersion" || key == "moduleVersion" ||
           key == "pelgraveModuleVersion" || key == "productVersion";
}

// Numbers compare by value, booleans as the numbers 0 and 1.
bool valuesEqual(const platform::Value& a, const platform::Value& b) {
    if ((a.isBool() && b.isNumber()) || (a.isNumber() && b.isBool()))
        return a.doubleValue() == b.doubleValue();
    return a == b;
}

std::uint64_t patternBucket(const platform::Value& v) {
    if (v.isString()) return VTStringUtilities::hexValue(*v.asString());
    if (v.type() == platform::Value::Type::Integer)
        return static_cast<std::uint64_t>(v.int64Value());
    if (v.isNumber()) return v.uint64Value();
    return 0;
}

std::vector<std::string_view> split(std::string_view s) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = s.find(',', start);
        parts.push_back(s.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return parts;
}

bool versionElementMatches(std::string_view pattern, std::string_view value) {
    if (pattern == value || pattern == "*") return true;
    const platform::Value wildcard("*");
    const platform::Value zero(std::uint64_t{0});
    auto p = VTStringUtilities::versionComponents(pattern, wildcard, zero);
    if (!p) return true;
    auto& last = (*p)[3];
    if (last.type() == platform::Value::Type::Unsigned && last.uint64Value() == 0) last = wildcard;
    auto v = VTStringUtilities::versionComponents(value, wildcard, zero);
    for (std::size_t i = 0; i < 4; ++i) {
        if ((*p)[i] == wildcard) continue;
        if (!v || (*p)[i] != (*v)[i]) return false;
    }
    return true;
}

}  // namespace

std::span<const VTField<VTErrorProperties>> VTErrorProperties::codingFields() {
    using P = VTErrorProperties;
#define VT_ERROR_PROPERTIES_FIELD(Type, name, Name) VTMakeField<&P::name##_>(#name),
    static const VTField<P> fields[] = {VT_ERROR_PROPERTIES_FIELDS(VT_ERROR_PROPERTIES_FIELD)};
#undef VT_ERROR_PROPERTIES_FIELD
    return fields;
}

void VTErrorProperties::setCurrentMachineFiller(Filler filler) {
    std::lock_guard<std::mutex> lock(fillerMutex());
    currentFiller() = std::move(filler);
}

bool VTErrorProperties::compareLocale(std::string_view pattern, std::string_view value) {
    if (pattern == value || pattern == "*") return true;
    std::size_t p = pattern.find('-');
    std::size_t v = value.find('-');
    if (p == std::string_view::npos || v == std::string_view::npos) return false;
    return pattern.substr(p + 1) == "*" && pattern.substr(0, p) == value.substr(0, v);
}

bool VTErrorProperties::compareVersion(std::string_view pattern, std::string_view value) {
    std::vector<std::string_view> values = split(value);
    for (std::string_view p : split(pattern))
        for (std::string_view v : values)
            if (versionElementMatches(p, v)) return true;
    return false;
}

bool VTErrorProperties::matchPropertyValues(const platform::Dictionary& pattern, bool any,
                                            bool ignoringBucketID) const {
    return matchImpl(pattern, any, ignoringBucketID, false, nullptr);
}

bool VTErrorProperties::wouldMatchPropertyValues(const platform::Dictionary& pattern, bool any,
                                                 bool ignoringBucketID) const {
    Filler filler;
    {
        std::lock_guard<std::mutex> lock(fillerMutex());
        filler = currentFiller();
    }
    return matchImpl(pattern, any, ignoringBucketID, true, &filler);
}

bool VTErrorProperties::wouldMatchPropertyValues(const platform::Dictionary& pattern, bool any,
                                                 bool ignoringBucketID,
                                                 const Filler& filler) const {
    return matchImpl(pattern, any, ignoringBucketID, true, &filler);
}

bool VTErrorProperties::matchImpl(const platform::Dictionary& pattern, bool any,
                                  bool ignoringBucketID, bool would, const Filler* filler) const {
    if (!ignoringBucketID) {
        if (auto it = pattern.find("bucketId");
            it != pattern.end() && patternBucket(it->second) != bucketId_)
            return false;
    }
    if (pattern.empty()) return true;

    std::optional<VTErrorProperties> fresh;
    bool anyMatched = false;
    for (const auto& [key, expected] : pattern) {
        std::optional<platform::Value> actual = valueForKey(key);
        if (!actual && would) {
            if (!fresh) {
                fresh.emplace();
                if (filler && *filler) (*filler)(*fresh);
            }
            actual = fresh->valueForKey(key);
        }

        bool matched;
        if (would && key == "failureSeverity") {
            matched = expected.int64Value() >= failureSeverity_;
        } else if (!actual) {
            // Compared as absent: only the locale pattern "*" matches it.
            matched =
                would && key == "localeName" && expected.isString() && *expected.asString() == "*";
        } else if (key == "localeName" && expected.isString() && actual->isString()) {
            matched = compareLocale(*expected.asString(), *actual->asString());
        } else if (isVersionKey(key) && expected.isString() && actual->isString()) {
            matched = compareVersion(*expected.asString(), *actual->asString());
        } else {
            matched = valuesEqual(expected, *actual);
        }

        // With `any`, one matching pair decides; otherwise one mismatch does.
        if (matched && any) return true;
        if (!matched && !any) return false;
        anyMatched = anyMatched || matched;
    }
    return anyMatched || !any;
}
