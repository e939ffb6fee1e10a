#include "Platform/Dispatch/NotificationCenter.h"

#include <algorithm>

namespace platform {

// One registration. `active` and `handler` are guarded by the observer's own
// mutex so a delivery can check and copy them without the centre's lock.
class NotificationObserver {
  public:
    std::string name;
    std::optional<Value> object;
    DispatchQueuePtr queue;
    const void* owner = nullptr;

    bool matches(const Notification& n) const {
        return (name.empty() || name == n.name) && (!object || *object == n.object);
    }

    void deliver(const Notification& n) {
        NotificationCenter::Handler toCall;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!active) return;
            toCall = handler;
        }
        runCatchingExceptions("notification " + n.name, [&] { toCall(n); });
    }

    void deactivate() {
        NotificationCenter::Handler released;
        std::lock_guard<std::mutex> lock(mutex);
        active = false;
        released = std::move(handler);
    }

    std::mutex mutex;
    bool active = true;
    NotificationCenter::Handler handler;
};

NotificationCenter::NotificationCenter() = default;

NotificationCenter::~NotificationCenter() {
    for (const ObserverToken& token : observers_) token->deactivate();
}

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may be removed during static destruction.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

namespace {

ObserverToken makeToken(std::string name, std::optional<Value> object, DispatchQueuePtr queue,
                        NotificationCenter::Handler handler, const void* owner) {
    auto token = std::make_shared<NotificationObserver>();
    token->name = std::move(name);
    token->object = std::move(object);
    token->queue = std::move(queue);
    token->owner = owner;
    token->handler = handler ? std::move(handler) : NotificationCenter::Handler([](const auto&) {});
    return token;
}

}  // namespace

ObserverToken NotificationCenter::addObserver(std::string name, std::optional<Value> object,
                                              DispatchQueuePtr queue, Handler handler) {
    ObserverToken token = makeToken(std::move(name), std::move(object), std::move(queue),
                                    std::move(handler), nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(token);
    return token;
}

ObserverToken NotificationCenter::addObserver(const void* owner, std::string name,
                                              Handler handler) {
    ObserverToken token =
        makeToken(std::move(name), std::nullopt, nullptr, std::move(handler), owner);
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(token);
    return token;
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
    if (!token) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find(observers_.begin(), observers_.end(), token);
        if (it == observers_.end()) return;
        observers_.erase(it);
    }
    token->deactivate();
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name) {
    std::vector<ObserverToken> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto keep = std::stable_partition(observers_.begin(), observers_.end(), [&](const auto& t) {
            return !(t->owner == owner && (name.empty() || t->name == name));
        });
        removed.assign(keep, observers_.end());
        observers_.erase(keep, observers_.end());
    }
    for (const ObserverToken& token : removed) token->deactivate();
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<ObserverToken> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const ObserverToken& token : observers_)
            if (token->matches(notification)) targets.push_back(token);
    }
    for (const ObserverToken& token : targets) {
        if (token->queue)
            token->queue->async([token, notification] { token->deliver(notification); });
        else
            token->deliver(notification);
    }
}

void NotificationCenter::post(std::string name, Value object, Value userInfo) {
    post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

}  // namespace platform
