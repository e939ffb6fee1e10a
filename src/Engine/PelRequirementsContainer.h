// The requirement list ("Requirements.plist") read once into requirement
// objects, with the product's identity fields, run in a fixed order:
// hardware, competing products, the product plug-in's own, then the rest.
//
// A requirement may name another to skip once it has passed, and a failed
// warning skips itself on the next run; the skip table lives as long as the
// container. The container has no locks: use it from one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Engine/PelRequirement.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class IFPluginProtocol;

class PelRequirementsContainer {
  public:
    using Requirements = std::vector<std::shared_ptr<PelRequirement>>;

    /// Reads the list at `path`. Null with an error of "InstallErrorDomain"
    /// when there is no path (-390), no file (-377), or the file is not a
    /// readable dictionary with "PRODUCT_NAME", "PRODUCT_VERSION" and
    /// "PRODUCT_ID" (-389). Entries that cannot be made are logged and left
    /// out.
    static std::shared_ptr<PelRequirementsContainer> createContainerWithRequirements(
        const std::optional<std::string>& path, platform::Error* error);

    /// The requirements made from `entries`, in order, less those that
    /// cannot be made.
    static Requirements gatherRequirements(const platform::Value& entries);
    /// The first check key of "Hardware", "InstallMatrix", "PartialInstall",
    /// "PathCheck", "Misc" present in `entry`, or nothing.
    static std::optional<std::string> installCheckType(const platform::Value& entry);
    /// "PLUGIN" when the text is "plugin" in any case, else "APP".
    static std::string getHandler(const platform::Value* handler);
    /// The error record of a "PelIE" dictionary; null (and `error`) when it
    /// lacks a text.
    static std::shared_ptr<PelIE> createPelIE(const platform::Value& record,
                                              platform::Error* error);
    /// The default record of a check: a hardware check's, none otherwise.
    static std::shared_ptr<PelIE> createPelIEWithICType(const std::optional<std::string>& icType,
                                                        const platform::Value& icDic,
                                                        platform::Error* error);

    /// The whole check in its fixed order. True when every requirement that
    /// ran passed (an empty list passes). On a failed requirement stores it
    /// in `outRequirement` (when given) and returns false; a failed plug-in
    /// step returns false and stores nothing. The plug-in, when given, runs
    /// its own requirements through runRequirementsWithPlugin when it offers
    /// that operation and has requirements to run.
    bool runRequirements(std::shared_ptr<PelRequirement>* outRequirement, IFPluginProtocol* plugin);
    /// Runs one group in order, passing over skipped and non-"APP"
    /// requirements; the first failure ends the group, is stored in
    /// `outRequirement` (when given) and, for a warning, enters the skip
    /// table. A passed requirement's skipReqID enters the skip table.
    bool runRequirements(const Requirements& group,
                         std::shared_ptr<PelRequirement>* outRequirement);

    void addSkipReqID(const platform::Value& identifier);
    bool shouldSkipRequirement(const platform::Value& identifier) const;
    void updateSkipRequirementTableForRequirement(const PelRequirement& requirement);
    void printSkipTable() const {}

    const std::optional<std::string>& productName() const { return productName_; }
    const std::optional<std::string>& pingProductName() const { return pingProductName_; }
    const std::optional<std::string>& productID() const { return productID_; }
    const std::optional<std::string>& productVersion() const { return productVersion_; }
    const std::optional<std::string>& skuID() const { return skuID_; }
    const std::optional<std::string>& layout() const { return layout_; }
    const Requirements& requirementsArray() const { return requirements_; }
    const std::vector<platform::Value>& skipReqTable() const { return skipTable_; }

  private:
    std::optional<std::string> productName_;
    std::optional<std::string> pingProductName_;
    std::optional<std::string> productID_;
    std::optional<std::string> productVersion_;
    std::optional<std::string> skuID_;
    std::optional<std::string> layout_;
    Requirements requirements_;
    std::vector<platform::Value> skipTable_;
};
