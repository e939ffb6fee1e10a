// The settings file "vtsettings.dat": the settings as a keyed archive
// scrambled with the settings key table, read under a shared flock and
// written under an exclusive one. The lock lasts as long as the object.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTSettings.h"

/// Domain of the settings file's own errors.
inline constexpr std::string_view VTSettingsErrorDomain = "com.pelgrave.vantrel.settings";
enum VTSettingsErrorCode : long {
    kVTSettingsErrorEncodingFailed = 1,  // NSUnderlyingError: the codec's error, when there is one
    kVTSettingsErrorLockFailed = 2,      // NSUnderlyingError: the POSIX error of flock
};

class VTSettingsFile {
  public:
    /// Opens the file for reading and takes a shared lock. Null with the
    /// open error (NSCocoaErrorDomain 260 for a missing file) or
    /// VTSettingsErrorDomain 2.
    static std::unique_ptr<VTSettingsFile> initForReadingAtURL(
        const std::string& path, std::weak_ptr<VTSettingsClient> client, platform::Error* error);
    /// Opens the file for writing (creating it empty with mode 0664 when it
    /// does not exist) and takes an exclusive lock, waiting for other
    /// holders. Null with the open error or VTSettingsErrorDomain 2.
    static std::unique_ptr<VTSettingsFile> initForWritingToURL(
        const std::string& path, std::weak_ptr<VTSettingsClient> client, platform::Error* error);

    /// Unlocks and closes the file.
    ~VTSettingsFile();
    VTSettingsFile(const VTSettingsFile&) = delete;
    VTSettingsFile& operator=(const VTSettingsFile&) = delete;

    /// Reads the whole file and decodes it; the raw bytes go to `data` when
    /// given. Nullopt with the read error (NSPOSIXErrorDomain) or the codec's
    /// (VTErrorDomain 5009).
    std::optional<VTSettings> readSettingsReturningData(platform::Data* data,
                                                        platform::Error* error);
    /// Replaces the file's contents with the encoded settings and flushes
    /// them to disk; the scrambled bytes go to `data` when given. False with
    /// VTSettingsErrorDomain 1 or the write error. Only for a file opened for
    /// writing.
    bool writeSettings(const VTSettings& settings, platform::Data* data, platform::Error* error);

    const std::string& path() const { return path_; }
    std::weak_ptr<VTSettingsClient> client() const { return client_; }

  private:
    VTSettingsFile(int fd, std::string path, std::weak_ptr<VTSettingsClient> client)
        : fd_(fd), path_(std::move(path)), client_(std::move(client)) {}
    static std::unique_ptr<VTSettingsFile> open(const std::string& path, bool forWriting,
                                                std::weak_ptr<VTSettingsClient> client,
                                                platform::Error* error);

    int fd_;
    std::string path_;
    std::weak_ptr<VTSettingsClient> client_;
};
