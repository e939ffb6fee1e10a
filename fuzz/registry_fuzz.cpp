// Registry module files and version texts, as read from the registry folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Foundation/PelRegistryModule.h"
#include "Foundation/PelRegistryUtilities.h"
#include "Platform/Values/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::uint16_t parts[5] = {};
    PelRegistry::Utilities::decomposeVersion(&text, &parts[0], &parts[1], &parts[2], &parts[3],
                                             &parts[4]);
    PelRegistry::Utilities::decomposeVersion(text.c_str(), nullptr, nullptr, nullptr, nullptr,
                                             nullptr);

    std::optional<platform::Value> file =
        platform::PropertyList::fromData(std::string_view(text), nullptr, nullptr);
    if (!file) return 0;
    PelRegistry::Module* module = PelRegistry::Module::make(&*file, nullptr);
    if (!module) return 0;
    module->getType();
    module->getVersion();
    module->getLanguage();
    module->getSKU();
    module->isActive();
    delete module->copyName();
    if (const platform::Value* info = module->getKey("Products")) {
        if (const platform::Array* entries = info->asArray())
            for (const platform::Value& entry : *entries)
                module->addOverlayInfo(entry.asDictionary());
    }
    module->getKey("Layout", platform::Value::Type::String);
    module->Release();
    return 0;
}
