// Builds signed flat installer packages for development and tests: a
// component package ("PackageInfo" and "Payload") or a distribution
// ("Distribution" and "<identifier>.pkg/" per component). The payload is a
// gzip-compressed cpio archive. Throws std::runtime_error on failure, like
// the rest of the development signing library.
#pragma once

#include <string>
#include <vector>

#include "pelsign/XarWriter.h"

namespace mkpkg {

using platform::Data;

struct PayloadEntry {
    enum class Kind { File, Directory, Symlink, Hardlink, CharDevice, Fifo };
    std::string name;  // relative path inside the payload, as archived
    Kind kind = Kind::File;
    std::string contents;    // File
    std::string linkTarget;  // Symlink, Hardlink
    unsigned mode = 0644;
};

/// The entries of a folder, recursively, names sorted ("./a", "./a/b"...).
std::vector<PayloadEntry> entriesFromFolder(const std::string& folder);

/// A gzip-compressed cpio (odc) archive of the entries, owned by root; a
/// tar (pax) archive with `tar`, which can hold hard links by name.
Data buildPayload(const std::vector<PayloadEntry>& entries, bool tar = false);

struct Component {
    std::string identifier;
    std::string version = "1.0";
    std::string installLocation = "/";
    std::vector<PayloadEntry> payload;
    /// Write the payload as tar rather than cpio.
    bool tarPayload = false;
    /// Further archive members of the component ("Scripts", ...).
    std::vector<devsign::XarEntry> extraFiles;
};

/// The PackageInfo document of a component.
std::string packageInfo(const Component& component);

Data buildComponentPackage(const Component& component, const devsign::XarSigning& signing);
Data buildDistributionPackage(const std::string& title, const std::vector<Component>& components,
                              const devsign::XarSigning& signing);

}  // namespace mkpkg
