// Feeds arbitrary bytes to the frame reader exactly as a connection does: in
// chunks, taking frames out as they complete, then ending the stream. Every
// decoded message must encode again and decode to an equal message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Platform/Xpc/XpcWire.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    XpcWireLimits limits;
    limits.maxFrameSize = 1 << 20;
    XpcFrameReader reader(limits);
    // The first byte picks the chunk size, so splits are explored too.
    std::size_t chunk = size > 0 ? (data[0] % 32) + 1 : 1;
    for (std::size_t off = 0; off < size; off += chunk) {
        reader.append(data + off, std::min(chunk, size - off));
        for (;;) {
            XpcFrame frame;
            auto status = reader.next(frame);
            if (status != XpcFrameReader::Status::Frame) break;
            std::vector<std::uint8_t> again;
            XpcWireError error = XpcWireError::None;
            if (!encodeXpcFrame(frame.kind, frame.id, frame.message, again, &error, limits))
                abort();
            XpcFrameReader check(limits);
            check.append(again.data(), again.size());
            XpcFrame copy;
            if (check.next(copy) != XpcFrameReader::Status::Frame ||
                !(copy.message == frame.message) || copy.id != frame.id || copy.kind != frame.kind)
                abort();
        }
    }
    reader.finish();
    return 0;
}
