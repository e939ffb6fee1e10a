// Download manifest JSON: the manifest parser with its job and file readers,
// as reached once the signature check has passed (or was skipped).
#include <cstddef>
#include <cstdint>

#include "Downloader/FSDManifest.h"
#include "Downloader/FSDManifestValues.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fsdvalues::normalisedURL(text);

    FSDManifest manifest;
    platform::Error error;
    if (!manifest.loadManifestWithData(platform::Data(data, data + size), &error)) return 0;
    for (const auto& job : manifest.pelJobsArray()) {
        for (const auto& file : job->fileArray()) {
            file->downloadURL();
            file->pkgName();
        }
        PelFSDJob::getSetupInstallerFile(job.get(), nullptr);
    }
    manifest.objectForKey("global.manifest_version");
    return 0;
}
