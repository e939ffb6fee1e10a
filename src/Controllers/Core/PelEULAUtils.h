// Picks the licence-agreement file of a bundle for the machine's country and
// language: "<prefix>_License.rtf" (or the rich-text package of that name
// with "d" appended) in the bundle's resource folder.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/System/Bundle.h"

class PelEULAUtils {
  public:
    /// A new instance for `bundle`.
    static std::shared_ptr<PelEULAUtils> createEULAUtilsWith(
        std::shared_ptr<const platform::Bundle> bundle);
    /// The same for the main bundle.
    static std::shared_ptr<PelEULAUtils> createEULAUtils();

    explicit PelEULAUtils(std::shared_ptr<const platform::Bundle> bundle)
        : bundle_(std::move(bundle)) {}

    const std::shared_ptr<const platform::Bundle>& bundle() const { return bundle_; }
    void setBundle(std::shared_ptr<const platform::Bundle> bundle) { bundle_ = std::move(bundle); }
    const std::optional<std::string>& pathToEULARTF() const { return pathToEULARTF_; }
    void setPathToEULARTF(std::optional<std::string> path) { pathToEULARTF_ = std::move(path); }

    /// True when a file was found; it is then in pathToEULARTF().
    bool supportedEULAExists();

    /// The prefixes tried, in order, for a system country (or none) and a
    /// locale text.
    static std::vector<std::string> prefixesFor(const std::optional<std::string>& systemCountry,
                                                const std::string& locale);

    /// The process's locale identifier: the first usable of LC_ALL,
    /// LC_MESSAGES and LANG without its encoding and modifier
    /// ("fr_FR.UTF-8" gives "fr_FR"); "en_US" when none is usable.
    static std::string currentLocaleIdentifier();

  private:
    std::shared_ptr<const platform::Bundle> bundle_;
    std::optional<std::string> pathToEULARTF_;
};
