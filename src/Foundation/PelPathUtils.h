// The file checks and operations that the install engine, the screens and
// the downloader share. Every path may be absent (std::nullopt): an absent
// path makes a method do nothing and return false, 0 or no error.
//
// Paths are used as given; callers resolve fixed system paths through
// platform::Paths first. The methods keep no state and may be called from any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// A path that may be absent.
using PelOptionalPath = std::optional<std::string>;

class PelPathUtils {
  public:
    /// The one shared instance.
    static PelPathUtils& sharedPathUtils();

    /// Whether an item exists at the path (symbolic links followed).
    bool fileExistsAtPath(const PelOptionalPath& path) const;

    /// True only when every element names an existing item, in order: a
    /// dictionary names its path under "pkgName", a string is the path itself;
    /// any other element counts as missing. False for an empty array, and for
    /// a Value that is not an array.
    bool filesExistAtPathInArray(const platform::Array& items) const;
    bool filesExistAtPathInArray(const platform::Value& items) const;

    /// Removes the item (a folder with its contents; links are not followed).
    /// Returns the error, or nothing on success; a missing item is an error.
    std::optional<platform::Error> deleteFileAtPath(const PelOptionalPath& path) const;

    /// Creates the folder and any missing parent folders; an existing folder
    /// is success. Returns the error, or nothing on success.
    std::optional<platform::Error> createDirAtPath(const PelOptionalPath& path) const;

    /// Creates an empty file (an existing file is emptied). Returns whether it
    /// succeeded; callers may ignore the result.
    bool createFileAtPath(const PelOptionalPath& path) const;

    /// Copies `from` to `to` and, only when the copy succeeded, removes
    /// `from` and returns true (also when `from` cannot be removed). False when
    /// either path is absent or the copy failed (an existing `to` makes it
    /// fail); `from` is then left in place.
    bool renameFileAtPath(const PelOptionalPath& from, const PelOptionalPath& to) const;

    /// The item's size in bytes (a link's own size); 0 when the path is
    /// absent or missing. When its attributes cannot be read, fills `error`
    /// and returns 0.
    std::uint64_t sizeOfFileAtPath(const PelOptionalPath& path, platform::Error* error) const;

    /// Whether the current user may write to the item.
    bool isWritableFileAtPath(const PelOptionalPath& path) const;

    /// True when both items exist and `file` was modified at the same time as
    /// `other` or later. False when either is missing; when the attributes of
    /// either cannot be read, fills `error` and returns false.
    bool modifyTimeStampOfFile(const PelOptionalPath& file, const PelOptionalPath& other,
                               platform::Error* error) const;

    /// Copies `source` into `folder` under its own last path component. Copies
    /// only when the source and the folder exist and the folder is writable;
    /// otherwise returns false and stores an empty Error (no error) in `error`.
    /// Else returns the copy's result and fills `error` when it fails.
    bool copyItemAtPath(const PelOptionalPath& source, const PelOptionalPath& folder,
                        platform::Error* error) const;
};
