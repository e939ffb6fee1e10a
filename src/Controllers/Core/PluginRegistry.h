// The product plug-in classes the program knows, by class name (the
// Info.plist's PEL_PRODUCT_PLUGIN_CLASS names one).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class IFPluginProtocol;

class PluginRegistry {
  public:
    using Factory = std::function<std::shared_ptr<IFPluginProtocol>()>;

    /// Registers (or replaces) the class `name`.
    static void registerPlugin(const std::string& name, Factory factory);
    /// Removes the class `name` (tests).
    static void unregisterPlugin(const std::string& name);
    /// A new instance of the class `name`; null when no class has that name
    /// or its factory makes nothing.
    static std::shared_ptr<IFPluginProtocol> create(const std::string& name);
    /// The registered names, sorted.
    static std::vector<std::string> names();
};
