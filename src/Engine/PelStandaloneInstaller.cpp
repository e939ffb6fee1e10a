#include "Engine/PelStandaloneInstaller.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "Engine/PelPrivatePackageCopy.h"
#include "Engine/PelSystemInstaller.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelSignature.h"

namespace {

bool responds(InstallProgressProtocol* p, InstallProgressOperation op) {
    return p && p->respondsTo(op);
}

// The number the text starts with, when it is finite.
std::optional<double> finiteNumber(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

PelStandaloneInstaller::PelStandaloneInstaller(std::shared_ptr<platform::TaskLauncher> launcher)
    : launcher_(launcher ? std::move(launcher) : platform::defaultTaskLauncher()),
      parser_({[this](const std::string& t) { sendPhaseString(t); },
               [this](const std::string& t) { sendPercentString(t); },
               [this](const std::string& t) { sendInstallCompleteReason(t); }}) {}

int PelStandaloneInstaller::installPackages(const platform::Array& packages,
                                            InstallProgressProtocol* progress) {
    if (packages.empty()) {
        PelLogging::logErrorMessage("No mpkgs found.");
        return 1;
    }
    progressPlugin_ = progress;
    total_ = double(packages.size());
    remaining_ = packages.size();
    for (const platform::Value& description : packages) {
        const platform::Value* name = description.get("pkgName");
        const platform::Value* priorityValue = description.get("pkgPriority");
        const std::string path =
            std::filesystem::path(name ? name->stringValue() : "").lexically_normal().string();
        const auto priority =
            static_cast<std::int32_t>(priorityValue ? priorityValue->int64Value() : 0);
        PelLogging::logNoticeMessageWithFormat("PACKAGE:%@", path);

        // The file verified is the file installed: a root-only copy that
        // nobody can swap between the two steps.
        PelPrivatePackageCopy copy;
        platform::Error copyError;
        if (!copy.copy(path, &copyError)) {
            PelLogging::logErrorMessageWithFormat("Cannot copy the package at %@: %@", path,
                                                  copyError.description());
            if (priority >= 0) return 1;
            if (remaining_ > 0) --remaining_;
            continue;
        }
        if (!PelVerifyPackage(copy.path())) return 1;

        const platform::Task task{std::string(kPelSystemInstallerPath),
                                  {"-verboseR", "-target", "/", "-package", copy.path()}};
        const int status =
            launcher_->run(task, [this](const std::string& line) { parseProgressString(line); });
        PelLogging::logNoticeMessageWithFormat("Term Status:%d", status);
        if (status != 0 && priority >= 0) return status;
        if (remaining_ > 0) --remaining_;
    }
    return 0;
}

bool PelStandaloneInstaller::PelVerifyPackage(const std::string& path) {
    const int status = PelVerifyPackageSignature(path.c_str(), 1);
    if (status == 0) return true;
    PelLogging::logErrorMessageWithFormat(
        "Failed to authenticate installer package at path:%@.\n Error Code:%d", path, status);
    if (responds(progressPlugin_, InstallProgressOperation::installCompleteReason))
        progressPlugin_->installCompleteReason(platform::format(
            "Failed to authenticate installer package at path:%@.\nError Code:%d", path, status));
    return false;
}

void PelStandaloneInstaller::parseProgressString(const std::string& line) {
    parser_.parseProgressString(line);
}

std::optional<double> PelStandaloneInstaller::percentString(const std::string& text) const {
    const auto p = finiteNumber(text);
    if (!p) return std::nullopt;
    double overall = *p;
    if (total_ > 0) {
        const double done = total_ > double(remaining_) ? total_ - double(remaining_) : 0.0;
        overall = *p / total_ + std::floor(done) * 100.0 / total_;
    }
    return std::clamp(overall, 0.0, 100.0);
}

void PelStandaloneInstaller::sendPhaseString(const std::string& text) {
    if (responds(progressPlugin_, InstallProgressOperation::installProgressPhaseString))
        progressPlugin_->installProgressPhaseString(text);
}

void PelStandaloneInstaller::sendPercentString(const std::string& text) {
    if (!responds(progressPlugin_, InstallProgressOperation::installProgressPercent)) return;
    if (const auto percent = percentString(text)) progressPlugin_->installProgressPercent(*percent);
}

void PelStandaloneInstaller::sendInstallCompleteReason(const std::string& text) {
    if (responds(progressPlugin_, InstallProgressOperation::installCompleteReason))
        progressPlugin_->installCompleteReason(text);
}
