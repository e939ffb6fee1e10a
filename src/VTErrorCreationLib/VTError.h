// The interface through which the reporting client, the payload packer, data
// collection and submission handle an error of any kind.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTKeyedArchive.h"
#include "VTErrorCreationLib/VTErrorProperties.h"
#include "VTErrorCreationLib/VTInputStream.h"

/// Sections of enumerateData.
enum VTErrorDataKind : std::int64_t {
    kVTErrorDataKindSummary = 0,    // the summary record's value dictionary
    kVTErrorDataKindParameter = 1,  // the parameters
    kVTErrorDataKindDetail = 2,     // the detail files
    kVTErrorDataKindUser = 3,       // the user data
};

/// Option bits of enumerateData for detail files.
enum VTErrorDataOptions : std::uint64_t {
    /// Deliver each detail's stored info dictionary.
    kVTErrorDataOptionStoredInfo = 1 << 0,
    /// Deliver the stored info plus "attrs", the file's attributes (only the
    /// file size for a "vantrel/octet-stream" detail). Overrides bit 0.
    kVTErrorDataOptionFileAttributes = 1 << 1,
    /// Deliver the detail file's path instead of an opened stream on it.
    kVTErrorDataOptionFileURL = 1 << 2,
};

/// One value delivered by enumerateData.
struct VTErrorDataValue {
    enum class Kind { Value, FileURL, Stream };
    Kind kind = Kind::Value;
    /// Kind::Value: the field, parameter or user-data value.
    platform::Value value;
    /// Kind::FileURL: the path of the detail file.
    std::string fileURL;
    /// Kind::Stream: an opened stream on the detail file.
    std::shared_ptr<VTInputStream> stream;
};

/// Called with (key, value, info or null, stop). Setting `stop` ends the
/// whole enumeration after this call.
using VTErrorDataIterator =
    std::function<void(const std::string& key, const VTErrorDataValue& value,
                       const platform::Dictionary* info, bool& stop)>;

class VTError : public VTCodable {
  public:
    /// The optional methods of the interface.
    enum class OptionalMethod { SetFailureCallstack };

    /// Moves the error's folder to its saved place and writes its summary
    /// and data files. False with the reason.
    virtual bool save(platform::Error* error) = 0;
    /// Gathers what the error's kind knows beyond its summary; the count of
    /// items gathered.
    virtual std::int64_t collect(platform::Error* error) = 0;
    /// Saves the error and moves it to its submission place.
    virtual bool finalize(platform::Error* error) = 0;
    /// Deletes the error's folder.
    virtual bool remove(platform::Error* error) = 0;

    virtual bool addParameterDataWithKey(const std::string& key, const std::string& value,
                                         platform::Error* error) = 0;
    virtual std::int64_t parameterDataCount() const = 0;
    virtual std::optional<std::string> parameterWithKey(std::string_view key) const = 0;

    /// Visits the listed sections in order (see VTErrorDataKind and
    /// VTErrorDataOptions); the number of iterator calls.
    virtual std::int64_t enumerateData(std::span<const std::int64_t> sections,
                                       std::uint64_t options,
                                       const VTErrorDataIterator& iterator) = 0;

    /// Attaches `data` as the detail `identifier`, with {"description":
    /// description} as its info when a description is given.
    virtual bool addDetailData(const platform::Data& data, const std::string& identifier,
                               const std::optional<std::string>& description,
                               platform::Error* error) = 0;
    /// Attaches `data` as the detail `identifier` with the given info (an
    /// empty one when absent).
    virtual bool addDetailDataWithAttributes(const platform::Data& data,
                                             const std::string& identifier,
                                             const std::optional<platform::Dictionary>& info,
                                             platform::Error* error) = 0;
    /// Copies the file at `path` in as the detail `identifier`.
    virtual bool addDetailFileAtURL(const std::string& path, const std::string& identifier,
                                    const std::optional<std::string>& description,
                                    platform::Error* error) = 0;
    virtual bool removeDetailDataWithIdentifier(const std::string& identifier,
                                                platform::Error* error) = 0;
    virtual std::int64_t detailCount() const = 0;
    virtual std::optional<platform::Dictionary> infoForDetailDataWithIdentifier(
        std::string_view identifier) const = 0;
    /// Copies the detail's file to `destination`.
    virtual bool writeDetailDataWithIdentifier(const std::string& identifier,
                                               const std::string& destination,
                                               platform::Error* error) = 0;
    /// A new, unopened stream on the detail's file in `out`.
    virtual bool streamDetailDataWithIdentifier(const std::string& identifier,
                                                std::shared_ptr<VTInputStream>* out,
                                                platform::Error* error) = 0;

    /// Whether the summary matches the pattern (every pair, bucket id
    /// checked).
    virtual bool hasPropertiesMatching(const platform::Dictionary& pattern) const = 0;

    /// The error's current folder, or nullopt when it has none.
    virtual std::optional<std::string> fileURL() const = 0;
    virtual bool isFinal() const = 0;
    /// A copy of the free-form user data.
    virtual platform::Dictionary userData() const = 0;
    virtual VTErrorProperties& summaryData() = 0;
    virtual const VTErrorProperties& summaryData() const = 0;

    /// Whether the error implements an optional method; callers test it
    /// before each call.
    virtual bool implements(OptionalMethod) const { return false; }
    /// Re-buckets the error on a new call stack (return addresses, innermost
    /// first). Optional.
    virtual bool setFailureCallstack(const std::vector<std::uint64_t>& callstack) {
        (void)callstack;
        return false;
    }
};
