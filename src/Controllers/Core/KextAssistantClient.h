// The kernel-module helper's client as the approval screen sees it: the
// calls of KextAssistantXPCClient that the screen makes. Production forwards
// to that client; tests put a fake in its place through the factory.
#pragma once

#include <functional>
#include <memory>

#include "Engine/KextAssistantXPCClient.h"
#include "Platform/Values/Error.h"

class KextAssistantClient {
  public:
    using LoadReply = KextAssistantXPCClient::LoadReply;
    using Factory = std::function<std::shared_ptr<KextAssistantClient>()>;

    virtual ~KextAssistantClient() = default;

    /// Not retained.
    virtual void setDelegate(KextAssistantXPCClientDelegate* delegate) = 0;
    virtual bool shouldShowKextMessage() = 0;
    /// `reply` (may be empty) gets the status once, on the main queue.
    virtual void loadPelKextWithReply(LoadReply reply) = 0;
    virtual void shutdownHelper() = 0;
    /// Starts watching for the module; may report it (preferenceUpdated)
    /// before it returns.
    virtual bool observingIOKitService(platform::Error* error) = 0;

    /// A new client from the factory (the XPC client unless replaced).
    static std::shared_ptr<KextAssistantClient> create();
    /// Replaces the factory (tests); null returns to the XPC client.
    static void setFactory(Factory factory);
};
