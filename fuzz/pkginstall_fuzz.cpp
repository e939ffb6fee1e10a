// Drives the package installer's readers of package contents: the
// "PackageInfo" document and the payload archive with its entry checks.
// The first byte picks which one gets the rest of the input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "installer/PelPkgInstall.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string reason;
    if (data[0] & 1) {
        pkginstall::PackageInfo info;
        pkginstall::parsePackageInfo(rest, &info, &reason);
        return 0;
    }
    static const std::string path = "/tmp/pkginstall_fuzz." + std::to_string(getpid());
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(rest.data(), 1, rest.size(), f);
        std::fclose(f);
        std::uint64_t bytes = 0;
        pkginstall::checkPayloadFile(path, &bytes, &reason);
    }
    return 0;
}
