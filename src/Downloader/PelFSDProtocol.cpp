#include "Downloader/PelFSDProtocol.h"

#include "Platform/Dispatch/MainQueue.h"

void postToFSDDelegate(const PelFSDDelegateRef& delegate, PelFSDOperation operation,
                       std::function<void(PelFSDProtocol&)> call) {
    if (delegate.expired()) return;
    platform::mainQueue()->async([delegate, operation, call = std::move(call)] {
        if (auto target = delegate.lock(); target && target->respondsTo(operation)) call(*target);
    });
}
