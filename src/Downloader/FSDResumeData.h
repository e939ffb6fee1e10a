// The resume data of an interrupted transfer: a small JSON file beside the
// partial file, {"version":1,"url":…,"validator":…,"offset":…}. It names no
// path; the partial is always "<name>.fsd" in the same folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"

struct FSDResumeData {
    /// The address the partial came from (the file's download address).
    std::string url;
    /// The strong entity tag or Last-Modified date of the response.
    std::string validator;
    /// Bytes of the partial that the next request continues after.
    std::uint64_t offset = 0;

    /// The JSON text.
    std::string json() const;
    /// The resume data in `text`, or nothing when it is not version 1 JSON
    /// with a text "url", a text "validator" and a whole, non-negative "offset".
    static std::optional<FSDResumeData> fromJSON(std::string_view text);
};

/// True for a validator that pins the exact bytes: a strong entity tag
/// ("\"…\"", not "W/…") or an HTTP date.
bool fsdIsStrongValidator(std::string_view validator);

/// Reads the resume data at `path` (at most 64 KiB); nothing when missing or
/// malformed.
std::optional<FSDResumeData> readFSDResumeData(const std::string& path);

/// Writes `data` to `path` atomically (a temporary file in the same folder,
/// mode 0600, then renamed). False with a POSIX error in `error` on failure.
bool writeFSDResumeData(const FSDResumeData& data, const std::string& path, platform::Error* error);

/// Writes `bytes` to `path` through a temporary file in the same folder
/// that is renamed over it at the end; `mode` is the file's mode.
bool fsdWriteFileAtomically(std::string_view bytes, const std::string& path, unsigned mode,
                            platform::Error* error);
