// The summary record of one error: what failed, where, in which product, on
// which machine. Saved as "summary.vterr" (a keyed archive of class
// "VTErrorProperties"), sent field by field in the error ping, and compared
// against property patterns.
//
// Field names are keys everywhere: in the saved file, in match patterns and
// in the value dictionary. In the value dictionary numbers and booleans are
// always present, absent object fields are left out, UUIDs appear as their
// upper-case text and the failure address as an unsigned number.
//
// No field is synchronised; the owner serialises access.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/VTUUID.h"

/// Kinds of errors.
enum VTFailureType : std::uint64_t {
    kVTFailureTypeCrash = 1,
    kVTFailureTypeLogicalError = 2,
    kVTFailureTypeKernelPanic = 6,
};

// Type, name, setter suffix; in declaration order.
#define VT_ERROR_PROPERTIES_FIELDS(X)                                                  \
    X(std::uint64_t, failureType, FailureType)                                         \
    X(std::int32_t, failureSeverity, FailureSeverity)                                  \
    X(std::optional<platform::Date>, creationTime, CreationTime)                       \
    X(std::optional<platform::Date>, failureTime, FailureTime)                         \
    X(std::optional<VTUUID>, failureUUID, FailureUUID)                                 \
    X(std::uint64_t, bucketId, BucketId)                                               \
    X(std::optional<std::string>, productName, ProductName)                            \
    X(std::optional<std::string>, productVersion, ProductVersion)                      \
    X(std::optional<std::string>, productLayoutType, ProductLayoutType)                \
    X(std::optional<std::string>, productBuildName, ProductBuildName)                  \
    X(std::optional<platform::Array>, productLanguages, ProductLanguages)              \
    X(std::optional<std::string>, clientVersion, ClientVersion)                        \
    X(std::optional<platform::Array>, additionalProducts, AdditionalProducts)          \
    X(std::int32_t, threadNumber, ThreadNumber)                                        \
    X(std::optional<std::string>, threadName, ThreadName)                              \
    X(std::int32_t, processID, ProcessID)                                              \
    X(std::optional<std::string>, processName, ProcessName)                            \
    X(std::optional<std::string>, processVersion, ProcessVersion)                      \
    X(std::optional<std::string>, processImagePath, ProcessImagePath)                  \
    X(std::optional<platform::Date>, processTimestamp, ProcessTimestamp)               \
    X(std::optional<std::string>, localeName, LocaleName)                              \
    X(std::optional<std::string>, language, Language)                                  \
    X(std::optional<std::string>, country, Country)                                    \
    X(std::int32_t, windowsLocaleId, WindowsLocaleId)                                  \
    X(std::int32_t, processorCount, ProcessorCount)                                    \
    X(std::optional<std::string>, processorName, ProcessorName)                        \
    X(std::optional<std::string>, processorBrandString, ProcessorBrandString)          \
    X(std::optional<VTUUID>, machineId, MachineId)                                     \
    X(std::optional<VTUUID>, mid, Mid)                                                 \
    X(std::uint32_t, processUID, ProcessUID)                                           \
    X(double, systemUptime, SystemUptime)                                              \
    X(std::optional<std::string>, systemProductName, SystemProductName)                \
    X(std::optional<std::string>, moduleName, ModuleName)                              \
    X(std::optional<std::string>, moduleVersion, ModuleVersion)                        \
    X(std::optional<platform::Date>, moduleTimestamp, ModuleTimestamp)                 \
    X(std::uint64_t, moduleOffset, ModuleOffset)                                       \
    X(std::optional<VTUUID>, moduleGUID, ModuleGUID)                                   \
    X(std::optional<std::string>, pelgraveModuleName, PelgraveModuleName)              \
    X(std::optional<std::string>, pelgraveModuleVersion, PelgraveModuleVersion)        \
    X(std::optional<VTUUID>, pelgraveModuleGUID, PelgraveModuleGUID)                   \
    X(std::uint64_t, pelgraveModuleOffset, PelgraveModuleOffset)                       \
    X(std::optional<platform::Date>, pelgraveModuleTimestamp, PelgraveModuleTimestamp) \
    X(std::optional<std::string>, pelgraveProcessName, PelgraveProcessName)            \
    X(std::optional<std::uint64_t>, failureAddress, FailureAddress)                    \
    X(std::uint64_t, stackHash, StackHash)                                             \
    X(std::optional<std::string>, logicalComponentId, LogicalComponentId)              \
    X(std::uint64_t, logicalErrorCode, LogicalErrorCode)                               \
    X(std::uint64_t, logicalFailureID, LogicalFailureID)                               \
    X(std::uint64_t, exceptionCode, ExceptionCode)                                     \
    X(std::int64_t, probability, Probability)                                          \
    X(bool, probabilityApplied, ProbabilityApplied)                                    \
    X(std::int64_t, detailedDataMask, DetailedDataMask)                                \
    X(bool, osXServer, OsXServer)                                                      \
    X(std::optional<std::string>, osBuild, OsBuild)                                    \
    X(std::optional<std::string>, osVersion, OsVersion)

class VTErrorProperties : public VTFieldCodable<VTErrorProperties> {
  public:
    static constexpr std::string_view kArchiveClassName = "VTErrorProperties";
    static std::span<const VTField<VTErrorProperties>> codingFields();

    /// Fills a fresh record with what an error made now on this machine
    /// would carry (the product and system fillers).
    using Filler = std::function<void(VTErrorProperties&)>;
    /// Sets the process-wide filler that wouldMatchPropertyValues uses (the
    /// data-collection code installs the product and system fillers). An
    /// empty function: missing fields stay missing.
    static void setCurrentMachineFiller(Filler filler);

    /// An empty record: every field zero, NO or absent.
    VTErrorProperties() = default;

#define VT_ERROR_PROPERTIES_ACCESSORS(Type, name, Name) \
    const Type& name() const { return name##_; }        \
    void set##Name(Type value) { name##_ = std::move(value); }
    VT_ERROR_PROPERTIES_FIELDS(VT_ERROR_PROPERTIES_ACCESSORS)
#undef VT_ERROR_PROPERTIES_ACCESSORS
    bool isOSXServer() const { return osXServer_; }

    /// Field name -> value (see the header comment).
    platform::Dictionary valueDictionary() const {
        return VTCodingUtilities::dictionaryRepresentation(*this);
    }
    /// The boxed value of one field, or nullopt when absent or unknown.
    std::optional<platform::Value> valueForKey(std::string_view name) const {
        return VTCodingUtilities::valueForKey(*this, name);
    }
    /// The text description of the value dictionary.
    std::string description() const { return VTCodingUtilities::description(*this); }

    /// Whether the record matches the pattern: a "bucketId" in the pattern
    /// (a number, or hexadecimal text) must equal the record's unless
    /// `ignoringBucketID`; then every pair must match ("localeName" by the
    /// locale rule, the version fields by the version rule, other keys by
    /// value equality). An absent field or an unknown key does not match.
    /// With `any`, one matching pair is enough. An empty pattern matches.
    bool matchPropertyValues(const platform::Dictionary& pattern, bool any,
                             bool ignoringBucketID) const;
    /// Whether an error made now on this machine would match: as
    /// matchPropertyValues, but a field the record lacks is taken from a fresh
    /// record filled once by `filler` (the process-wide one when not given),
    /// and "failureSeverity" matches when the pattern's value is at least the
    /// record's severity.
    bool wouldMatchPropertyValues(const platform::Dictionary& pattern, bool any,
                                  bool ignoringBucketID) const;
    bool wouldMatchPropertyValues(const platform::Dictionary& pattern, bool any,
                                  bool ignoringBucketID, const Filler& filler) const;
    /// The same with another record's value dictionary as pattern.
    bool matchMatchProperties(const VTErrorProperties& other, bool any,
                              bool ignoringBucketID) const {
        return matchPropertyValues(other.valueDictionary(), any, ignoringBucketID);
    }
    bool wouldMatchProperties(const VTErrorProperties& other, bool any,
                              bool ignoringBucketID) const {
        return wouldMatchPropertyValues(other.valueDictionary(), any, ignoringBucketID);
    }

    /// Locale rule: equal, or the pattern "*", or a pattern "xx-*" and a
    /// value "xx-..." with the same part before the first "-".
    static bool compareLocale(std::string_view pattern, std::string_view value);
    /// Version rule over ","-separated lists: any pattern element matches any
    /// value element (equal, "*", or equal version components where the
    /// pattern has no "*"; a pattern without a build number matches every
    /// build; a pattern that is no version matches everything).
    static bool compareVersion(std::string_view pattern, std::string_view value);

  private:
    bool matchImpl(const platform::Dictionary& pattern, bool any, bool ignoringBucketID, bool would,
                   const Filler* filler) const;

#define VT_ERROR_PROPERTIES_MEMBER(Type, name, Name) Type name##_{};
    VT_ERROR_PROPERTIES_FIELDS(VT_ERROR_PROPERTIES_MEMBER)
#undef VT_ERROR_PROPERTIES_MEMBER
};
