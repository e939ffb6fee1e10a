#include "Downloader/PelFSDFile.h"

#include <algorithm>

#include "Downloader/FSDError.h"
#include "Downloader/FSDManifestValues.h"

namespace {

constexpr std::string_view kFileEntriesMissing = "Some entires were missing in the FSD file";

// A negative count would wrap to an endless number of retries in the
// unsigned property, and a huge one would retry a dead server for ever.
std::uint64_t boundedRetries(std::int64_t value) {
    if (value <= 0) return 0;
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(value), PelFSDFile::kMaxRetries);
}

std::int64_t pingModule(const platform::Dictionary& dic) {
    auto n = fsdvalues::number(dic, "ping_module");
    return n ? n->int64Value() : PelFSDFile::kDefaultPingModule;
}

// The names a file carries are joined to download and unpacking folders, so
// each must be one plain path component: a name that climbs out of its
// folder ("..", "a/../../b") or is no name at all refuses the file.
bool isPlainFileName(const std::optional<std::string>& name) {
    if (!name) return true;
    return *name != "." && *name != ".." && name->find('/') == std::string::npos &&
           name->find('\0') == std::string::npos;
}

bool namesArePlain(const PelFSDFile& file) {
    return isPlainFileName(file.pkgName()) && isPlainFileName(file.reqsPlist()) &&
           isPlainFileName(file.brandingLogo());
}

std::shared_ptr<PelFSDFile> refuse(platform::Error* error) {
    platform::setError(error, makeFSDError(kFSDErrorJobOrFile, kFileEntriesMissing));
    return nullptr;
}

}  // namespace

std::shared_ptr<PelFSDFile> PelFSDFile::createFileWithDic(const platform::Value& value,
                                                          platform::Error* error) {
    const platform::Dictionary* dic = value.asDictionary();
    if (!dic) return refuse(error);
    auto file = std::make_shared<PelFSDFile>();
    file->pkgName_ = fsdvalues::nonEmptyString(*dic, "destination_file");
    file->appName_ = file->pkgName_;
    const platform::Value* type = fsdvalues::valueAtKeyPath(*dic, "type");
    if (type && type->isString() && *type->asString() == "layout_requirement") {
        file->fileType_ = kSetupInstallerFileType;
        const platform::Value* destination = fsdvalues::valueAtKeyPath(*dic, "destination_file");
        if (destination && destination->isDictionary()) {
            file->reqsPlist_ =
                fsdvalues::nonEmptyString(*destination->asDictionary(), "REQUIREMENTS_PLIST");
            file->brandingLogo_ =
                fsdvalues::nonEmptyString(*destination->asDictionary(), "BRANDING_LOGO");
        }
    } else {
        file->fileType_ = kOrdinaryFileType;
    }
    if (auto source = fsdvalues::nonEmptyString(*dic, "source_file"))
        file->downloadURL_ = fsdvalues::normalisedURL(*source);
    file->retries_ =
        boundedRetries(fsdvalues::integerValue(*dic, "TRANSIENT_ERROR_RETRY_COUNT", 0));
    file->filePriority_ = fsdvalues::integerValue(*dic, "file_priority", 0);
    file->pingModuleID_ = pingModule(*dic);
    if (!file->downloadURL_ || !namesArePlain(*file)) return refuse(error);
    return file;
}

std::shared_ptr<PelFSDFile> PelFSDFile::createFileUsingDefaultVersionWithDic(
    const platform::Value& value, platform::Error* error) {
    const platform::Dictionary* dic = value.asDictionary();
    if (!dic) return refuse(error);
    auto file = std::make_shared<PelFSDFile>();
    file->pkgName_ = fsdvalues::nonEmptyString(*dic, "product_data.PACKAGE_NAME");
    file->appName_ = file->pkgName_;
    file->brandingLogo_ = fsdvalues::nonEmptyString(*dic, "product_data.BRANDING_LOGO");
    file->reqsPlist_ = fsdvalues::nonEmptyString(*dic, "product_data.REQUIREMENTS_PLIST");
    const auto jobType = fsdvalues::nonEmptyString(*dic, "distribution.job_type");
    file->fileType_ = jobType == "SETUP_INSTALLER" ? kSetupInstallerFileType : kOrdinaryFileType;
    if (auto source = fsdvalues::nonEmptyString(*dic, "environment.PAYLOAD_SOURCE"))
        file->downloadURL_ = fsdvalues::normalisedURL(*source);
    file->retries_ = boundedRetries(fsdvalues::integerValue(*dic, "job_retries", 0));
    const platform::Value* ignore = fsdvalues::valueAtKeyPath(*dic, "job_ignore_failure");
    file->filePriority_ = ignore &&
                                  (ignore->isBool() || ignore->isNumber() || ignore->isString()) &&
                                  ignore->boolValue()
                              ? -1
                              : 0;
    file->pingModuleID_ = pingModule(*dic);
    if (!file->downloadURL_ || !namesArePlain(*file)) return refuse(error);
    return file;
}

std::optional<std::string> PelFSDFile::get(const std::optional<std::string>& field) const {
    std::lock_guard lock(mutex_);
    return field;
}

void PelFSDFile::set(std::optional<std::string>& field, std::optional<std::string> v) {
    std::lock_guard lock(mutex_);
    field = std::move(v);
}

std::optional<std::string> PelFSDFile::downloadURL() const { return get(downloadURL_); }
void PelFSDFile::setDownloadURL(std::optional<std::string> v) { set(downloadURL_, std::move(v)); }
std::optional<std::string> PelFSDFile::pkgName() const { return get(pkgName_); }
void PelFSDFile::setPkgName(std::optional<std::string> v) { set(pkgName_, std::move(v)); }
std::optional<std::string> PelFSDFile::appName() const { return get(appName_); }
void PelFSDFile::setAppName(std::optional<std::string> v) { set(appName_, std::move(v)); }
std::optional<std::string> PelFSDFile::reqsPlist() const { return get(reqsPlist_); }
void PelFSDFile::setReqsPlist(std::optional<std::string> v) { set(reqsPlist_, std::move(v)); }
std::optional<std::string> PelFSDFile::brandingLogo() const { return get(brandingLogo_); }
void PelFSDFile::setBrandingLogo(std::optional<std::string> v) { set(brandingLogo_, std::move(v)); }
std::optional<std::string> PelFSDFile::downloadLocalPath() const { return get(downloadLocalPath_); }
void PelFSDFile::setDownloadLocalPath(std::optional<std::string> v) {
    set(downloadLocalPath_, std::move(v));
}
