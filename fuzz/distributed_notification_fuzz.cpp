// Feeds arbitrary datagrams to the distributed-notification reader, as a
// receiving socket does. Every notification read must encode again and read
// back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Platform/Dispatch/DistributedNotification.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto notification = decodeDistributedNotification(std::span<const std::uint8_t>(data, size));
    if (!notification) return 0;
    auto wire = encodeDistributedNotification(*notification);
    if (!wire) abort();
    auto again = decodeDistributedNotification(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(wire->data()), wire->size()));
    if (!again || again->name != notification->name || again->object != notification->object ||
        again->userInfo != notification->userInfo)
        abort();
    return 0;
}
