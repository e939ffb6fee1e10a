// The kinds of module and how they link to one another after loading.
#include <new>

#include "Foundation/PelRegistry.h"
#include "Foundation/PelRegistryInternal.h"
#include "Foundation/PelRegistryModule.h"
#include "Foundation/ZStSharedObject.h"

namespace PelRegistry {
namespace {

bool isModuleFile(const platform::Value* dictionary) {
    return dictionary && dictionary->isDictionary() && dictionary->get("Identifier");
}

// SKUs, suites and layouts are made of their "Products" entries.
bool isMatchingModuleFile(const platform::Value* dictionary) {
    return isModuleFile(dictionary) && dictionary->get("Products");
}

}  // namespace

Module* Feature::make(const platform::Value* dictionary, const std::string* url) {
    return isModuleFile(dictionary) ? new Feature(dictionary, url) : nullptr;
}

Module* SharedComponent::make(const platform::Value* dictionary, const std::string* url) {
    return isModuleFile(dictionary) ? new SharedComponent(dictionary, url) : nullptr;
}

Module* Product::make(const platform::Value* dictionary, const std::string* url) {
    return isModuleFile(dictionary) ? new Product(dictionary, url) : nullptr;
}

Module* SKU::make(const platform::Value* dictionary, const std::string* url) {
    return isMatchingModuleFile(dictionary) ? new SKU(dictionary, url) : nullptr;
}

Module* Layout::make(const platform::Value* dictionary, const std::string* url) {
    return isMatchingModuleFile(dictionary) ? new Layout(dictionary, url) : nullptr;
}

Module* Suite::make(const platform::Value* dictionary, const std::string* url) {
    return isMatchingModuleFile(dictionary) ? new Suite(dictionary, url) : nullptr;
}

Product::Product(const platform::Value* dictionary, const std::string* url)
    : Module(dictionary, url) {}

void Product::rescan(Registry* registry) {
    features_.RemoveAllItems();
    const platform::Value* features = ownValue("Features");
    const platform::Array* list = features ? features->asArray() : nullptr;
    if (!list || !registry) return;
    for (const platform::Value& entry : *list) {
        const std::string* identifier = entry.asString();
        if (!identifier) continue;
        Module* feature = registry->copyModuleWithId(identifier);
        ZStSharedObject hold(feature, false);
        if (!feature || feature->getType() != kModuleTypeFeature) continue;
        feature->addOwningProduct(this);
        detail::appendModule(features_, feature);
    }
}

void Product::releaseLinkedModules() { features_.RemoveAllItems(); }

Layout* Product::copyLayout() const {
    const platform::Value* name = getKey("Layout");
    const std::string* identifier = name ? name->asString() : nullptr;
    if (!identifier) return nullptr;
    Registry* registry = Registry::get();
    Module* module = registry ? registry->copyModuleWithId(identifier) : nullptr;
    if (!module) return nullptr;
    if (auto* layout = dynamic_cast<Layout*>(module)) return layout;
    module->Release();
    return nullptr;
}

SKU::SKU(const platform::Value* dictionary, const std::string* url) : Module(dictionary, url) {}

void SKU::rescan(Registry* registry) {
    matched_.RemoveAllItems();
    const platform::Value* products = ownValue("Products");
    const platform::Array* entries = products ? products->asArray() : nullptr;
    if (!entries || !registry) return;
    for (const platform::Value& entry : *entries) {
        if (!entry.isDictionary()) continue;
        auto* proxy = new Proxy(&entry, nullptr);
        ZStSharedObject holdProxy(proxy, false);
        const platform::Dictionary* match = proxy->getMatchInfo();
        if (!match) continue;
        Module* module = registry->copyModuleWithMatchDict(match);
        ZStSharedObject hold(module, false);
        if (!module) continue;
        detail::appendModule(matched_, module);
        if (isActive()) module->addOverlayInfo(entry.asDictionary());
        module->addOwningSKU(this);
    }
}

void SKU::releaseLinkedModules() { matched_.RemoveAllItems(); }

const std::string* Layout::getBuildName() const {
    const platform::Value* v = getKey("BuildName", platform::Value::Type::String);
    return v ? v->asString() : nullptr;
}

const std::string* Layout::getChannel() const {
    const platform::Value* v = getKey("Channel", platform::Value::Type::String);
    return v ? v->asString() : nullptr;
}

void Suite::rescan(Registry* registry) {
    SKU::rescan(registry);
    Product::rescan(registry);
}

void Suite::releaseLinkedModules() {
    SKU::releaseLinkedModules();
    Product::releaseLinkedModules();
}

}  // namespace PelRegistry
