#include "Foundation/PelRegistry.h"

#include <atomic>
#include <new>

#include "Foundation/PelException.h"
#include "Foundation/PelRegistryInternal.h"

namespace PelRegistry {
namespace {

std::atomic<Registry*> gRegistry{nullptr};

void requireHold(const ZStHoldReadWriteLock& hold) {
    if (hold.Error() != 0) throw PelException::RuntimeError("The registry lock could not be taken");
}

// Queries report nothing when the lock cannot be taken: they never throw.
bool holds(const ZStHoldReadWriteLock& hold) { return hold.Error() == 0; }

const std::string* stringFor(const platform::Dictionary& match, std::string_view key,
                             bool& present) {
    auto it = match.find(key);
    present = it != match.end();
    return present ? it->second.asString() : nullptr;
}

}  // namespace

Registry* Registry::get() {
    if (Registry* registry = gRegistry.load(std::memory_order_acquire)) return registry;
    auto* made = new Registry("/");
    Registry* published = nullptr;
    if (gRegistry.compare_exchange_strong(published, made, std::memory_order_acq_rel,
                                          std::memory_order_acquire))
        return made;
    delete made;
    return published;
}

Registry::Registry(const char* root) : root_(root ? root : "/") {
    try {
        ZStHoldReadWriteLock hold(lock_, true);
        requireHold(hold);
        loadRegistry();
    } catch (...) {
        detail::reportCaughtFailure(0);
    }
}

Registry::~Registry() {
    try {
        retireModules();
    } catch (...) {
        // Memory ran out: the list is released as it is, below.
    }
    releaseRetired(true);
}

void Registry::synchronize() {
    ZStHoldReadWriteLock hold(lock_, true);
    requireHold(hold);
    loadRegistry();
}

Module* Registry::copyModuleWithId(const std::string* identifier) {
    return identifier ? copyModuleWithId(std::string_view(*identifier)) : nullptr;
}

Module* Registry::copyModuleWithId(std::string_view identifier) {
    ZStHoldReadWriteLock hold(lock_, false);
    if (!holds(hold)) return nullptr;
    auto it = byIdentifier_.find(identifier);
    if (it == byIdentifier_.end() || it->second.empty()) return nullptr;
    Module* module = it->second.front();
    module->Attach();
    return module;
}

bool Registry::isModuleWithIdInstalled(const std::string* identifier) {
    return identifier && isModuleWithIdInstalled(std::string_view(*identifier));
}

bool Registry::isModuleWithIdInstalled(std::string_view identifier) {
    Module* module = copyModuleWithId(identifier);
    if (module) module->Release();
    return module != nullptr;
}

unsigned Registry::copyModules(Module*** modules) {
    if (!modules) return 0;
    *modules = nullptr;
    ZStHoldReadWriteLock hold(lock_, false);
    if (!holds(hold)) return 0;
    const unsigned count = modules_.Count();
    if (count == 0) return 0;
    auto** array = new (std::nothrow) Module*[count];
    if (!array) return 0;
    for (unsigned i = 0; i < count; ++i) {
        array[i] = static_cast<Module*>(modules_.NthValue(i));
        array[i]->Attach();
    }
    *modules = array;
    return count;
}

Module* Registry::copyModuleWithMatchDict(const platform::Dictionary* match) {
    if (!match) return nullptr;
    ZStHoldReadWriteLock hold(lock_, false);
    if (!holds(hold)) return nullptr;
    Module** found = nullptr;
    unsigned long count = 1;
    if (!copyModulesWithMatchDictLocked(match, &found, count)) return nullptr;
    Module* module = found[0];
    delete[] found;
    return module;
}

bool Registry::copyModulesWithMatchDictLocked(const platform::Dictionary* match, Module*** modules,
                                              unsigned long& count) {
    const unsigned long limit = count >= 1 && count <= 255 ? count : 255;
    count = 0;
    if (modules) *modules = nullptr;
    if (!match || !modules) return false;

    // A part the text leaves undecided stays "any".
    std::uint16_t version[5] = {Utilities::kAnyVersionPart, Utilities::kAnyVersionPart,
                                Utilities::kAnyVersionPart, Utilities::kAnyVersionPart,
                                Utilities::kAnyVersionPart};
    const std::uint16_t* wanted = nullptr;
    if (auto it = match->find(kPelRegistryModuleVersionKey); it != match->end()) {
        if (!Utilities::decomposeVersion(it->second.asString(), &version[0], &version[1],
                                         &version[2], &version[3], &version[4]))
            return false;
        wanted = version;
    }

    // A string identifier narrows the search to the modules of that identifier.
    const std::vector<Module*>* candidates = nullptr;
    if (auto it = match->find(kPelRegistryModuleIdentifierKey); it != match->end()) {
        if (const std::string* identifier = it->second.asString()) {
            auto found = byIdentifier_.find(*identifier);
            if (found == byIdentifier_.end()) return false;
            candidates = &found->second;
        }
    }
    const unsigned total =
        candidates ? static_cast<unsigned>(candidates->size()) : modules_.Count();

    Module** array = nullptr;
    for (unsigned i = 0; i < total && count < limit; ++i) {
        Module* module = candidates ? (*candidates)[i] : static_cast<Module*>(modules_.NthValue(i));
        if (!module || !matches(*module, *match, wanted)) continue;
        if (!array) {
            array = new (std::nothrow) Module*[limit];
            if (!array) return false;
        }
        module->Attach();
        array[count++] = module;
    }
    *modules = array;
    return count > 0;
}

bool Registry::matches(const Module& module, const platform::Dictionary& match,
                       const std::uint16_t* version) const {
    if (auto it = match.find(kPelRegistryModuleIdentifierKey); it != match.end()) {
        const platform::Value* identifier = module.getIdentifier();
        if (!identifier || *identifier != it->second) return false;
    }
    bool present = false;
    const std::string* sku = stringFor(match, kPelRegistryModuleSKUKey, present);
    if (present) {
        const std::string* own = module.getSKU();
        if (!sku || !own || *own != *sku) return false;
    }
    const std::string* language = stringFor(match, kPelRegistryModuleLanguageKey, present);
    if (present && (!language || *module.getLanguage() != *language)) return false;
    if (version) {
        std::uint16_t own[5] = {Utilities::kAnyVersionPart, Utilities::kAnyVersionPart,
                                Utilities::kAnyVersionPart, Utilities::kAnyVersionPart,
                                Utilities::kAnyVersionPart};
        if (!Utilities::decomposeVersion(module.getVersion(), &own[0], &own[1], &own[2], &own[3],
                                         &own[4]))
            return false;
        for (int i = 0; i < 5; ++i)
            if (version[i] != Utilities::kAnyVersionPart && version[i] != own[i]) return false;
    }
    return true;
}

unsigned Registry::moduleCount() {
    ZStHoldReadWriteLock hold(lock_, false);
    return holds(hold) ? modules_.Count() : 0;
}

}  // namespace PelRegistry
