// Extended attributes of files as property-list values.
//
// Names are those of the "user." namespace without the prefix: the name
// "com.pelgrave.x" is stored as "user.com.pelgrave.x". Attributes of other
// namespaces are not listed. Links are not followed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// Added to every extended-attribute error: the attribute's name.
inline constexpr std::string_view VTExtendedAttributeNameKey = "VTExtendedAttributeName";
/// The errors of the single entries of a failed multi-attribute write
/// (read them with Error::errorsForKey).
inline constexpr std::string_view VTUnderlyingErrorsKey = "VTUnderlyingErrorsKey";

struct VTExtendedAttributes {
    /// The attribute names in the file system's order; nullopt with the
    /// POSIX error for the path.
    static std::optional<std::vector<std::string>> namesOfExtendedAttributes(
        const std::string& path, platform::Error* error);
    /// The attribute's bytes; nullopt with the POSIX error (ENODATA when it
    /// does not exist) carrying VTExtendedAttributeNameKey.
    static std::optional<platform::Data> dataForExtendedAttribute(const std::string& path,
                                                                  std::string_view name,
                                                                  platform::Error* error);
    /// Writes the bytes; false with the POSIX error carrying the name.
    static bool setExtendedAttributeData(const std::string& path, const platform::Data& data,
                                         std::string_view name, platform::Error* error);
    /// The attribute read as a property list (any format); nullopt with the
    /// reading or parsing error (NSCocoaErrorDomain 3840).
    static std::optional<platform::Value> valueOfExtendedAttribute(const std::string& path,
                                                                   std::string_view name,
                                                                   platform::Error* error);
    /// Writes `value` as a binary property list; a null value or nullopt
    /// removes the attribute. A value holding a null inside fails with
    /// NSCocoaErrorDomain 3852 ("<class> cannot be serialized to plist").
    static bool setExtendedAttributeValue(const std::string& path,
                                          const std::optional<platform::Value>& value,
                                          std::string_view name, platform::Error* error);
    /// Name -> value of every attribute. With an error out-parameter, the
    /// first value that cannot be read gives nullopt and a POSIX
    /// ENAMETOOLONG error with {NSURL: path} and that error as underlying
    /// error; without one, the values read up to it are returned.
    static std::optional<platform::Dictionary> extendedAttributes(const std::string& path,
                                                                  platform::Error* error);
    /// Writes every entry (null values remove), whatever the others gave.
    /// When any failed: false, and VTUtilitiesErrorDomain 0 with {NSURL:
    /// path} and the single errors under VTUnderlyingErrorsKey.
    static bool setExtendedAttributes(const std::string& path,
                                      const platform::Dictionary& attributes,
                                      platform::Error* error);
    /// Removes the attribute; a missing attribute counts as success.
    static bool removeExtendedAttribute(const std::string& path, std::string_view name,
                                        platform::Error* error);
    /// False for the empty name; otherwise whether the names include it.
    static bool hasExtendedAttribute(const std::string& path, std::string_view name);
};
