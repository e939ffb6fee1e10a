#include "VTErrorCreationLib/Utilities/VTExtendedAttributes.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>

#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"

namespace {

constexpr std::string_view kUserPrefix = "user.";

std::string systemName(std::string_view name) {
    return std::string(kUserPrefix) + std::string(name);
}

platform::Error attributeError(int code, const std::string& path, std::string_view name) {
    platform::Error e = VTErrorUtilities::errorWithPOSIXErrorForPath(code, path);
    e.setUserInfoValue(std::string(VTExtendedAttributeNameKey), platform::Value(name));
    return e;
}

std::string className(const platform::Value& value) {
    using T = platform::Value::Type;
    switch (value.type()) {
        case T::Null:
            return "NSNull";
        case T::Array:
            return "NSArray";
        case T::Dictionary:
            return "NSDictionary";
        default:
            return "NSObject";
    }
}

}  // namespace

std::optional<std::vector<std::string>> VTExtendedAttributes::namesOfExtendedAttributes(
    const std::string& path, platform::Error* error) {
    std::vector<char> buffer;
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
        if (size < 0) {
            platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(path));
            return std::nullopt;
        }
        if (size == 0) return std::vector<std::string>{};
        buffer.assign(static_cast<std::size_t>(size), 0);
        size = ::llistxattr(path.c_str(), buffer.data(), buffer.size());
        if (size < 0 && errno == ERANGE) continue;  // the list grew in between
        if (size < 0) {
            platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(path));
            return std::nullopt;
        }
        std::vector<std::string> names;
        for (std::size_t i = 0; i < static_cast<std::size_t>(size);) {
            std::size_t end = i;
            while (end < static_cast<std::size_t>(size) && buffer[end] != 0) ++end;
            std::string_view name(buffer.data() + i, end - i);
            if (name.substr(0, kUserPrefix.size()) == kUserPrefix)
                names.emplace_back(name.substr(kUserPrefix.size()));
            i = end + 1;
        }
        return names;
    }
    platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(ERANGE, path));
    return std::nullopt;
}

std::optional<platform::Data> VTExtendedAttributes::dataForExtendedAttribute(
    const std::string& path, std::string_view name, platform::Error* error) {
    std::string full = systemName(name);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t size = ::lgetxattr(path.c_str(), full.c_str(), nullptr, 0);
        if (size < 0) {
            platform::setError(error, attributeError(errno, path, name));
            return std::nullopt;
        }
        platform::Data data(static_cast<std::size_t>(size));
        if (size == 0) return data;
        size = ::lgetxattr(path.c_str(), full.c_str(), data.data(), data.size());
        if (size < 0 && errno == ERANGE) continue;
        if (size < 0) {
            platform::setError(error, attributeError(errno, path, name));
            return std::nullopt;
        }
        data.resize(static_cast<std::size_t>(size));
        return data;
    }
    platform::setError(error, attributeError(ERANGE, path, name));
    return std::nullopt;
}

bool VTExtendedAttributes::setExtendedAttributeData(const std::string& path,
                                                    const platform::Data& data,
                                                    std::string_view name, platform::Error* error) {
    if (::lsetxattr(path.c_str(), systemName(name).c_str(), data.data(), data.size(), 0) != 0) {
        platform::setError(error, attributeError(errno, path, name));
        return false;
    }
    return true;
}

std::optional<platform::Value> VTExtendedAttributes::valueOfExtendedAttribute(
    const std::string& path, std::string_view name, platform::Error* error) {
    auto data = dataForExtendedAttribute(path, name, error);
    if (!data) return std::nullopt;
    VTPlistNode node;
    platform::Error parseError;
    if (!VTReadPlist(data->data(), data->size(), &node, &parseError)) {
        parseError.setUserInfoValue(std::string(VTExtendedAttributeNameKey), platform::Value(name));
        platform::setError(error, std::move(parseError));
        return std::nullopt;
    }
    return VTValueFromPlistNode(node);
}

bool VTExtendedAttributes::setExtendedAttributeValue(const std::string& path,
                                                     const std::optional<platform::Value>& value,
                                                     std::string_view name,
                                                     platform::Error* error) {
    if (!value || value->isNull()) return removeExtendedAttribute(path, name, error);
    VTPlistNode node;
    if (!VTPlistNodeFromValue(*value, &node)) {
        platform::setError(
            error,
            platform::Error(
                std::string(platform::kCocoaErrorDomain), platform::kPropertyListWriteInvalidError,
                {{std::string(VTExtendedAttributeNameKey), platform::Value(name)},
                 {std::string(platform::kLocalizedDescriptionKey),
                  platform::Value(className(*value) + " cannot be serialized to plist")},
                 {"value", *value}}));
        return false;
    }
    return setExtendedAttributeData(path, VTWriteBinaryPlist(node), name, error);
}

std::optional<platform::Dictionary> VTExtendedAttributes::extendedAttributes(
    const std::string& path, platform::Error* error) {
    auto names = namesOfExtendedAttributes(path, error);
    if (!names) return std::nullopt;
    platform::Dictionary out;
    for (const auto& name : *names) {
        platform::Error valueError;
        auto value = valueOfExtendedAttribute(path, name, &valueError);
        if (!value) {
            if (!error) return out;
            platform::Error e(std::string(platform::kPOSIXErrorDomain), ENAMETOOLONG,
                              {{std::string(platform::kURLErrorKey), platform::Value(path)}});
            e.setUnderlyingError(std::move(valueError));
            *error = std::move(e);
            return std::nullopt;
        }
        out.insert_or_assign(name, std::move(*value));
    }
    return out;
}

bool VTExtendedAttributes::setExtendedAttributes(const std::string& path,
                                                 const platform::Dictionary& attributes,
                                                 platform::Error* error) {
    // Every entry is tried; the failures are reported together, also to a
    // caller that passes no error out-parameter (as a false result).
    std::vector<platform::Error> failures;
    for (const auto& [name, value] : attributes) {
        platform::Error e;
        if (!setExtendedAttributeValue(path, value, name, &e)) failures.push_back(std::move(e));
    }
    if (failures.empty()) return true;
    platform::Error e(std::string(VTUtilitiesErrorDomain), 0,
                      {{std::string(platform::kURLErrorKey), platform::Value(path)}});
    e.setErrorsForKey(std::string(VTUnderlyingErrorsKey), std::move(failures));
    platform::setError(error, std::move(e));
    return false;
}

bool VTExtendedAttributes::removeExtendedAttribute(const std::string& path, std::string_view name,
                                                   platform::Error* error) {
    if (::lremovexattr(path.c_str(), systemName(name).c_str()) != 0 && errno != ENODATA) {
        platform::setError(error, attributeError(errno, path, name));
        return false;
    }
    return true;
}

bool VTExtendedAttributes::hasExtendedAttribute(const std::string& path, std::string_view name) {
    if (name.empty()) return false;
    auto names = namesOfExtendedAttributes(path, nullptr);
    return names && std::find(names->begin(), names->end(), name) != names->end();
}
