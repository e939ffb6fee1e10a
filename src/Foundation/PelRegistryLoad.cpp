// Loading the registry folder, and letting go of the module graph a reload
// replaces.
#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <new>
#include <unordered_map>

#include "Foundation/PelCFUtilities.h"
#include "Foundation/PelErrReporting.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelRegistry.h"
#include "Foundation/PelRegistryInternal.h"
#include "Foundation/ZStSharedObject.h"
#include "Platform/System/Paths.h"

namespace PelRegistry {
namespace {

constexpr char kRegistryFolder[] = "/Library/Application Support/Pelgrave/Registry";

bool containsIgnoringCase(const std::string& text, const char* part) {
    return strcasestr(text.c_str(), part) != nullptr;
}

/// The names of the visible "*.plist" entries of `folder`, in bytewise
/// order, so that "the first" module or layout file does not depend on the
/// file system's order. A folder that cannot be read gives none.
std::vector<std::string> moduleFileNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* entry = readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name.empty() || name.front() == '.') continue;
        std::size_t dot = name.rfind('.');
        if (dot == std::string_view::npos || name.substr(dot + 1) != "plist") continue;
        names.emplace_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void reportUnreadableFile(const std::string& path, const platform::Error& error) {
    VTErrorReportRef report =
        PelErrReportingBeginFailureReport(0, 0, "PelRegistry", "", kPelErrLocationCaller);
    PelLogging::logErrorMessage("PelCFDictionaryCreateWithContentsOfURL failed");
    PelErrReportingAddCFErrorFailure(report, "PelCFDictionaryCreateWithContentsOfURL", &error);
    platform::Value url(path);
    PelErrReportingAddCFTypeErrorData(report, "URL", &url);
    PelErrReportingEndFailureReport(report);
}

/// Makes the module of one file and appends it to `modules`; returns it (held
/// by the list) or null. Failures are reported and the file skipped.
Module* loadModuleFile(const std::string& path, ZSharedObjArray& modules) {
    platform::Error error;
    std::optional<platform::Dictionary> dictionary =
        PelCFDictionaryCreateWithContentsOfFileAtPathWithError(
            path, kPelPropertyListMutableContainers, &error);
    if (!dictionary) {
        reportUnreadableFile(path, error);
        return nullptr;
    }
    try {
        Module* module = Module::make(platform::Value(std::move(*dictionary)));
        ZStSharedObject hold(module, false);
        if (module) detail::appendModule(modules, module);
        return module;
    } catch (...) {
        detail::reportCaughtFailure(1);
    }
    return nullptr;
}

/// How many references a module would have if nobody outside its graph held
/// it: one from the retired list, one per owner link to it.
bool isHeldOutside(const std::vector<Module*>& graph,
                   const std::unordered_map<const ZSharedObject*, unsigned>& ownerLinks) {
    for (Module* module : graph) {
        auto it = ownerLinks.find(module);
        std::int32_t inside =
            1 + static_cast<std::int32_t>(it == ownerLinks.end() ? 0 : it->second);
        // There is no plain read of the count; an attach gives it back.
        std::int32_t count = module->Attach() - 1;
        module->Release();
        if (count != inside) return true;
    }
    return false;
}

}  // namespace

void Registry::loadRegistry() {
    retireModules();
    releaseRetired(false);

    std::string folder = platform::Paths::resolve(platform::Paths::join(root_, kRegistryFolder));
    bool sawGenericSOS = false;
    bool sawLayout = false;
    Module* layoutModule = nullptr;
    for (const std::string& name : moduleFileNames(folder)) {
        if (!sawGenericSOS) sawGenericSOS = containsIgnoringCase(name, "genericsos");
        bool isLayoutFile = !sawLayout && containsIgnoringCase(name, ".layout");
        sawLayout = sawLayout || isLayoutFile;
        Module* module = loadModuleFile(platform::Paths::join(folder, name), modules_);
        if (isLayoutFile) layoutModule = module;
    }
    if (sawGenericSOS && layoutModule) {
        unsigned index = modules_.FindValue(layoutModule);
        if (index != kZArrayNotFound) modules_.DeleteItem(index);
    }

    indexModules();
    for (unsigned i = 0; i < modules_.Count(); ++i)
        static_cast<Module*>(modules_.NthValue(i))->rescan(this);
}

void Registry::indexModules() {
    byIdentifier_.clear();
    for (unsigned i = 0, n = modules_.Count(); i < n; ++i) {
        auto* module = static_cast<Module*>(modules_.NthValue(i));
        const platform::Value* identifier = module->getIdentifier();
        if (const std::string* text = identifier ? identifier->asString() : nullptr)
            byIdentifier_[*text].push_back(module);
    }
}

// Modules link both ways (a product holds its features, a feature its owning
// product), so a replaced graph would never be freed. Its forward links are
// read by nobody after loading and go at once. The owner links are what
// lookups walk: they are cut only once no caller holds a module of the graph
// any more, which is checked again at every reload.
void Registry::retireModules() {
    byIdentifier_.clear();
    const unsigned n = modules_.Count();
    if (n == 0) return;
    std::vector<Module*> graph;
    graph.reserve(n);
    retired_.reserve(retired_.size() + 1);
    for (unsigned i = 0; i < n; ++i) {
        auto* module = static_cast<Module*>(modules_.NthValue(i));
        module->Attach();
        graph.push_back(module);
    }
    modules_.RemoveAllItems();
    for (Module* module : graph) module->releaseLinkedModules();
    retired_.push_back(std::move(graph));
}

void Registry::releaseRetired(bool destroying) {
    for (auto it = retired_.begin(); it != retired_.end();) {
        std::unordered_map<const ZSharedObject*, unsigned> ownerLinks;
        bool cut = false;
        try {
            for (Module* module : *it) module->countOwnerReferences(ownerLinks);
            cut = !isHeldOutside(*it, ownerLinks);
        } catch (...) {
            // Memory ran out while counting: try again at the next reload.
        }
        if (!cut && !destroying) {
            ++it;
            continue;
        }
        if (cut)
            for (Module* module : *it) module->releaseOwners();
        for (Module* module : *it) module->Release();
        it = retired_.erase(it);
    }
}

}  // namespace PelRegistry
