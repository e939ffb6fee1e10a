// Installs a flat installer package: the work behind the "installer" tool
// and the install helper.
//
// A package is a signed xar archive holding either one component
// ("PackageInfo" and "Payload") or a distribution ("Distribution" and one
// folder "<name>.pkg/" per component). The package is first copied into a
// folder only root can reach, the copy is verified with the full signature
// check, and everything after reads the copy. A component's payload (a cpio
// or tar archive, possibly compressed) is checked entry by entry before
// anything is written: no absolute paths, no "..", no links that leave the
// install location, no device nodes, fifos or sockets. While writing, every
// entry is placed by a walk of the install location on disk that resolves
// the links already written inside it (platform::ContainedFolder): a link
// leading out, even through a chain of links, and a hard link to a symbolic
// link are refused. Files are written owned by root. The target is "/" or the
// mount point of a mounted volume that only root can change; anything else
// is refused. A receipt "/var/db/receipts/<identifier>.plist" records each
// component, once every component is written: its identifier and version,
// the volume ("InstallVolume"), the install location on it
// ("InstallPrefixPath") and the files relative to that location. A package
// that fails part-way removes the files and folders it made (never those
// that were there before) and leaves no receipt.
//
// Progress goes out as the lines the system installer prints with
// -verboseR, each handed over as soon as it is made:
//   installer: Package name is <identifier>
//   installer:PHASE:Preparing for installation…
//   installer:%<percent>
//   installer:PHASE:Writing files…
//   installer:The software was successfully installed   (or "The upgrade was successful.")
//   installer: Error - <reason>                          (on failure)
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pkginstall {

using OutputLine = std::function<void(const std::string& line)>;

/// What the package contains, for callers that want to know (the helper
/// starts the jobs its receipts list).
struct InstalledComponent {
    std::string identifier;
    std::string version;
    /// The install location inside the target ("/" or a folder).
    std::string installLocation;
    /// Installed files relative to the install location, as the receipt
    /// lists them: where they really went, links on the way resolved.
    std::vector<std::string> files;
};

struct InstallResult {
    int status = 1;  // 0 installed, 1 failed
    std::vector<InstalledComponent> components;
};

/// Installs the package at `packagePath` (a real path) onto the volume
/// `target` (a system path, resolved through Paths: "/" is the path root).
/// `payloadPercent` receives the overall percent as a number too, for
/// callers that do not parse lines (may be empty).
InstallResult installPackage(const std::string& packagePath, const std::string& target,
                             const OutputLine& out,
                             const std::function<void(double)>& payloadPercent = {});
/// The same for a package already open (read from its start; the descriptor
/// stays open): the install helper opens its client's packages with the
/// client's rights.
InstallResult installPackage(int packageFd, const std::string& target, const OutputLine& out,
                             const std::function<void(double)>& payloadPercent = {});

/// The tool's command line: -verboseR -target <dir> -package <path>. Writes
/// the lines to standard output; answers the exit status (0 or 1).
int installerMain(int argc, char** argv);

/// What a component's "PackageInfo" says.
struct PackageInfo {
    std::string identifier;
    std::string version;
    std::string installLocation = "/";
};
/// Parses and checks a "PackageInfo" document (no DTD, a safe identifier, an
/// absolute install location without ".."). False with `reason` otherwise.
bool parsePackageInfo(const std::string& xml, PackageInfo* info, std::string* reason);
/// Reads the payload archive at `path` entry by entry and checks every
/// entry; `bytes` receives the size of the regular files.
bool checkPayloadFile(const std::string& path, std::uint64_t* bytes, std::string* reason);

/// The checks on one payload entry name, relative to the install location:
/// non-empty, not absolute, no ".." component. Exposed for the fuzzer.
bool isSafeEntryName(const std::string& name);
/// Whether a symbolic link at `entryName` pointing to `target` stays inside
/// the install location.
bool isSafeLinkTarget(const std::string& entryName, const std::string& target);

}  // namespace pkginstall
