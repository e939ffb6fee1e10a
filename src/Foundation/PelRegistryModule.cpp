#include "Foundation/PelRegistryModule.h"

#include <new>
#include <vector>

#include "Foundation/PelRegistryInternal.h"

namespace PelRegistry {

// The modules a lookup has asked already. Owner links may form cycles (an
// SKU whose match finds itself, two SKUs matching each other); a lookup asks
// every module once at most.
class Module::Visited {
  public:
    bool contains(const Module* m) const {
        for (unsigned i = 0; i < inlineCount_; ++i)
            if (inline_[i] == m) return true;
        for (const Module* other : more_)
            if (other == m) return true;
        return false;
    }
    void add(const Module* m) {
        if (inlineCount_ < kInline)
            inline_[inlineCount_++] = m;
        else
            more_.push_back(m);
    }

  private:
    static constexpr unsigned kInline = 8;
    const Module* inline_[kInline];
    unsigned inlineCount_ = 0;
    std::vector<const Module*> more_;
};

namespace {

bool isOfType(const platform::Value& value, platform::Value::Type type) {
    using T = platform::Value::Type;
    auto isNumber = [](T t) { return t == T::Integer || t == T::Unsigned || t == T::Real; };
    return value.type() == type || (isNumber(value.type()) && isNumber(type));
}

const std::string& allLanguages() {
    static const std::string* s = new std::string(kPelRegistryAllLanguages);
    return *s;
}

// The modules whose activity is being worked out on this thread. Activity is
// itself looked up through owners, so asking whether an owner is active can
// come back to a module already being asked; such a module counts as active
// (as a module without "Active" does) rather than recursing for ever.
struct ActivityFrame {
    const Module* module;
    ActivityFrame* previous;
};
thread_local ActivityFrame* tActivity = nullptr;

ModuleType typeOfModuleFile(const platform::Value& dictionary) {
    const platform::Value* type = dictionary.get("Type");
    const std::string* name = type ? type->asString() : nullptr;
    if (!name) return kModuleTypeUnknown;
    if (*name == "Component") return kModuleTypeComponent;
    if (*name == "Feature") return kModuleTypeFeature;
    if (*name == "Product") return kModuleTypeProduct;
    if (*name == "Suite") return kModuleTypeSuite;
    if (*name == "SKU") return kModuleTypeSKU;
    if (*name == "Layout") return kModuleTypeLayout;
    return kModuleTypeUnknown;
}

}  // namespace

Module::Module(const platform::Value* dictionary, const std::string* url) {
    if (dictionary) dictionary_ = *dictionary;
    if (url) url_ = *url;
}

Module::~Module() {
    delete owningProducts_;
    delete owningSKUs_;
}

Module* Module::make(const platform::Value* dictionary, const std::string*) {
    if (!dictionary || !dictionary->isDictionary()) return nullptr;
    return make(platform::Value(*dictionary));
}

Module* Module::make(platform::Value&& dictionary) {
    if (!dictionary.isDictionary() || !dictionary.get("Type") || !dictionary.get("Identifier"))
        return nullptr;
    const ModuleType type = typeOfModuleFile(dictionary);
    const bool matching =
        type == kModuleTypeSKU || type == kModuleTypeSuite || type == kModuleTypeLayout;
    if (matching && !dictionary.get("Products")) return nullptr;
    Module* module = nullptr;
    switch (type) {
        case kModuleTypeComponent:
            module = new SharedComponent(nullptr, nullptr);
            break;
        case kModuleTypeFeature:
            module = new Feature(nullptr, nullptr);
            break;
        case kModuleTypeProduct:
            module = new Product(nullptr, nullptr);
            break;
        case kModuleTypeSuite:
            module = new Suite(nullptr, nullptr);
            break;
        case kModuleTypeSKU:
            module = new SKU(nullptr, nullptr);
            break;
        case kModuleTypeLayout:
            module = new Layout(nullptr, nullptr);
            break;
        case kModuleTypeUnknown:
            return nullptr;
    }
    module->dictionary_ = std::move(dictionary);
    return module;
}

const platform::Value* Module::getKey(std::string_view key) const {
    Visited visited;
    return find(key, visited);
}

const platform::Value* Module::find(std::string_view key, Visited& visited) const {
    visited.add(this);
    if (overlay_) {
        if (auto it = overlay_->find(key); it != overlay_->end()) return &it->second;
    }
    if (const platform::Value* own = dictionary_.get(key)) return own;
    if (const platform::Value* v = findInOwners(owningSKUs_, key, true, visited)) return v;
    return findInOwners(owningProducts_, key, true, visited);
}

const platform::Value* Module::findInOwners(const ZSharedObjArray* owners, std::string_view key,
                                            bool activeOnly, Visited& visited) const {
    if (!owners) return nullptr;
    for (unsigned i = 0, n = owners->Count(); i < n; ++i) {
        auto* owner = static_cast<const Module*>(owners->NthValue(i));
        if (!owner || visited.contains(owner)) continue;
        if (activeOnly && !owner->isActive()) continue;
        if (const platform::Value* v = owner->find(key, visited)) return v;
    }
    return nullptr;
}

const platform::Value* Module::getKey(std::string_view key, platform::Value::Type type) const {
    if (overlay_) {
        auto it = overlay_->find(key);
        if (it != overlay_->end() && isOfType(it->second, type)) return &it->second;
    }
    if (const platform::Value* own = dictionary_.get(key))
        return isOfType(*own, type) ? own : nullptr;
    Visited visited;
    visited.add(this);
    const platform::Value* found = findInOwners(owningSKUs_, key, false, visited);
    if (!found) found = findInOwners(owningProducts_, key, false, visited);
    return found && isOfType(*found, type) ? found : nullptr;
}

ModuleType Module::getType() const { return typeOfModuleFile(dictionary_); }

const platform::Value* Module::getIdentifier() const { return dictionary_.get("Identifier"); }

const std::string* Module::getVersion() const {
    const platform::Value* v = getKey("Version", platform::Value::Type::String);
    return v ? v->asString() : nullptr;
}

const std::string* Module::getLanguage() const {
    const platform::Value* v = getKey("Language", platform::Value::Type::String);
    return v ? v->asString() : &allLanguages();
}

const std::string* Module::getSKU() const {
    if (const platform::Value* v = getKey("SKU", platform::Value::Type::String))
        return v->asString();
    const platform::Value* identifier = getIdentifier();
    return identifier ? identifier->asString() : nullptr;
}

bool Module::isActive() const {
    for (ActivityFrame* f = tActivity; f; f = f->previous)
        if (f->module == this) return true;
    ActivityFrame frame{this, tActivity};
    tActivity = &frame;
    struct Pop {
        ActivityFrame& frame;
        ~Pop() { tActivity = frame.previous; }
    } pop{frame};
    const platform::Value* v = getKey("Active", platform::Value::Type::Bool);
    return v ? *v->asBool() : true;
}

std::string* Module::copyName() const {
    const platform::Value* v = getKey("UnlocalizedName", platform::Value::Type::String);
    return v ? new std::string(*v->asString()) : nullptr;
}

void Module::addOverlayInfo(const platform::Dictionary* info) {
    if (!info || info->empty()) return;
    if (!overlay_) {
        overlay_ = std::make_unique<platform::Dictionary>(*info);
        return;
    }
    for (const auto& [key, value] : *info) overlay_->insert_or_assign(key, value);
}

namespace {

void appendOwner(ZSharedObjArray*& owners, Module* owner) {
    if (!owners) owners = new ZSharedObjArray(4);
    detail::appendModule(*owners, owner);
}

}  // namespace

void Module::addOwningProduct(Module* product) { appendOwner(owningProducts_, product); }

void Module::addOwningSKU(Module* sku) { appendOwner(owningSKUs_, sku); }

void Module::rescan(Registry*) {}

void Module::releaseOwners() {
    if (owningProducts_) owningProducts_->RemoveAllItems();
    if (owningSKUs_) owningSKUs_->RemoveAllItems();
}

void Module::countOwnerReferences(
    std::unordered_map<const ZSharedObject*, unsigned>& counts) const {
    for (const ZSharedObjArray* owners : {owningProducts_, owningSKUs_}) {
        if (!owners) continue;
        for (unsigned i = 0, n = owners->Count(); i < n; ++i)
            if (const ZSharedObject* owner = owners->NthValue(i)) ++counts[owner];
    }
}

const platform::Dictionary* Proxy::getMatchInfo() const {
    const platform::Value* v = getKey("Match", platform::Value::Type::Dictionary);
    return v ? v->asDictionary() : nullptr;
}

}  // namespace PelRegistry
