// The data attached to one error: free-form user data, the info of each
// detail file in the error's folder, and string parameters. Saved as
// "data.vterr", a keyed archive of class "VTErrorData" with the keys
// "userData", "detailData" and "parameterData".
//
// The object is also the lock of the error's attached data: a recursive
// lock that every access takes; hold it with lockData() across compound
// steps.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTKeyedArchive.h"

// Keys of a detail's info dictionary.
inline constexpr std::string_view VTErrorDataInfoDescriptionKey = "description";
/// The file's attributes; only in infos delivered by enumeration.
inline constexpr std::string_view VTErrorDataInfoAttributesKey = "attrs";
inline constexpr std::string_view VTErrorDataInfoOriginalPathKey = "originalPath";
inline constexpr std::string_view VTErrorDataInfoMIMETypeKey = "MIME";
/// A detail of this MIME type is enumerated with its file size only.
inline constexpr std::string_view VTErrorDataOctetStreamMIMEType = "vantrel/octet-stream";

// Detail identifiers used across the library (each is also the detail's
// file name in the error folder).
inline constexpr std::string_view VTErrorStreamErrorReportingData = "ErrorReportingData";
inline constexpr std::string_view VTErrorStreamIDAppleCrashReport = "AppleCrashReport";
inline constexpr std::string_view VTErrorStreamIDApplePanicReport = "ApplePanicReport";
inline constexpr std::string_view VTErrorStreamIDCrashReportJSON = "CrashJSON";
inline constexpr std::string_view VTErrorStreamIDFVCrashReport = "FVCrashReport";
inline constexpr std::string_view VTErrorStreamProcessBacktrace = "ProcessBacktrace";
inline constexpr std::string_view VTErrorStreamProcessLaunch = "ProcessLaunch";

class VTErrorData : public VTCodable {
  public:
    static constexpr std::string_view kArchiveClassName = "VTErrorData";

    /// Three empty dictionaries.
    VTErrorData() = default;
    // Copies take the dictionaries, never the lock.
    VTErrorData(const VTErrorData& other);
    VTErrorData& operator=(const VTErrorData& other);
    VTErrorData(VTErrorData&& other) noexcept;
    VTErrorData& operator=(VTErrorData&& other) noexcept;

    /// Holds the data lock until the returned object goes away (recursive).
    std::unique_lock<std::recursive_mutex> lockData() const {
        return std::unique_lock<std::recursive_mutex>(mutex_);
    }

    // Copies taken under the lock.
    platform::Dictionary userData() const;
    platform::Dictionary detailData() const;
    platform::Dictionary parameterData() const;

    // Changes made under the lock.
    void setUserDataValue(std::string key, platform::Value value);
    void removeUserDataValue(std::string_view key);
    void setDetailInfo(std::string identifier, platform::Dictionary info);
    void removeDetailInfo(std::string_view identifier);
    /// The info of a detail, or nullopt.
    std::optional<platform::Dictionary> detailInfo(std::string_view identifier) const;
    void setParameter(std::string key, std::string value);
    std::optional<std::string> parameter(std::string_view key) const;
    /// Empties the three dictionaries.
    void removeAll();

    // Direct access for code that holds the lock (lockData()).
    platform::Dictionary& mutableUserData() { return userData_; }
    const platform::Dictionary& detailDataLocked() const { return detailData_; }
    const platform::Dictionary& parameterDataLocked() const { return parameterData_; }
    const platform::Dictionary& userDataLocked() const { return userData_; }

    std::string_view archiveClassName() const override { return kArchiveClassName; }
    void encodeWithCoder(VTKeyedArchiver& coder) const override;
    /// Fails (VTErrorDomain 5009 from the unarchiver) when a stored value is
    /// not a dictionary, or a parameter is not a string.
    bool initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) override;

  private:
    mutable std::recursive_mutex mutex_;
    platform::Dictionary userData_;
    platform::Dictionary detailData_;
    platform::Dictionary parameterData_;  // string -> string
};
