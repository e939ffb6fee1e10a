// The payload of an error: its folder packed into a 7-Zip archive for
// upload ("summary.vterr", "data.vterr" and one entry per detail file, named
// by the detail identifier), and such an archive unpacked into an error
// folder again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Dispatch/DispatchData.h"
#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTError.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"

class VTArchiveCreation;
class VTArchiveReading;
class VTClient;

class VTErrorPayload {
  public:
    /// Waits between unpacking and loading the error (1.5 s).
    using Sleeper = std::function<void(std::chrono::milliseconds)>;
    /// Replaces the waiting (tests); an empty function restores real sleep.
    static void setSleeper(Sleeper sleeper);

    /// Packs `error` into memory with the configuration's compression. The
    /// payload comes back in every case; `data` receives the archive bytes
    /// only on success (the caller tests it).
    static std::shared_ptr<VTErrorPayload> payloadDataWithError(
        std::shared_ptr<VTError> error, const VTSCDConfiguration& configuration,
        std::optional<platform::DispatchData>* data, platform::Error* outError);
    /// Packs `error` into the file `url`; null on failure, with the
    /// archive's error (its underlying error carries the errno), and then no
    /// file is left at `url`.
    static std::shared_ptr<VTErrorPayload> payloadFileWithError(
        std::shared_ptr<VTError> error, const std::string& url,
        const VTSCDConfiguration& configuration, platform::Error* outError);
    /// Unpacks the payload file `payloadURL` into a new private folder
    /// ("vantrel.XXXXXX") inside `folderURL` and loads the error from it
    /// (final). Null when the archive cannot be read, holds nothing to
    /// unpack, or the client cannot load the error; the new folder is then
    /// removed and nothing else in `folderURL` is touched.
    static std::shared_ptr<VTErrorPayload> payloadWithPayloadURL(const std::string& payloadURL,
                                                                 const std::string& folderURL,
                                                                 VTClient& client,
                                                                 platform::Error* outError);

    std::optional<platform::DispatchData> archiveError(std::shared_ptr<VTError> error,
                                                       const VTSCDConfiguration& configuration,
                                                       platform::Error* outError);
    bool archiveError(std::shared_ptr<VTError> error, const VTSCDConfiguration& configuration,
                      const std::string& url, platform::Error* outError);
    /// Adds the error's files to `archive` and saves it. False when nothing
    /// was packed (`outError` untouched) or with the archive's error of the
    /// file that could not be added or of the save. A detail that cannot be
    /// opened is left out (logged).
    bool archiveError(std::shared_ptr<VTError> error, VTArchiveCreation& archive,
                      platform::Error* outError);
    /// Unpacks into a new private folder inside `folderURL`; its path goes to
    /// `unpackedFolder`. False (the new folder removed) when nothing was
    /// unpacked.
    bool unarchivePayload(const std::string& payloadURL, const std::string& folderURL,
                          platform::Error* outError, std::string* unpackedFolder = nullptr);
    bool unarchivePayloadInArchive(VTArchiveReading& archive, const std::string& folderURL,
                                   platform::Error* outError,
                                   std::string* unpackedFolder = nullptr);

    const std::shared_ptr<VTError>& error() const { return error_; }
    void setError(std::shared_ptr<VTError> error) { error_ = std::move(error); }
    std::uint64_t uncompressedSize() const { return uncompressedSize_; }
    void setUncompressedSize(std::uint64_t size) { uncompressedSize_ = size; }
    std::uint64_t numberOfFiles() const { return numberOfFiles_; }
    void setNumberOfFiles(std::uint64_t count) { numberOfFiles_ = count; }

  private:
    std::shared_ptr<VTError> error_;
    std::uint64_t uncompressedSize_ = 0;
    std::uint64_t numberOfFiles_ = 0;
};
