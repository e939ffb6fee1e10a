#include "Engine/PelULogging.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::shared_ptr<PelLogChannel> gChannel;
}  // namespace

PelLogChannel::Config PelULogging::channelConfig() {
    PelLogChannel::Config config;
    config.identity = "PelUninstall";
    config.facility = "PelUninstall Messages";
    config.fileName = "PelUninstall.log";
    return config;
}

std::shared_ptr<PelLogChannel> PelULogging::channel() {
    std::lock_guard lock(gMutex);
    if (!gChannel) gChannel = std::make_shared<PelLogChannel>(channelConfig());
    return gChannel;
}

void PelULogging::setChannel(std::shared_ptr<PelLogChannel> channel) {
    std::lock_guard lock(gMutex);
    gChannel = std::move(channel);
}
