// Making configuration files of the error-reporting library: a property-list
// dictionary of configuration properties becomes a scrambled vtscd.dat with
// its detached signature vtscd.sig. Development tooling: never linked into
// the product.
#pragma once

#include <optional>
#include <string>

#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "pelsign/DevSigning.h"

namespace vtscdtool {

/// A configuration with the defaults, then the dictionary's entries set by
/// property name. "gateways" is an array of dictionaries with "type",
/// "priority" and either "url" or "host", "port", "URI" and "useSSL".
/// basePath and scdPath are refused (a stored configuration never carries its
/// location). Returns nullopt and fills `problem` on an unknown key or a
/// value of the wrong type.
std::optional<VTSCDConfiguration> configurationFromDictionary(const platform::Dictionary& values,
                                                              std::string* problem);

/// The scrambled keyed archive of the configuration (the bytes of vtscd.dat).
platform::Data encodeConfiguration(const VTSCDConfiguration& configuration);

/// Writes `datBytes` to folder/vtscd.dat and their detached signature (RSA,
/// SHA-1, PKCS#1 v1.5) to folder/vtscd.sig. Throws std::runtime_error when a
/// file cannot be written.
void writeSignedFiles(const platform::Data& datBytes, const devsign::PrivateKey& key,
                      const std::string& folder);

/// Reads a property-list file (XML or binary) whose root is a dictionary.
std::optional<platform::Dictionary> readPropertyListFile(const std::string& path,
                                                         std::string* problem);

}  // namespace vtscdtool
