// Notifications that reach observers in every process on the machine.
//
// There is no daemon. Each process that observes binds one datagram socket
// in a shared folder (kDistributedNotificationFolder, resolved through the
// path root; world-writable and sticky, so processes of every user share
// it). Posting sends the notification to every socket found there, the
// poster's own included; a socket left by a process that has gone is
// deleted by the next post. Delivery is best effort: a receiver whose
// buffer is full misses the notification.
//
// On the wire a notification is a JSON object {"name": text, "object": text
// or null, "userInfo": object} of at most kMaxDistributedNotificationSize
// bytes; anything else a socket receives is dropped.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/NotificationCenter.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// The shared folder of the observers' sockets, before the path root.
inline constexpr std::string_view kDistributedNotificationFolder = "/tmp/.pelgrave-notifications";
/// Largest notification on the wire, in bytes.
inline constexpr std::size_t kMaxDistributedNotificationSize = 64 * 1024;

/// Options of post(). Every notification goes to observers of all user
/// sessions at once; the options are accepted for the callers' clarity.
enum DistributedNotificationOptions : unsigned {
    kDistributedNotificationDeliverImmediately = 1u << 0,
    kDistributedNotificationPostToAllSessions = 1u << 1,
};

/// The wire form of a notification; nullopt when the user information has
/// no JSON form or the result is too large.
std::optional<std::string> encodeDistributedNotification(const Notification& notification);
/// A notification read from the wire, or nullopt for anything malformed.
/// The object is a string or null; the user information a dictionary.
std::optional<Notification> decodeDistributedNotification(std::span<const std::uint8_t> bytes);

class DistributedNotificationCenter {
  public:
    /// The process-wide centre.
    static DistributedNotificationCenter& defaultCenter();

    DistributedNotificationCenter();
    /// Stops receiving and deletes this process's socket.
    ~DistributedNotificationCenter();
    DistributedNotificationCenter(const DistributedNotificationCenter&) = delete;
    DistributedNotificationCenter& operator=(const DistributedNotificationCenter&) = delete;

    /// Registers `handler` for notifications named `name` whose object is
    /// `object` (nullopt: any object), called on `queue` (null: the centre's
    /// receiving thread). Starts receiving when needed; when the socket
    /// cannot be made the token is still returned (notifications of this
    /// process are then not seen) and `error` says why.
    ObserverToken addObserver(std::string name, std::optional<std::string> object,
                              DispatchQueuePtr queue, NotificationCenter::Handler handler,
                              Error* error = nullptr);
    /// Removes a registration; a call not yet started will not happen.
    void removeObserver(const ObserverToken& token);

    /// Sends the notification to every observing process. False with the
    /// reason when it has no wire form or no socket could be made; a process
    /// that cannot be reached is skipped.
    bool post(std::string name, std::optional<std::string> object, const Dictionary& userInfo,
              unsigned options, Error* error = nullptr);

    /// The folder in use now (kDistributedNotificationFolder under the
    /// current path root).
    static std::string folder();

  private:
    bool startReceiving(Error* error);
    void stopReceiving();
    void receive(int socketFd, int wakeFd);

    NotificationCenter local_;
    std::mutex mutex_;
    std::string socketPath_;  // "" while not receiving
    int socketFd_ = -1;
    int wakeFd_ = -1;
    std::thread receiver_;
};

}  // namespace platform
