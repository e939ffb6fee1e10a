// File-system steps of the error folder life cycle.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"

namespace vtfolder {

/// Whether something exists at `path` (a dangling link counts).
bool exists(const std::string& path);
/// Whether a folder can be reached at `path`; otherwise false with
/// NSCocoaErrorDomain 260 (or the POSIX error) for the path.
bool checkReachable(const std::string& path, platform::Error* error);

std::string parentOf(std::string_view path);
std::string join(std::string_view folder, std::string_view name);

/// Creates the folder (and, with `intermediates`, the missing folders above
/// it) and gives each folder it creates exactly `mode`. False with the
/// file-system error.
bool makeFolder(const std::string& path, mode_t mode, bool intermediates, platform::Error* error);

/// Mode of the folders that every user of the machine writes into ("Errors",
/// "Submissions", "CrashDumps" and the bucket folders): anyone may add an
/// entry, only its owner (or the folder's) may remove or rename it.
inline constexpr mode_t kSharedFolderMode = 01777;

/// For a process running as root: whether `top` and every folder from it
/// down to `path` (a folder below `top`, or `top` itself) may receive root's
/// files. Refused: a link, something that is not a folder, a folder owned
/// by another user, and a folder others may write to without the sticky
/// bit (its entries could be swapped for links). Folders are opened one by
/// one with O_NOFOLLOW from `top`; the walk ends well at the first one that
/// does not exist yet (the caller makes it and checks again). Always true
/// for other processes. False with the POSIX error (ELOOP, ENOTDIR, EPERM
/// or the open error) and the refused path.
bool checkTrustedFolders(const std::string& top, const std::string& path, platform::Error* error);

/// The file-system calls a move makes; tests replace them to inject failures.
struct MoveSteps {
    int (*rename)(const char* from, const char* to) = ::rename;
    /// Removes a tree; 0 or the errno of the first failure (PelRmDir).
    int (*removeTree)(const char* path, bool force) = nullptr;
};

/// Moves a file or folder tree; across file systems by copying and then
/// deleting the original. False with the file-system error, and then the
/// original is where it was (a partial copy is removed). Once the copy is
/// complete the move has succeeded: the copy is kept even when the original
/// cannot be removed entirely, and what is left of it is logged.
bool moveItem(const std::string& from, const std::string& to, platform::Error* error,
              const MoveSteps& steps = {});

/// Whether `name` may name a file inside an error folder: one path
/// component, not "." or "..", and not one of the error's own files.
bool isValidDetailIdentifier(std::string_view name);

}  // namespace vtfolder
