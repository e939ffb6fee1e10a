#include "VTErrorCreationLib/VTLocalSettingsClient.h"

#include <sys/stat.h>

#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTSettingsFile.h"

VTLocalSettingsClient::VTLocalSettingsClient(
    std::shared_ptr<const VTSCDConfiguration> configuration)
    : VTSettingsClient("VTLocalSettingsClient"), configuration_(std::move(configuration)) {}

std::shared_ptr<VTLocalSettingsClient> VTLocalSettingsClient::initWithConfiguration(
    std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error) {
    if (!configuration || !configuration->settingsPath()) {
        platform::setError(error, VTErrorUtilities::errorWithVantrelError(kVTErrorNotConfigured));
        return nullptr;
    }
    auto client = std::make_shared<VTLocalSettingsClient>(std::move(configuration));
    client->observeChanges();
    struct stat st {};
    if (::lstat(client->configuration_->settingsPath()->c_str(), &st) == 0 && !client->load(error))
        return nullptr;
    return client;
}

std::shared_ptr<VTSettings> VTLocalSettingsClient::localSettings() const {
    return std::dynamic_pointer_cast<VTSettings>(settings());
}

void VTLocalSettingsClient::adopt(VTSettings settings) {
    synced_ = settings;
    auto shared = std::make_shared<VTSettings>(std::move(settings));
    shared->setClient(weak_from_this());
    setSettings(std::move(shared));
}

bool VTLocalSettingsClient::load(platform::Error* error) {
    bool ok = false;
    queue()->sync([&] { ok = loadOnQueue(error); });
    return ok;
}

bool VTLocalSettingsClient::loadOnQueue(platform::Error* error) {
    const std::string& path = *configuration_->settingsPath();
    platform::Error readError;
    {
        auto file = VTSettingsFile::initForReadingAtURL(path, weak_from_this(), &readError);
        if (!file) {
            platform::setError(error, std::move(readError));
            return false;
        }
        if (auto settings = file->readSettingsReturningData(nullptr, &readError)) {
            adopt(std::move(*settings));
            return true;
        }
    }
    // The file does not decode. It is replaced in place, under the exclusive
    // lock: deleting it under the shared lock would let a writer that waits
    // for the lock write into the deleted file and lose its change.
    platform::Error writeError;
    auto file = VTSettingsFile::initForWritingToURL(path, weak_from_this(), &writeError);
    if (!file) {
        platform::setError(error, std::move(readError));
        return false;
    }
    if (auto settings = file->readSettingsReturningData(nullptr, nullptr)) {
        adopt(std::move(*settings));
        return true;
    }
    VTSettings fresh;
    if (!file->writeSettings(fresh, nullptr, &writeError)) {
        platform::setError(error, std::move(readError));
        return false;
    }
    adopt(std::move(fresh));
    return true;
}

bool VTLocalSettingsClient::save(platform::Error* error) {
    bool ok = false;
    queue()->sync([&] {
        if (!localSettings() && !loadOnQueue(nullptr)) adopt(VTSettings());
        auto mine = localSettings();
        auto file = VTSettingsFile::initForWritingToURL(*configuration_->settingsPath(),
                                                        weak_from_this(), error);
        if (!file) return;
        // A new, empty or unreadable file holds nothing to keep.
        auto stored = file->readSettingsReturningData(nullptr, nullptr);
        VTSettings result =
            stored ? VTSettings::merged(*stored, synced_ ? *synced_ : VTSettings(), *mine) : *mine;
        ok = file->writeSettings(result, nullptr, error);
        if (ok) adopt(std::move(result));
    });
    if (ok) announceChange();
    return ok;
}

bool VTLocalSettingsClient::updateStats(std::int32_t type,
                                        const std::function<bool(VTSubmissionStats&)>& change,
                                        platform::Error* error) {
    bool answer = false;
    queue()->sync([&] {
        if (!localSettings() && !loadOnQueue(nullptr)) adopt(VTSettings());
        auto mine = localSettings();
        if (!synced_) synced_.emplace();
        auto file = VTSettingsFile::initForWritingToURL(*configuration_->settingsPath(),
                                                        weak_from_this(), error);
        if (!file) {
            answer = mine->updateStats(type, change);
            return;
        }
        VTSettings stored =
            file->readSettingsReturningData(nullptr, nullptr).value_or(VTSettings());
        const VTSubmissionStats before = stored.statsForGatewayType(type);
        VTSubmissionStats stats = VTSettings::mergedStats(
            before, synced_->statsForGatewayType(type), mine->statsForGatewayType(type));
        answer = change(stats);
        stored.setStats(stats, type);
        mine->setStats(stats, type);
        // Unwritten, the counters are this client's change to what the file
        // holds, for the next save to add.
        synced_->setStats(file->writeSettings(stored, nullptr, error) ? stats : before, type);
    });
    return answer;
}
