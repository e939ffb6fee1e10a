// What tests read back of the files they or the code under test made.
#pragma once

#include <sys/stat.h>

#include <string>

namespace testsupport {

/// The permission bits (07777) of `path` itself, a link not followed; 0 when
/// nothing is there.
inline unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace testsupport
