// Settings clients: objects that load and save the library's settings and
// learn of changes made by others.
//
// Every client serialises its loads and saves on a serial queue of its own
// (load and save wait for it: they must not be called from a block of that
// queue's caller chain other than the queue itself). A change is announced
// with the distributed notification "com.pelgrave.vantrel.settings" whose
// user information names the changing client ({"VTClientID": UUID text});
// every other client then loads again, on the main queue, and calls its
// change callback.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Platform/Dispatch/NotificationCenter.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "VTErrorCreationLib/VTSettings.h"
#include "VTErrorCreationLib/VTUUID.h"

/// The distributed notification of a settings change.
inline constexpr std::string_view VTSettingsChangedNotification = "com.pelgrave.vantrel.settings";
/// Its user-information key: the changing client's id as UUID text.
inline constexpr std::string_view VTSettingsClientIDKey = "VTClientID";

class VTSettingsClient : public std::enable_shared_from_this<VTSettingsClient> {
  public:
    using ChangeCallback = std::function<void(std::shared_ptr<VTSettingsProtocol>)>;

    /// A local client for the configuration's settings file (see
    /// VTLocalSettingsClient::initWithConfiguration).
    static std::shared_ptr<VTSettingsClient> clientWithSettingsFromConfig(
        std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error);
    /// A remote client connected to the settings service (see
    /// VTRemoteSettingsClient::initWithConfiguration).
    static std::shared_ptr<VTSettingsClient> clientWithSettingsFromServerUsingConfiguration(
        std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error);

    virtual ~VTSettingsClient();
    VTSettingsClient(const VTSettingsClient&) = delete;
    VTSettingsClient& operator=(const VTSettingsClient&) = delete;

    /// Reads the settings again. The base answers false.
    virtual bool load(platform::Error* error);
    /// Stores the settings. The base answers false.
    virtual bool save(platform::Error* error);
    /// Reads and changes the counters of a gateway type in one step and
    /// answers what `change` answers. The base changes the counters held in
    /// memory (false without VTSettings); a local client changes them in the
    /// settings file itself, so that the submissions of every process count.
    /// `error` is filled when the change could not be stored (it is then kept
    /// in memory and stored by the next save).
    virtual bool updateStats(std::int32_t type,
                             const std::function<bool(VTSubmissionStats&)>& change,
                             platform::Error* error);

    /// The current settings, or null when there are none (yet).
    std::shared_ptr<VTSettingsProtocol> settings() const;
    void setSettings(std::shared_ptr<VTSettingsProtocol> settings);

    /// Called, on the main queue, after a change made by another client has
    /// been loaded.
    ChangeCallback settingsChangeCallback() const;
    void setSettingsChangeCallback(ChangeCallback callback);

    const VTUUID& clientID() const { return clientID_; }
    const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }

    /// What the client runs for a change notification: unless the
    /// notification names this very client, load again and, when that
    /// worked, call the change callback.
    platform::NotificationCenter::Handler notificationHandler();

    /// The queue that change notifications are handled on (the main queue
    /// unless a test changes it). Process-wide; set it before clients are
    /// made.
    static void setNotificationQueueForTesting(platform::DispatchQueuePtr queue);

  protected:
    /// `className` names the client's queue.
    explicit VTSettingsClient(std::string className);

    /// Registers notificationHandler() for the change notification. Call
    /// once the object is owned by a shared pointer.
    void observeChanges();
    /// Posts the change notification naming this client.
    void announceChange();

  private:
    VTUUID clientID_;
    std::shared_ptr<platform::SerialQueue> queue_;
    mutable std::mutex mutex_;
    std::shared_ptr<VTSettingsProtocol> settings_;
    ChangeCallback changeCallback_;
    platform::ObserverToken observer_;
};
