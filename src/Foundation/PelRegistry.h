// The product registry: every module file of
// "/Library/Application Support/Pelgrave/Registry" loaded into Module objects,
// linked, and queried by identifier or by a match dictionary.
//
//   PelRegistry::Registry* registry = PelRegistry::Registry::get();
//   registry->synchronize();
//   if (PelRegistry::Module* m = registry->copyModuleWithId(kPelRegistryBrenmoorProductID)) {
//       const std::string* version = m->getVersion();
//       ...
//       m->Release();
//   }
//
// One reader/writer lock guards the module list: loading holds it for
// writing, queries for reading, so every function may be called from any
// thread. Queries never throw: when the lock cannot be taken they answer
// nothing (null, 0 or false). Modules handed out carry a reference that the caller releases; they
// stay usable (with their owners) after a later synchronize.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Foundation/PelRegistryModule.h"
#include "Foundation/PelRegistryUtilities.h"
#include "Foundation/ZReadWriteLock.h"
#include "Foundation/ZSharedObjArray.h"

namespace PelRegistry {

class Registry {
  public:
    /// The process-wide registry (root "/"), made and loaded on first use and
    /// never freed. When threads race to make it, one instance wins and the
    /// others are destroyed.
    static Registry* get();

    /// Loads the module files under `root` (a system path, resolved through
    /// the platform path root) + "/Library/Application Support/Pelgrave/Registry".
    /// Failures become failure reports (component "PelRegistry"); the registry
    /// then holds what was loaded so far.
    explicit Registry(const char* root);
    /// Releases the modules; modules still held elsewhere keep their owners.
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    /// Fills the empty module list from the registry folder: the visible
    /// "*.plist" files in bytewise order of their names, then links the
    /// modules. A file that cannot be read as a dictionary is reported
    /// (failure code 0, its path under "URL") and skipped. When a file named
    /// "*genericsos*" is present, the module of the first "*.layout*" file is
    /// left out. The caller holds the write lock (the constructor and
    /// synchronize do).
    void loadRegistry();
    /// Reloads the registry folder under the write lock. Throws
    /// PelException::RuntimeError when the lock cannot be taken and
    /// std::bad_alloc when memory runs out.
    void synchronize();

    /// The first module whose "Identifier" is `identifier`, with a reference
    /// for the caller; null when there is none or for a null identifier.
    Module* copyModuleWithId(const std::string* identifier);
    Module* copyModuleWithId(std::string_view identifier);
    bool isModuleWithIdInstalled(const std::string* identifier);
    bool isModuleWithIdInstalled(std::string_view identifier);

    /// Stores in `modules` a new array (delete[] it) of every module in list
    /// order, each with a reference for the caller, and returns their number;
    /// 0 and no array when there are none or memory runs out.
    unsigned copyModules(Module*** modules);

    /// The first module that `match` describes (see
    /// copyModulesWithMatchDictLocked), with a reference for the caller; null
    /// when none matches or for a null dictionary. An empty dictionary matches
    /// the first module.
    Module* copyModuleWithMatchDict(const platform::Dictionary* match);

    /// The modules that `match` describes, in list order: each of its keys
    /// "Identifier", "SKU", "Language" (compared with the module's own values,
    /// "PelAllLanguages" being no wildcard) and "Version" (part by part, a
    /// part of the match given as "*" or left out matching any) must agree.
    /// `count` gives the most wanted (0 or more than 255: 255) and returns
    /// the number found; `modules` receives a new array (delete[] it; room
    /// for that limit; null when none matched) of modules that each carry a
    /// reference for the caller. False when none matched or the match's
    /// version is not a version. The caller holds the lock.
    bool copyModulesWithMatchDictLocked(const platform::Dictionary* match, Module*** modules,
                                        unsigned long& count);

    /// The number of modules (for diagnostics and tests).
    unsigned moduleCount();

  private:
    void indexModules();
    bool matches(const Module& module, const platform::Dictionary& match,
                 const std::uint16_t* version) const;
    void retireModules();
    void releaseRetired(bool force);

    std::string root_;
    ZReadWriteLock lock_;
    ZSharedObjArray modules_{4};
    // The modules of each identifier, in list order (the list holds them).
    std::unordered_map<std::string_view, std::vector<Module*>> byIdentifier_;
    // Module lists replaced while callers still held some of their modules.
    std::vector<std::vector<Module*>> retired_;
};

}  // namespace PelRegistry
