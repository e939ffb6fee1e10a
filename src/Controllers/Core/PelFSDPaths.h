// Where the downloader puts what it fetches for the installer.
#pragma once

#include <string>

#include "Platform/System/Paths.h"
#include "Platform/Text/Format.h"

/// The download folder: the home folder joined by "%@/%@" with
/// "Library/Application Support/Pelgrave/FSD".
inline std::string fsdDownloadFolder() {
    return platform::format("%@/%@", platform::Paths::homeDirectory(),
                            std::string("Library/Application Support/Pelgrave/FSD"));
}
