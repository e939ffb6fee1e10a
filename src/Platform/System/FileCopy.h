// Copying between open file descriptors.
#pragma once

#include <optional>

#include "Platform/Security/Crypto.h"
#include "Platform/Values/Value.h"

namespace platform {

/// Copies everything `in` still holds to `out`, retrying interrupted calls
/// and short writes; every byte read also goes to `digest` when given.
/// Answers 0, or the errno of the read or write that failed (ENOMEM when
/// the digest cannot take the bytes). Neither descriptor is closed.
int copyDescriptorContents(int in, int out, Digester* digest = nullptr);

/// The digest of everything `fd` holds, read from its start without moving
/// its offset; nothing when a read fails.
std::optional<Data> descriptorDigest(int fd, DigestAlgorithm algorithm);

}  // namespace platform
