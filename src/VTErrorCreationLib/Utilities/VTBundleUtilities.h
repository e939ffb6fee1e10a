// Versions of bundles and executables, and the bundle folder of an
// executable.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

struct VTBundleUtilities {
    /// The version text of a bundle from its information dictionary:
    /// "CFBundleShortVersionString" when it already carries a build number;
    /// else the short version + "f" + "BuildVersion" (or "CFBundleVersion")
    /// when that is a non-zero integer ("8.4.2" and 21 give "8.4.2f21"); else
    /// the short version. Without a short version, "CFBundleVersion" or
    /// "SourceVersion" when it contains "."; else nullopt.
    static std::optional<std::string> bundleVersion(const platform::Dictionary& info);
    /// bundleVersion of the bundle folder's Contents/Info.plist (or
    /// Resources/Info.plist, or Info.plist); nullopt when none is readable.
    static std::optional<std::string> bundleVersionAtPath(const std::string& bundlePath);

    /// The folder of the bundle that holds the executable at `path`
    /// (".../X.app/Contents/MacOS/X" gives ".../X.app"; a framework's
    /// ".../Y.framework/Versions/A/Y" gives ".../Y.framework"), the path
    /// itself when it is a folder, or nullopt.
    static std::optional<std::string> bundlePathFromExecutablePath(std::string_view path);
    static std::optional<std::string> bundlePathFromExecutableFileSystemRepresentation(
        const char* path, std::size_t length);

    /// The information property list embedded in the executable at `path`.
    /// nullopt without an error when the file has none (or is of another
    /// format); nullopt with an error when the file cannot be read (POSIX
    /// error), is truncated or inconsistent (VTUtilitiesErrorDomain 2,
    /// NSMachErrorDomain 29) or the section is not a property list
    /// (NSCocoaErrorDomain 3840).
    static std::optional<platform::Dictionary> infoPlistForURL(const std::string& path,
                                                               platform::Error* error);
    /// The version text of an executable from its embedded list, or nullopt.
    static std::optional<std::string> executableVersionForURL(const std::string& path);
    /// The rule of executableVersionForURL on an information dictionary: the
    /// short version + "f" + build when the build is a non-zero integer and
    /// the short version has no stage letter, else the short version;
    /// without one, "CFBundleVersion" or "SourceVersion" when it contains
    /// ".", else "CFBundleVersion" as it is.
    static std::optional<std::string> executableVersion(const platform::Dictionary& info);
};
