// The requirement kinds that look at installed products, files and the
// network: install matrix, partial install, path check and misc.
#include <algorithm>
#include <cctype>

#include "Engine/PelProductCheckUtils.h"
#include "Engine/PelRequirementKinds.h"
#include "Foundation/PelPathUtils.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"

namespace {

using OptionalText = std::optional<std::string>;

// A string value of the check; an empty one counts as absent.
OptionalText textFor(const platform::Value& check, std::string_view key) {
    const platform::Value* value = check.get(key);
    if (!value || !value->isString() || value->stringValue().empty()) return std::nullopt;
    return value->stringValue();
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The SKU a "GenericQRB" layout asks for: the older product family's SKU
// stands for the newer family's.
OptionalText layoutSKU(const OptionalText& identifier, const OptionalText& sku,
                       const OptionalText& layout) {
    constexpr std::string_view kOld = "com.pelgrave.brenmoor";
    constexpr std::string_view kNew = "com.pelgrave.quillonby";
    if (!layout || *layout != "GenericQRB" || !identifier || !sku) return sku;
    if (lowered(*identifier).find(kOld) == std::string::npos) return sku;
    if (lowered(*sku).find(kOld) == std::string::npos) return sku;
    return lowered(replaceAll(*sku, kOld, kNew));
}

// Paths in the product data are system paths, found through the path root.
OptionalText systemPath(const platform::Value& check, std::string_view key) {
    OptionalText path = textFor(check, key);
    if (path) path = platform::Paths::resolve(*path);
    return path;
}

std::mutex gReachabilityMutex;
std::shared_ptr<platform::NetworkReachability> gReachability;

}  // namespace

bool PelInstallMatrixRequirement::runRequirement() const {
    OptionalText type = textFor(icDic(), "IMType");
    if (type == "INSTALL_UPGRADE") return runInstallUpgradeRequirement();
    if (type == "INSTALL_OVER") return runInstallOverRequirement();
    if (type == "INSTALL_COMPETITIVE") return runInstallCompetitiveRequirement();
    return true;
}

bool PelInstallMatrixRequirement::runInstallUpgradeRequirement() const {
    OptionalText identifier = textFor(icDic(), "PRODUCT_ID");
    OptionalText sku =
        layoutSKU(identifier, textFor(icDic(), "SKU_ID"), textFor(icDic(), "Layout"));
    return !PelProductCheckUtils::sharedProductCheck().doesProductExistWithSKUID(identifier, sku);
}

bool PelInstallMatrixRequirement::runInstallOverRequirement() const {
    OptionalText identifier = textFor(icDic(), "PRODUCT_ID");
    OptionalText sku = layoutSKU(textFor(icDic(), "LAYOUT_ID"), textFor(icDic(), "SKU_ID"),
                                 textFor(icDic(), "Layout"));
    const platform::Value* skuExists = icDic().get("SKU_EXISTS");
    auto& products = PelProductCheckUtils::sharedProductCheck();
    if (!skuExists || skuExists->boolValue())
        return !products.doesProductExistWithSKUID(identifier, sku);
    return !products.doesProductExistWithoutSKUID(identifier, sku);
}

bool PelInstallMatrixRequirement::runInstallCompetitiveRequirement() const {
    const platform::Value* paths = icDic().get("Path");
    if (!paths || !paths->isArray()) return true;
    platform::Array resolved;
    for (const platform::Value& path : *paths->asArray())
        resolved.push_back(
            path.isString() ? platform::Value(platform::Paths::resolve(path.stringValue())) : path);
    return !PelPathUtils::sharedPathUtils().filesExistAtPathInArray(resolved);
}

bool PelPartialInstallRequirement::runRequirement() const {
    const platform::Array* items = icDic().asArray();
    if (!items) return false;
    auto& files = PelPathUtils::sharedPathUtils();
    for (const platform::Value& item : *items) {
        OptionalText path = systemPath(item, "Path");
        if (!path || !files.fileExistsAtPath(path)) continue;
        const platform::Value* receipt = item.get("id");
        OptionalText identifier =
            receipt && receipt->isString() ? OptionalText(receipt->stringValue()) : std::nullopt;
        if (!PelProductCheckUtils::sharedProductCheck().doesReceiptExistWithPkgUtil(identifier))
            return false;
    }
    return true;
}

bool PelPathCheckRequirement::runRequirement() const {
    OptionalText path = systemPath(icDic(), "Path");
    if (!path) return true;
    auto& files = PelPathUtils::sharedPathUtils();
    OptionalText prefix = textFor(icDic(), "VersionPrefix");
    if (!prefix) return !files.fileExistsAtPath(path);
    if (!files.fileExistsAtPath(path)) return true;
    auto info =
        platform::PropertyList::dictionaryWithContentsOfFile(*path + "/Contents/Info.plist");
    if (!info) return true;
    auto version = info->find("CFBundleShortVersionString");
    if (version == info->end() || !version->second.isString()) return true;
    return version->second.stringValue().rfind(*prefix, 0) != 0;
}

bool PelMiscRequirement::runRequirement() const {
    const platform::Value* internet = icDic().get("IsInternetRequired");
    if (internet && internet->boolValue()) return checkInternet();
    const platform::Value* block = icDic().get("BlockOnAnotherInstance");
    if (block && block->boolValue()) return !isAnotherInstanceRunning();
    return true;
}

bool PelMiscRequirement::checkInternet() const {
    auto reachability = networkReachability();
    if (!reachability->canCheckHost(kReachabilityHost)) return true;
    std::uint32_t flags = 0;
    if (!reachability->flagsForHost(kReachabilityHost, &flags)) return false;
    return (flags & platform::kReachabilityReachable) &&
           !(flags & platform::kReachabilityConnectionRequired);
}

void PelMiscRequirement::setNetworkReachability(
    std::shared_ptr<platform::NetworkReachability> reachability) {
    std::lock_guard lock(gReachabilityMutex);
    gReachability = std::move(reachability);
}

std::shared_ptr<platform::NetworkReachability> PelMiscRequirement::networkReachability() {
    std::lock_guard lock(gReachabilityMutex);
    return gReachability ? gReachability : platform::networkReachability();
}
