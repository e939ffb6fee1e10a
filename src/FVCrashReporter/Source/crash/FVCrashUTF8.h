// UTF-8 prefix scan used to cut strings at a character boundary.
// Async-signal-safe.
#pragma once

#include <cstddef>

/// The length of the longest valid UTF-8 prefix of `bytes`: a leading
/// byte-order mark (EF BB BF) is taken when at least three bytes are given; a
/// zero byte ends the scan; a sequence that is cut short or has a bad
/// continuation byte ends it before its lead byte.
size_t fvcrash_utf8_prefix_length(const void* bytes, size_t length);
/// The same over a NUL-terminated string.
size_t fvcrash_utf8_prefix_length_of(const char* string);
