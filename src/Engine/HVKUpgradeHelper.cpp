#include "Engine/HVKUpgradeHelper.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "Engine/PelHardwareUtilities.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelInstallerFramework.h"
#include "Engine/PelProductCheckUtils.h"
#include "Engine/PelRequirement.h"
#include "Engine/PelRequirementsContainer.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelRegistry.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"

using namespace HVKProducts;
using OptionalText = std::optional<std::string>;

namespace {

// Holds a reference handed out by the registry.
template <class T>
struct Held {
    explicit Held(T* object) : p(object) {}
    ~Held() {
        if (p) p->Release();
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    T* p;
};

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool startsWith(const std::string* text, std::string_view prefix) {
    return text && text->compare(0, prefix.size(), prefix) == 0;
}

OptionalText stringFor(const platform::Value* value) {
    if (!value || !value->isString()) return std::nullopt;
    return value->stringValue();
}

// The number a dotted version begins with (its leading digits; 0 for none).
long firstComponent(const std::string& version) {
    return std::strtol(version.c_str(), nullptr, 10);
}

bool is(const OptionalText& text, const char* identifier) { return text && *text == identifier; }

bool isEndpoint(const OptionalText& sku) { return is(sku, kOrrindale) || is(sku, kLunmark); }

struct Outcome {
    std::vector<std::string> products;
    bool answer = true;
    void add(const std::string& identifier) {
        if (std::find(products.begin(), products.end(), identifier) == products.end())
            products.push_back(identifier);
        answer = false;
    }
};

enum class Column { Same, Older };

// The SKU table for an installed Brenmoor of the same or an older version
// with the same major number.
void applySKURules(Column column, const std::string& installedVersion,
                   const PelRequirement& requirement, PelRequirementsContainer& container,
                   Outcome& outcome, bool* isNewerVersion, bool* rebootRequired) {
    auto& products = PelProductCheckUtils::sharedProductCheck();
    const OptionalText I = products.getSKUForProductID(std::string(kBrenmoor));
    const OptionalText& P = container.skuID();
    auto removal = [&] {
        outcome.add(kBrenmoor);
        if (rebootRequired) *rebootRequired = true;
    };
    if ((is(I, kQuillonby) && isEndpoint(P)) || (isEndpoint(I) && is(P, kQuillonby)) ||
        (is(I, kQuillonbyTrial) && isEndpoint(P)) ||
        ((is(P, kRowanfield) || is(P, kTessvale)) &&
         (is(I, kQuillonby) || is(I, kCalderwick) || is(I, kBrenmoor) || is(I, kQuillonbyTrial))) ||
        ((is(I, kBrenmoor) || is(I, kCalderwick)) &&
         (is(P, kQuillonby) || is(P, kQuillonbyTrial))) ||
        is(I, kBrenmoorBeta)) {
        removal();
        return;
    }
    if (column == Column::Older && is(P, kBrenmoorBeta)) {
        removal();
        return;
    }
    if (HVKUpgradeHelper::isQRB()) {
        if (HVKUpgradeHelper::isSameQRBLayoutInstalled())
            container.updateSkipRequirementTableForRequirement(requirement);
        return;
    }
    if (column == Column::Same && is(P, kBrenmoorBeta)) {
        if (isNewerVersion) *isNewerVersion = true;
        outcome.answer = false;
        return;
    }
    if (column == Column::Older) {
        const auto firstDot = installedVersion.find('.');
        const std::string first = installedVersion.substr(0, firstDot);
        const std::string rest =
            firstDot == std::string::npos ? std::string() : installedVersion.substr(firstDot + 1);
        const std::string second = rest.substr(0, rest.find('.'));
        if (first == "6" && second == "0") {
            removal();
            return;
        }
    }
    container.updateSkipRequirementTableForRequirement(requirement);
}

std::mutex gInstallerQRBMutex;
std::optional<bool> gInstallerQRB;

}  // namespace

std::string HVKUpgradeHelper::comparableVersion(const OptionalText& installed) {
    if (!installed) return "0";
    std::uint16_t parts[3];
    if (!PelRegistry::Utilities::decomposeVersion(&*installed, &parts[0], &parts[1], &parts[2],
                                                  nullptr, nullptr))
        return *installed;
    std::string text;
    for (int i = 0; i < 3; ++i) {
        if (i) text += '.';
        text += std::to_string(parts[i] == PelRegistry::Utilities::kAnyVersionPart ? 0 : parts[i]);
    }
    return text;
}

bool HVKUpgradeHelper::productsToUninstall(const Requirements& requirements,
                                           std::optional<std::vector<std::string>>* out,
                                           bool* isNewerVersion, bool* rebootRequired,
                                           std::shared_ptr<PelRequirement>* failedReq) {
    const std::shared_ptr<PelRequirementsContainer> container =
        PelInstallerFramework::sharedInstallerFramework().pelReqContainer();
    if (!container) {
        PelLogging::logNoticeMessage(
            "The upgrade rules ran before the requirements were read; nothing to remove");
        return true;
    }
    Outcome outcome;
    auto& products = PelProductCheckUtils::sharedProductCheck();
    for (const auto& requirement : requirements) {
        if (!requirement) continue;
        PelLogging::logDebugMessageWithFormat("Running requirement for HVK:%@",
                                              requirement->toString());
        if (requirement->runRequirement()) continue;
        const std::string& kind = requirement->icType();
        if (kind == "PartialInstall" || kind == "PathCheck") {
            outcome.add(kBrenmoor);
            continue;
        }
        if (kind != "InstallMatrix") continue;
        const platform::Value& check = requirement->icDic();
        if (stringFor(check.get("IMType")) != "INSTALL_UPGRADE") continue;
        const OptionalText identifier = stringFor(check.get("PRODUCT_ID"));
        if (is(identifier, kCalderwick) || is(identifier, kFennick) ||
            is(identifier, kHarrowgate)) {
            outcome.add(*identifier);
            continue;
        }
        if (!is(identifier, kBrenmoor)) continue;

        const std::string installed =
            comparableVersion(products.getVersionForProductID(std::string(kBrenmoor)));
        const OptionalText& offered = container->productVersion();
        const int comparison = PelHardwareUtilities::checkVersion(offered, installed);
        if (comparison > 0) {
            if (!outcome.products.empty()) continue;
            if (isNewerVersion) *isNewerVersion = true;
            if (failedReq) *failedReq = requirement;
            return false;
        }
        if (comparison < 0) {
            if (firstComponent(installed) < firstComponent(offered.value_or("0"))) {
                outcome.add(kBrenmoor);
                continue;
            }
            applySKURules(Column::Older, installed, *requirement, *container, outcome,
                          isNewerVersion, rebootRequired);
        } else {
            applySKURules(Column::Same, installed, *requirement, *container, outcome,
                          isNewerVersion, rebootRequired);
        }
    }
    if (!outcome.products.empty() && out) *out = outcome.products;
    return outcome.answer;
}

bool HVKUpgradeHelper::isInstallerQRB() {
    std::lock_guard lock(gInstallerQRBMutex);
    if (!gInstallerQRB) {
        bool answer = false;
        if (auto utilities = PelInstallAppUtilities::sharedUtilities()) {
            if (auto path = utilities->pathToRequirementsPlist()) {
                if (auto list = platform::PropertyList::dictionaryWithContentsOfFile(*path)) {
                    auto layout = list->find("Layout");
                    answer = layout != list->end() && layout->second.isString() &&
                             layout->second.stringValue() == "GenericQRB";
                }
            }
        }
        gInstallerQRB = answer;
    }
    return *gInstallerQRB;
}

void HVKUpgradeHelper::resetInstallerQRB() {
    std::lock_guard lock(gInstallerQRBMutex);
    gInstallerQRB.reset();
}

bool HVKUpgradeHelper::isQRB() {
    PelRegistry::Registry* registry =
        PelProductCheckUtils::sharedProductCheck().synchronizedRegistry();
    if (!registry) return false;
    Held<PelRegistry::Module> module(registry->copyModuleWithId(std::string_view(kBrenmoor)));
    if (!module.p) return false;
    if (auto* product = dynamic_cast<PelRegistry::Product*>(module.p)) {
        Held<PelRegistry::Layout> layout(product->copyLayout());
        if (layout.p) {
            const std::string* build = layout.p->getBuildName();
            if (build && *build == "QRB") return true;
        }
    }
    const std::string* sku = module.p->getSKU();
    return startsWith(module.p->getVersion(), "5.") && sku &&
           sku->find("pelgrave") == std::string::npos &&
           lowered(*sku).find("brenmoor") != std::string::npos;
}

bool HVKUpgradeHelper::isSameQRBLayoutInstalled() {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string listPath =
        platform::Paths::userLibrary("Application Support/Pelgrave/FSD/Requirements.plist");
    if (!fs::exists(listPath, ec)) {
        listPath = platform::Paths::resolve(
            "/Library/Application Support/Pelgrave/Silo/TLW/OBRK/.downloads/Requirements.plist");
        if (!fs::exists(listPath, ec))
            listPath = platform::Bundle::mainBundle()->resourcePath() +
                       "/PelSupportFolder/Requirements.plist";
    }
    OptionalText productName;
    if (auto list = platform::PropertyList::dictionaryWithContentsOfFile(listPath)) {
        auto name = list->find("PRODUCT_NAME");
        if (name != list->end()) productName = stringFor(&name->second);
    }
    if (!productName) {
        const platform::Value name =
            platform::Bundle::mainBundle()->objectForInfoDictionaryKey("PEL_PRODUCT_NAME");
        productName = stringFor(&name);
    }

    PelRegistry::Registry* registry =
        PelProductCheckUtils::sharedProductCheck().synchronizedRegistry();
    if (!registry) return false;
    Held<PelRegistry::Module> module(registry->copyModuleWithId(std::string_view(kBrenmoor)));
    if (!module.p) return false;
    OptionalText layoutName;
    if (auto* product = dynamic_cast<PelRegistry::Product*>(module.p)) {
        Held<PelRegistry::Layout> layout(product->copyLayout());
        if (layout.p) {
            std::unique_ptr<std::string> name(layout.p->copyName());
            if (name) layoutName = *name;
        }
    }
    if (!layoutName && startsWith(module.p->getVersion(), "5.")) {
        if (const platform::Value* names = module.p->getKey("Name"))
            layoutName = stringFor(names->get("en"));
    }
    if (!productName || !layoutName) return false;
    std::string wanted = lowered(*productName);
    const std::string suffix = " for mac";
    if (auto at = wanted.find(suffix); at != std::string::npos) wanted.erase(at, suffix.size());
    // An empty name is in every layout name: it tells nothing.
    if (wanted.empty()) return false;
    return lowered(*layoutName).find(wanted) != std::string::npos;
}
