// The modules of the product registry: one property-list file per product,
// feature, shared component, suite, SKU or layout that the maker's software
// installed, and the reference-counted objects made from them.
//
// Module file keys: "Type" and "Identifier" (required), "Version",
// "Language", "Active", "UnlocalizedName", "SKU"; "Features" (Product and
// Suite: feature identifiers); "Products" (SKU, Suite and Layout, required:
// entries with a "Match" dictionary); "Layout" (Product); "BuildName" and
// "Channel" (Layout).
//
// A key is looked up in the module's overlay (given by an active SKU that
// matches it), then in its own file, then in the SKUs and products that own
// it. Modules are linked by Registry while it loads and are read-only
// afterwards, so a module held by a reference may be read from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Foundation/ZSharedObjArray.h"
#include "Foundation/ZSharedObject.h"
#include "Platform/Values/Value.h"

/// The Identifier of the Brenmoor product module.
inline constexpr char kPelRegistryBrenmoorProductID[] = "com.pelgrave.brenmoor";
/// Keys of a match dictionary (Registry::copyModuleWithMatchDict).
inline constexpr char kPelRegistryModuleIdentifierKey[] = "Identifier";
inline constexpr char kPelRegistryModuleVersionKey[] = "Version";
inline constexpr char kPelRegistryModuleSKUKey[] = "SKU";
inline constexpr char kPelRegistryModuleLanguageKey[] = "Language";
/// The bundle-identifier key of an application's information property list.
inline constexpr char kPelRegistryModuleLaunchedUIBundleIDKey[] = "CFBundleIdentifier";
/// The Language of a module that names none.
inline constexpr char kPelRegistryAllLanguages[] = "PelAllLanguages";

namespace PelRegistry {

class Registry;
class Layout;

/// The kind of a module, from its "Type" key.
enum ModuleType : unsigned {
    kModuleTypeComponent = 0,
    kModuleTypeFeature = 1,
    kModuleTypeProduct = 2,
    kModuleTypeSuite = 3,
    kModuleTypeSKU = 4,
    kModuleTypeLayout = 5,
    kModuleTypeUnknown = 255,
};

/// One module. Getters return values the module owns (valid while the caller
/// holds a reference to it); functions named copy… return what the caller
/// owns.
class Module : public ZSharedObject {
  public:
    /// Makes the module a file describes, with one reference for the caller;
    /// null for a null or non-dictionary value, a missing "Type" or
    /// "Identifier", an unknown "Type", or an SKU, Suite or Layout without
    /// "Products". The URL is not kept. Throws std::bad_alloc when memory
    /// runs out.
    static Module* make(const platform::Value* dictionary, const std::string* url);
    /// The same, taking the file's value over instead of copying it.
    static Module* make(platform::Value&& dictionary);

    /// Keeps the dictionary (shared, never changed) and the URL when given.
    Module(const platform::Value* dictionary, const std::string* url);

    /// The value of `key` (see the file comment), or null.
    const platform::Value* getKey(std::string_view key) const;
    /// The value of `key` when it is of `type` (the three number types count
    /// as one), or null. Unlike the untyped lookup it also asks owners that
    /// are not active, and a value of another type in the module's own file
    /// hides the owners' values.
    const platform::Value* getKey(std::string_view key, platform::Value::Type type) const;

    /// From the module's own file only.
    ModuleType getType() const;
    /// The "Identifier" value of the module's own file (of any type).
    const platform::Value* getIdentifier() const;
    const std::string* getVersion() const;
    /// Never null: "PelAllLanguages" when no language is found.
    const std::string* getLanguage() const;
    /// The "SKU" string, else the identifier when it is a string, else null.
    const std::string* getSKU() const;
    /// "Active", true when absent.
    bool isActive() const;
    /// A new copy of "UnlocalizedName" that the caller deletes; null when absent.
    std::string* copyName() const;

    /// Merges `info` into the overlay (later values replace earlier ones).
    void addOverlayInfo(const platform::Dictionary* info);
    /// Adds an owner; the module holds a reference to it.
    void addOwningProduct(Module* product);
    void addOwningSKU(Module* sku);

    /// Links the module to the others of `registry` after loading.
    virtual void rescan(Registry* registry);

  protected:
    ~Module() override;
    /// The value of `key` in the module's own file, or null.
    const platform::Value* ownValue(std::string_view key) const { return dictionary_.get(key); }
    /// Gives up the references to modules this one links to (features,
    /// matched modules); nobody reads them once the registry has loaded.
    virtual void releaseLinkedModules() {}

  private:
    friend class Registry;
    class Visited;

    const platform::Value* find(std::string_view key, Visited& visited) const;
    const platform::Value* findInOwners(const ZSharedObjArray* owners, std::string_view key,
                                        bool activeOnly, Visited& visited) const;

    /// Gives up the references to the owners.
    void releaseOwners();
    /// Adds one to counts[owner] for each owner link of this module.
    void countOwnerReferences(std::unordered_map<const ZSharedObject*, unsigned>& counts) const;

    platform::Value dictionary_;
    std::unique_ptr<platform::Dictionary> overlay_;
    std::string url_;
    ZSharedObjArray* owningProducts_ = nullptr;
    ZSharedObjArray* owningSKUs_ = nullptr;
};

class Feature : public virtual Module {
  public:
    static Module* make(const platform::Value* dictionary, const std::string* url);
    Feature(const platform::Value* dictionary, const std::string* url) : Module(dictionary, url) {}

  protected:
    ~Feature() override = default;
};

class SharedComponent : public virtual Module {
  public:
    static Module* make(const platform::Value* dictionary, const std::string* url);
    SharedComponent(const platform::Value* dictionary, const std::string* url)
        : Module(dictionary, url) {}

  protected:
    ~SharedComponent() override = default;
};

/// A product: its "Features" name Feature modules, which it owns.
class Product : public virtual Module {
  public:
    static Module* make(const platform::Value* dictionary, const std::string* url);
    Product(const platform::Value* dictionary, const std::string* url);

    void rescan(Registry* registry) override;
    /// The Layout module named by "Layout", from the process-wide registry,
    /// with a reference for the caller; null when there is none.
    Layout* copyLayout() const;

  protected:
    ~Product() override = default;
    void releaseLinkedModules() override;

  private:
    ZSharedObjArray features_{4};
};

/// An SKU: each of its "Products" entries matches a module, which it owns and,
/// while the SKU is active, overlays with the entry.
class SKU : public virtual Module {
  public:
    static Module* make(const platform::Value* dictionary, const std::string* url);
    SKU(const platform::Value* dictionary, const std::string* url);

    void rescan(Registry* registry) override;

  protected:
    ~SKU() override = default;
    void releaseLinkedModules() override;

  private:
    ZSharedObjArray matched_{4};
};

class Layout : public SKU {
  public:
    static Module* make(const platform::Value* dictionary, const std::string* url);
    Layout(const platform::Value* dictionary, const std::string* url)
        : Module(dictionary, url), SKU(dictionary, url) {}

    const std::string* getBuildName() const;
    const std::string* getChannel() const;

  protected:
    ~Layout() override = default;
};

/// Both an SKU and a product.
class Suite : public SKU, public Product {
  public:
    static Module* make(const platform::Value* dictionary, const std::string* url);
    Suite(const platform::Value* dictionary, const std::string* url)
        : Module(dictionary, url), SKU(dictionary, url), Product(dictionary, url) {}

    void rescan(Registry* registry) override;

  protected:
    ~Suite() override = default;
    void releaseLinkedModules() override;
};

/// A short-lived module made from one "Products" entry of an SKU.
class Proxy : public Module {
  public:
    Proxy(const platform::Value* dictionary, const std::string* url) : Module(dictionary, url) {}

    /// The entry's "Match" dictionary, or null.
    const platform::Dictionary* getMatchInfo() const;

  protected:
    ~Proxy() override = default;
};

}  // namespace PelRegistry
