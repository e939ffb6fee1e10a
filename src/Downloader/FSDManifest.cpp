#include "Downloader/FSDManifest.h"

#include "Downloader/FSDError.h"
#include "Downloader/FSDManifestFiles.h"
#include "Downloader/FSDManifestValues.h"
#include "Platform/Values/Json.h"

namespace {

constexpr std::string_view kStartFailed = "Error occurred while starting FSD";
constexpr std::string_view kLoadFailed = "Error occurred:Load manifest failed";
constexpr std::string_view kNoValidJobs = "Jobs array did not contain any valid jobs";

// Fills `out` with `e` and answers false, so each failure reads as one line.
bool fail(platform::Error* out, platform::Error e) {
    platform::setError(out, std::move(e));
    return false;
}

}  // namespace

std::shared_ptr<FSDManifest> FSDManifest::createFSDManifest(
    const std::optional<std::string>& manifestPath, const std::optional<std::string>& sigPath,
    const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error) {
    return createFSDManifest(manifestPath, sigPath, std::nullopt, std::nullopt, pingUtils, error);
}

std::shared_ptr<FSDManifest> FSDManifest::createFSDManifestWithData(
    const std::optional<platform::Data>& manifestData, const std::optional<platform::Data>& sigData,
    const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error) {
    return createFSDManifest(std::nullopt, std::nullopt, manifestData, sigData, pingUtils, error);
}

std::shared_ptr<FSDManifest> FSDManifest::createFSDManifest(
    const std::optional<std::string>& manifestPath, const std::optional<std::string>& sigPath,
    std::optional<platform::Data> manifestData, const std::optional<platform::Data>& sigData,
    const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error) {
    auto manifest = std::make_shared<FSDManifest>();
    manifest->pingUtils_ = pingUtils;
    manifest->manifestPath_ = manifestPath;
    manifest->sigPath_ = sigPath;

    platform::Error stepError;
    const bool valid = manifestData && sigData
                           ? manifest->validateManifest(&manifestData, &sigData, &stepError)
                           : manifest->validateManifest(&manifestData, &stepError);
    if (!valid) {
        platform::setError(error, makeFSDError(kFSDErrorStart, kStartFailed, &stepError));
        return nullptr;
    }
    stepError = platform::Error();
    if (!manifest->loadManifestWithData(manifestData, &stepError)) {
        platform::setError(error, makeFSDError(kFSDErrorStart, kLoadFailed, &stepError));
        return nullptr;
    }
    return manifest;
}

bool FSDManifest::loadManifestWithData(const std::optional<platform::Data>& data,
                                       platform::Error* error) {
    platform::Error parseError;
    if (parse(data, &parseError)) return true;
    if (auto ping = pingUtils_.lock())
        ping->sendFSDManifestParsingFailedPing(1, 1, kFSDErrorManifestParse, failOverURLString_,
                                               parseError.empty() ? nullptr : &parseError);
    if (!parseError.empty()) platform::setError(error, std::move(parseError));
    return false;
}

bool FSDManifest::parse(const std::optional<platform::Data>& data, platform::Error* error) {
    if (!data)
        return fail(error,
                    makeFSDError(kFSDErrorManifestParse, "Error occurred: Manifest data is nil."));
    platform::Error jsonError;
    auto root = platform::json::parse(std::span<const std::uint8_t>(*data), &jsonError);
    // The manifest's root must be an object: any other JSON value has no
    // "fsd" member to read.
    if (!root || !root->isDictionary()) {
        return fail(error, makeFSDError(kFSDErrorManifestParse,
                                        "Error occurred: json dictionary is not a Valid JSONObject",
                                        root ? nullptr : &jsonError));
    }
    const platform::Value* fsd = root->get("fsd");
    if (!fsd) return true;  // no download described: no job, no identifier
    if (!fsd->isDictionary()) {
        return fail(error,
                    makeFSDError(kFSDErrorManifestParse,
                                 "Error occurred: json dictionary is not a Valid JSONObject"));
    }
    fsdDic_ = *fsd->asDictionary();

    const platform::Value* jobArray = fsdvalues::valueAtKeyPath(fsdDic_, "job_array");
    const platform::Value* version = fsdvalues::valueAtKeyPath(fsdDic_, "global.manifest_version");
    platform::Error jobError;
    if (!version || *version == platform::Value(1.0)) {
        auto job = PelFSDJob::createJobUsingDefaultVersionWithDic(
            jobArray ? *jobArray : platform::Value(), &jobError);
        if (!job) return fail(error, makeFSDError(kFSDErrorNoValidJobs, kNoValidJobs, &jobError));
        pelJobsArray_.push_back(job);
        if (auto setup = PelFSDJob::getSetupInstallerFile(job.get(), nullptr))
            setupInstallerFile_ = std::move(setup);
    } else if (jobArray) {
        const platform::Array* jobs = jobArray->asArray();
        if (!jobs) return fail(error, makeFSDError(kFSDErrorNoValidJobs, kNoValidJobs));
        for (const platform::Value& element : *jobs) {
            auto job = PelFSDJob::createJobWithDic(element, &jobError);
            if (!job)
                return fail(error, makeFSDError(kFSDErrorNoValidJobs, kNoValidJobs, &jobError));
            pelJobsArray_.push_back(job);
            if (auto setup = PelFSDJob::getSetupInstallerFile(job.get(), nullptr))
                setupInstallerFile_ = std::move(setup);
        }
    }
    if (pelJobsArray_.size() >= 2)
        return fail(error, makeFSDError(kFSDErrorTooManyJobs, "Manifest has more than ONE jobs"));

    // An identifier that is not UUID text counts as missing: pings must not
    // carry a made-up one.
    manifestId_ = fsdvalues::uuid(fsdDic_, "global.manifest_id");
    if (!manifestId_) {
        return fail(error, makeFSDError(kFSDErrorManifestParse,
                                        "Manifest ID was missing from the FSD Manifest"));
    }
    if (auto ping = pingUtils_.lock()) ping->setManifest_id(manifestId_);

    failOverURLString_ = fsdvalues::nonEmptyString(fsdDic_, "global.failover");
    // Without a fail-over address the manifest is refused, with no error of
    // its own; the caller reports the failed load.
    return failOverURLString_.has_value();
}

const platform::Value* FSDManifest::objectForKey(std::string_view keyPath) const {
    return fsdvalues::valueAtKeyPath(fsdDic_, keyPath);
}
