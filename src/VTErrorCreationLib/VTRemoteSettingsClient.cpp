#include "VTErrorCreationLib/VTRemoteSettingsClient.h"

#include "Foundation/PelCFUtilities.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTSettingsFile.h"

namespace {

constexpr std::string_view kServiceName = "com.pelgrave.vantrel.settings-xpc";
constexpr std::size_t kMaxServiceNameLength = 511;

}  // namespace

std::string VTRemoteSettingsClient::serviceName() {
    std::string name(kServiceName);
    const char* silo = PelGetSiloName();
    if (silo && *silo) name += std::string(".") + silo;
    if (name.size() > kMaxServiceNameLength) name.resize(kMaxServiceNameLength);
    return name;
}

VTRemoteSettingsClient::VTRemoteSettingsClient(
    std::shared_ptr<const VTSCDConfiguration> configuration)
    : VTSettingsClient("VTRemoteSettingsClient"), configuration_(std::move(configuration)) {}

VTRemoteSettingsClient::~VTRemoteSettingsClient() {
    if (connection_) connection_->cancel();
}

std::shared_ptr<VTRemoteSettingsClient> VTRemoteSettingsClient::initWithConfiguration(
    std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error) {
    return initWithConfigurationConnectingToServer(std::move(configuration), true, error);
}

std::shared_ptr<VTRemoteSettingsClient>
VTRemoteSettingsClient::initWithConfigurationConnectingToServer(
    std::shared_ptr<const VTSCDConfiguration> configuration, bool connect, platform::Error* error) {
    if (!configuration || !configuration->settingsPath()) {
        platform::setError(error, VTErrorUtilities::errorWithVantrelError(kVTErrorNotConfigured));
        return nullptr;
    }
    auto client = std::make_shared<VTRemoteSettingsClient>(std::move(configuration));
    if (connect) {
        client->connection_ = platform::XpcConnection::createMachService(
            serviceName(), client->queue(), platform::kXpcConnectionPrivileged);
        if (!client->connection_) {
            platform::setError(error,
                               VTErrorUtilities::errorWithVantrelError(kVTErrorNotConfigured));
            return nullptr;
        }
        // The service does not answer; events only tell of the connection's
        // state, which the next send deals with.
        client->connection_->setEventHandler(
            [](const platform::XpcEvent& event) { (void)event.isError(); });
    }
    client->observeChanges();
    client->setSettings(std::make_shared<VTRemoteSettings>(false, 0));
    if (!client->load(error)) return nullptr;
    if (client->connection_) client->connection_->resume();
    return client;
}

bool VTRemoteSettingsClient::load(platform::Error* error) {
    bool ok = false;
    queue()->sync([&] {
        auto file = VTSettingsFile::initForReadingAtURL(*configuration_->settingsPath(),
                                                        weak_from_this(), error);
        if (!file) return;
        auto stored = file->readSettingsReturningData(nullptr, error);
        if (!stored) return;
        auto current = settings();
        if (!current) {
            current = std::make_shared<VTRemoteSettings>();
            setSettings(current);
        }
        current->setEnabled(stored->enabled());
        current->setConsentLevel(stored->consentLevel());
        ok = true;
    });
    return ok;
}

bool VTRemoteSettingsClient::save(platform::Error*) {
    queue()->sync([&] {
        auto current = settings();
        VTRemoteSettings values = current ? VTRemoteSettings(*current) : VTRemoteSettings();
        platform::XpcObject message = platform::xpcDictionary({
            {"_command", platform::XpcObject::makeString("_change")},
            {"_new",
             platform::XpcObject::makeData(VTKeyedArchiver::archivedDataWithRootObject(values))},
            {"_uuid", platform::XpcObject::makeString(clientID().UUIDString())},
        });
        sendMessage(message);
    });
    return true;
}

void VTRemoteSettingsClient::sendMessage(const platform::XpcObject& message) {
    if (connection_) connection_->send(message);
}
