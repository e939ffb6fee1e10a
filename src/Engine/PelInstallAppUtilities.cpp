#include "Engine/PelInstallAppUtilities.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Foundation/PelLogging.h"
#include "Foundation/PelPathUtils.h"
#include "Platform/System/Paths.h"
#include "Platform/Text/Format.h"
#include "Platform/Values/Json.h"

namespace {

constexpr const char* kManifestName = ".fsd/fsdmanifest.js";
constexpr const char* kSignatureName = ".fsd/fsdmanifest-sig.txt";
constexpr const char* kFSDFolder = "Library/Application Support/Pelgrave/FSD";
constexpr const char* kSupportFolder = "PelSupportFolder";
constexpr const char* kBasePackage = "Ostrel for Mac.mpkg";

std::mutex gSharedMutex;
std::shared_ptr<PelInstallAppUtilities> gShared;
bool gSharedMade = false;

std::string parentFolder(const std::string& path) {
    return std::filesystem::path(path).lexically_normal().parent_path().string();
}

// Whether folder F holds both manifest files; fills the paths when it does.
bool manifestPairIn(const std::string& folder, PelInstallAppUtilities::OptionalPath* manifest,
                    PelInstallAppUtilities::OptionalPath* signature) {
    std::string m = folder + "/" + kManifestName;
    std::string s = folder + "/" + kSignatureName;
    if (!PelInstallAppUtilities::doesManifestExist(m, s)) return false;
    if (manifest) *manifest = m;
    if (signature) *signature = s;
    return true;
}

// The item's creation time in seconds since 1970; the change of contents
// where the file system keeps no creation time.
std::mutex gDateMutex;
PelInstallAppUtilities::CreationDateSource gDateSource;

std::optional<double> fileCreationTime(const std::string& path) {
    struct statx info {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0)
        return std::nullopt;
    const struct statx_timestamp& t =
        (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::optional<double> creationTime(const std::string& path) {
    PelInstallAppUtilities::CreationDateSource source;
    {
        std::lock_guard lock(gDateMutex);
        source = gDateSource;
    }
    return source ? source(path) : fileCreationTime(path);
}

std::optional<std::string> manifestIdentifier(const std::string& manifest) {
    std::ifstream in(manifest, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    auto json = platform::json::parse(text.str(), nullptr);
    if (!json || !json->isDictionary()) return std::nullopt;
    const platform::Value* global = json->get("fsd") ? json->get("fsd")->get("global") : nullptr;
    const platform::Value* id = global ? global->get("manifest_id") : nullptr;
    if (!id || !id->isString()) return std::nullopt;
    std::string value = id->stringValue();
    value.erase(
        std::remove_if(value.begin(), value.end(), [](char c) { return c == '{' || c == '}'; }),
        value.end());
    return value;
}

std::vector<std::string> sortedListing(const std::string& folder, std::error_code& error) {
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool isFolder(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

}  // namespace

std::shared_ptr<PelInstallAppUtilities> PelInstallAppUtilities::sharedUtilities() {
    std::lock_guard lock(gSharedMutex);
    if (!gSharedMade) {
        gSharedMade = true;
        gShared = std::make_shared<PelInstallAppUtilities>(platform::Bundle::mainBundle());
    }
    return gShared;
}

void PelInstallAppUtilities::resetInstance() {
    std::lock_guard lock(gSharedMutex);
    gSharedMade = true;
    gShared.reset();
}

void PelInstallAppUtilities::replaceInstance(std::shared_ptr<PelInstallAppUtilities> utilities) {
    std::lock_guard lock(gSharedMutex);
    gSharedMade = true;
    gShared = std::move(utilities);
}

void PelInstallAppUtilities::setCreationDateSource(CreationDateSource source) {
    std::lock_guard lock(gDateMutex);
    gDateSource = std::move(source);
}

PelInstallAppUtilities::PelInstallAppUtilities(std::shared_ptr<const platform::Bundle> bundle)
    : bundle_(std::move(bundle)) {
    searchManifest();
}

void PelInstallAppUtilities::searchManifest() {
    OptionalPath manifest, signature;
    bool found = manifestPairIn(parentFolder(bundle_->bundlePath()), &manifest, &signature);
    if (!found) {
        std::string downloads = platform::Paths::downloadsDirectory();
        platform::Value product = bundle_->objectForInfoDictionaryKey("PEL_PRODUCT_NAME");
        if (isFolder(downloads) && product.isString()) {
            searchForLatestManifest(downloads, product.stringValue(), &manifest, &signature);
            found = doesManifestExist(manifest, signature);
        }
    }
    // This system keeps no register of the application's copies to ask, so
    // the fallback is the search over the Downloads folders.
    if (!found) found = isManifestExistsLesser10_11(&manifest, &signature);
    if (found && doesManifestExist(manifest, signature)) {
        PelLogging::logNoticeMessageWithFormat("Path to Manifest:%@", *manifest);
        PelLogging::logNoticeMessageWithFormat("Path to Manifest-Sig:%@", *signature);
        std::lock_guard lock(mutex_);
        manifestPath_ = manifest;
        sigPath_ = signature;
    }
}

PelInstallAppUtilities::OptionalPath PelInstallAppUtilities::manifestPath() const {
    std::lock_guard lock(mutex_);
    return manifestPath_;
}

PelInstallAppUtilities::OptionalPath PelInstallAppUtilities::sigPath() const {
    std::lock_guard lock(mutex_);
    return sigPath_;
}

PelInstallAppUtilities::OptionalPath PelInstallAppUtilities::installerDirWithManifestTimeStamp()
    const {
    std::lock_guard lock(mutex_);
    return stamp_;
}

bool PelInstallAppUtilities::isFSDBasedInstall() const {
    std::lock_guard lock(mutex_);
    return manifestPath_ && sigPath_;
}

bool PelInstallAppUtilities::doesManifestExist(const OptionalPath& manifest,
                                               const OptionalPath& signature) {
    auto& files = PelPathUtils::sharedPathUtils();
    return files.fileExistsAtPath(manifest) && files.fileExistsAtPath(signature);
}

void PelInstallAppUtilities::searchForLatestManifest(const std::string& downloads,
                                                     const std::string& productName,
                                                     OptionalPath* manifest,
                                                     OptionalPath* signature) {
    std::optional<std::regex> pattern;
    try {
        // The product name goes in as written, as part of the pattern.
        pattern.emplace("Install " + productName + "([-]?[\\d]*).localized( ?.*)");
    } catch (const std::regex_error&) {
        PelLogging::logErrorMessageWithFormat("%s: The product name %@ makes no valid pattern",
                                              __func__, productName);
    }
    std::error_code error;
    std::vector<std::string> names = sortedListing(downloads, error);
    std::vector<std::string> entries;
    std::optional<double> chosenTime;
    bool chosen = false;
    for (const std::string& name : names) {
        if (!pattern || !std::regex_match(name, *pattern)) continue;
        std::string folder = downloads + "/" + name;
        OptionalPath m, s;
        if (!isFolder(folder) || !manifestPairIn(folder, &m, &s)) continue;
        std::optional<double> created = creationTime(*m);
        if (!chosen || (created && chosenTime && *created > *chosenTime)) {
            chosen = true;
            chosenTime = created;
            if (manifest) *manifest = m;
            if (signature) *signature = s;
        }
        if (auto id = manifestIdentifier(*m)) {
            std::optional<double> folderCreated = creationTime(folder);
            entries.push_back(platform::format("%@_%f_%@", name, folderCreated.value_or(0.0), *id));
        }
    }
    std::string stamp;
    for (const std::string& e : entries) stamp += (stamp.empty() ? "" : ",") + e;
    std::lock_guard lock(mutex_);
    stamp_ = stamp;
}

bool PelInstallAppUtilities::isManifestExistsGreater10_11(
    const std::vector<std::string>& registeredCopies, const platform::Bundle& running,
    OptionalPath* manifest, OptionalPath* signature) {
    for (const std::string& copy : registeredCopies) {
        auto bundle = platform::Bundle::bundleWithPath(copy);
        if (!bundle || bundle->infoDictionary() != running.infoDictionary()) continue;
        if (manifestPairIn(parentFolder(bundle->bundlePath()), manifest, signature)) return true;
    }
    return false;
}

bool PelInstallAppUtilities::isManifestExistsLesser10_11(OptionalPath* manifest,
                                                         OptionalPath* signature) {
    std::string downloads = platform::Paths::downloadsDirectory();
    std::error_code error;
    std::vector<std::string> names = sortedListing(downloads, error);
    if (error) {
        PelLogging::logErrorMessageWithFormat(
            "Error occurred while searching the download directory for the fsd folder.%@",
            platform::Error::posix(error.value(), downloads));
        return false;
    }
    for (const std::string& name : names) {
        std::string folder = downloads + "/" + name;
        if (isFolder(folder) && manifestPairIn(folder, manifest, signature)) return true;
    }
    return false;
}

std::string PelInstallAppUtilities::basePkgDir() const {
    if (isFSDBasedInstall())
        return platform::format("%@/%@", platform::Paths::homeDirectory(), kFSDFolder);
    std::string folder =
        platform::format("%@/Contents/Resources/%@", bundle_->bundlePath(), kSupportFolder);
    if (PelPathUtils::sharedPathUtils().fileExistsAtPath(
            platform::format("%@/%s", folder, kBasePackage)))
        return folder;
    return parentFolder(bundle_->bundlePath());
}

PelInstallAppUtilities::OptionalPath PelInstallAppUtilities::basePkgPath(
    const std::string& name) const {
    auto& files = PelPathUtils::sharedPathUtils();
    OptionalPath path;
    if (isFSDBasedInstall()) {
        path =
            platform::format("%@/%@/%@.mpkg", platform::Paths::homeDirectory(), kFSDFolder, name);
    } else {
        std::string bundled = platform::format("%@/Contents/Resources/%@/%s", bundle_->bundlePath(),
                                               kSupportFolder, kBasePackage);
        if (files.fileExistsAtPath(bundled)) {
            path = bundled;
        } else {
            std::string folder = basePkgDir();
            std::error_code error;
            for (const std::string& entry : sortedListing(folder, error)) {
                if (entry.find("mpkg") != std::string::npos &&
                    entry.find("SKU") == std::string::npos) {
                    path = platform::format("%@/%@", folder, entry);
                    break;
                }
            }
        }
    }
    if (!path || !files.fileExistsAtPath(path)) return std::nullopt;
    return path;
}

PelInstallAppUtilities::OptionalPath PelInstallAppUtilities::pathToRequirementsPlist() {
    std::lock_guard lock(mutex_);
    OptionalPath path = requirementsPath_;
    if (!path)
        path = platform::Paths::join(platform::Paths::join(bundle_->resourcePath(), kSupportFolder),
                                     "Requirements.plist");
    if (!PelPathUtils::sharedPathUtils().fileExistsAtPath(path)) path.reset();
    requirementsPath_ = path;
    return path;
}

void PelInstallAppUtilities::setPathToRequirementsPlist(OptionalPath path) {
    std::lock_guard lock(mutex_);
    requirementsPath_ = std::move(path);
}
