#include "Controllers/Core/KextAssistantClient.h"

#include <mutex>

namespace {

class XPCKextAssistantClient : public KextAssistantClient {
  public:
    XPCKextAssistantClient() : client_(std::make_shared<KextAssistantXPCClient>()) {}
    void setDelegate(KextAssistantXPCClientDelegate* delegate) override {
        client_->setDelegate(delegate);
    }
    bool shouldShowKextMessage() override { return client_->shouldShowKextMessage(); }
    void loadPelKextWithReply(LoadReply reply) override {
        client_->loadPelKextWithReply(std::move(reply));
    }
    void shutdownHelper() override { client_->shutdownHelper(); }
    bool observingIOKitService(platform::Error* error) override {
        return client_->observingIOKitService(error);
    }

  private:
    std::shared_ptr<KextAssistantXPCClient> client_;
};

std::mutex& factoryMutex() {
    static std::mutex mutex;
    return mutex;
}

KextAssistantClient::Factory& factorySlot() {
    static KextAssistantClient::Factory factory;
    return factory;
}

}  // namespace

std::shared_ptr<KextAssistantClient> KextAssistantClient::create() {
    Factory factory;
    {
        std::lock_guard lock(factoryMutex());
        factory = factorySlot();
    }
    if (factory) return factory();
    return std::make_shared<XPCKextAssistantClient>();
}

void KextAssistantClient::setFactory(Factory factory) {
    std::lock_guard lock(factoryMutex());
    factorySlot() = std::move(factory);
}
