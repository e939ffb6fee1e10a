// The settings client that reads the settings file but leaves changes to
// the settings service, a privileged helper reached over the messaging
// layer. Only `enabled` and the consent level travel.
//
// A change is the message {"_command": "_change", "_new": the keyed archive
// of a VTRemoteSettings (not scrambled), "_uuid": the client id as UUID
// text}; the service is not expected to answer.
#pragma once

#include <memory>
#include <string>

#include "Platform/Xpc/XpcConnection.h"
#include "VTErrorCreationLib/VTSettingsClient.h"

class VTRemoteSettingsClient : public VTSettingsClient {
  public:
    /// "com.pelgrave.vantrel.settings-xpc", followed by "." and the silo
    /// name when there is one.
    static std::string serviceName();

    /// initWithConfigurationConnectingToServer(configuration, true, error).
    static std::shared_ptr<VTRemoteSettingsClient> initWithConfiguration(
        std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error);
    /// A client with settings {enabled NO, consent level 0} updated from the
    /// settings file; with `connect`, connected to the settings service (a
    /// privileged connection, events on the client's queue). Null with
    /// VTErrorDomain 5000 when the configuration or its settings path is
    /// missing or no connection can be made, or with the load's error.
    static std::shared_ptr<VTRemoteSettingsClient> initWithConfigurationConnectingToServer(
        std::shared_ptr<const VTSCDConfiguration> configuration, bool connect,
        platform::Error* error);

    /// Cancels the connection.
    ~VTRemoteSettingsClient() override;

    /// Copies `enabled` and the consent level from the settings file. False
    /// with the file's error.
    bool load(platform::Error* error) override;
    /// Sends the current values to the service; true once sent.
    bool save(platform::Error* error) override;
    /// Sends a message when there is a connection.
    void sendMessage(const platform::XpcObject& message);

    const std::shared_ptr<const VTSCDConfiguration>& configuration() const {
        return configuration_;
    }
    const platform::XpcConnectionPtr& connection() const { return connection_; }

    explicit VTRemoteSettingsClient(std::shared_ptr<const VTSCDConfiguration> configuration);

  private:
    std::shared_ptr<const VTSCDConfiguration> configuration_;
    platform::XpcConnectionPtr connection_;
};
