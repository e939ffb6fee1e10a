// Copying between open file descriptors.
#pragma once

namespace platform {

/// Copies everything `in` still holds to `out`, retrying interrupted calls
/// and short writes. Answers 0, or the errno of the read or write that
/// failed. Neither descriptor is closed.
int copyDescriptorContents(int in, int out);

}  // namespace platform
