// In-process notifications: observers register for a name and receive the
// notifications posted under it, on the posting thread or on a queue of
// their choice.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Values/Value.h"

namespace platform {

/// One posted notification. The object is whatever the poster names as the
/// sender (often a string or null); userInfo is usually a dictionary.
struct Notification {
    std::string name;
    Value object;
    Value userInfo;
};

/// Identifies one registration; pass it to removeObserver(). Dropping the
/// token does not remove the registration.
class NotificationObserver;
using ObserverToken = std::shared_ptr<NotificationObserver>;

/// A notification centre. Registration and posting are safe from any thread.
///
/// post() calls each matching observer that was registered when the post
/// began: at once on the posting thread when the observer gave no queue,
/// otherwise asynchronously on its queue. No lock is held while handlers run,
/// so handlers may post, add and remove observers. An observer removed
/// before its call starts is not called, even when the post is in progress or
/// its call is already waiting on its queue; a call already running finishes.
class NotificationCenter {
  public:
    using Handler = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    /// The process-wide centre.
    static NotificationCenter& defaultCenter();

    /// Registers `handler` for notifications named `name` (empty: every
    /// name) whose object equals `object` (nullopt: any object). `queue` null
    /// means the posting thread. Returns the registration's token.
    ObserverToken addObserver(std::string name, std::optional<Value> object, DispatchQueuePtr queue,
                              Handler handler);

    /// The same, tagged with `owner` so removeObserver(owner, name) can find it
    /// (for objects that register themselves, any object, posting thread).
    ObserverToken addObserver(const void* owner, std::string name, Handler handler);

    /// Removes one registration. Unknown or already removed tokens are ignored.
    void removeObserver(const ObserverToken& token);

    /// Removes the registrations of `owner` for `name` (empty: all of them).
    void removeObserver(const void* owner, const std::string& name = {});

    /// Posts a notification (see the class comment for delivery).
    void post(const Notification& notification);
    void post(std::string name, Value object = {}, Value userInfo = {});

  private:
    mutable std::mutex mutex_;
    std::vector<ObserverToken> observers_;
};

}  // namespace platform
