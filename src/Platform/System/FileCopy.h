// Copying between open file descriptors.
#pragma once

namespace platform {

class Digester;

/// Copies everything `in` still holds to `out`, retrying interrupted calls
/// and short writes; every byte read also goes to `digest` when given.
/// Answers 0, or the errno of the read or write that failed (ENOMEM when
/// the digest cannot take the bytes). Neither descriptor is closed.
int copyDescriptorContents(int in, int out, Digester* digest = nullptr);

}  // namespace platform
