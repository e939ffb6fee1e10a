// The settings client that reads and writes the settings file itself.
#pragma once

#include <memory>
#include <optional>

#include "VTErrorCreationLib/VTSettingsClient.h"

class VTLocalSettingsClient : public VTSettingsClient {
  public:
    /// A client for the configuration's settingsPath, watching for changes
    /// of other clients. Loads the file when it exists (without one the
    /// client starts without settings). Null with VTErrorDomain 5000 when
    /// the configuration or its settings path is missing, or with the load's
    /// error.
    static std::shared_ptr<VTLocalSettingsClient> initWithConfiguration(
        std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error);

    /// Reads the file under a shared lock. A file that does not decode is
    /// replaced by fresh settings, under an exclusive lock (unless another
    /// process wrote valid settings meanwhile, which are then taken); the
    /// answer is then true. False with the error when the file cannot be
    /// opened or replaced.
    bool load(platform::Error* error) override;
    /// Writes the settings (loading them first when there are none, or
    /// starting from fresh ones) under an exclusive lock, then announces the
    /// change. Other processes may have written since this client last read
    /// or wrote the file: under the lock the file is read again and only
    /// this client's changes go on top of it, counters adding up
    /// (VTSettings::merged); the result becomes the client's settings. False
    /// with the write's error.
    bool save(platform::Error* error) override;
    /// Reads the file's counters, changes them and writes them back under
    /// one exclusive lock, the unsaved changes of this client included. When
    /// the file cannot be opened or written the change is made in memory
    /// (and `error` filled); the next save stores it.
    bool updateStats(std::int32_t type, const std::function<bool(VTSubmissionStats&)>& change,
                     platform::Error* error) override;

    /// The settings with all their fields, or null.
    std::shared_ptr<VTSettings> localSettings() const;
    const std::shared_ptr<const VTSCDConfiguration>& configuration() const {
        return configuration_;
    }

    explicit VTLocalSettingsClient(std::shared_ptr<const VTSCDConfiguration> configuration);

  private:
    bool loadOnQueue(platform::Error* error);
    void adopt(VTSettings settings);

    std::shared_ptr<const VTSCDConfiguration> configuration_;
    // The settings as this client last read or wrote them in the file (on
    // the queue): what tells this client's own changes from other
    // processes'.
    std::optional<VTSettings> synced_;
};
