// Names of the files a download makes in its folder, all derived from the
// address of the file being fetched.
#pragma once

#include <optional>
#include <string>
#include <string_view>

/// The name a file fetched from `url` gets: the last component of the
/// address's path, percent escapes removed (UTF-8). Absent when the name is
/// empty, "." or "..", or holds "/" or NUL once unescaped, so that nothing
/// named from an address can leave its folder.
std::optional<std::string> fsdFileNameForURL(std::string_view url);

/// "<folder>/<name>.fsd": the partial file of a transfer.
std::string fsdTargetPath(std::string_view folder, std::string_view name);
/// "<folder>/.<name>.fsd_resumedata": the resume data of a transfer.
std::string fsdResumeDataPath(std::string_view folder, std::string_view name);

/// The address with its percent escapes removed, for pings and logs (the
/// address itself when an escape is malformed).
std::string fsdUnescapedURL(std::string_view url);

/// Makes the folder `path` and the missing folders above it (by descriptor)
/// for a download to work in. The download then works in it by path, so a
/// root run takes it only when no other user can change it or any folder on
/// the way: each folder above must be root's and writable by nobody else
/// unless sticky, the folder itself writable by root alone (a root run with
/// another user's home folder downloads nothing there). 0, or the errno
/// (EPERM; ELOOP for another user's link on the way).
int fsdMakeWorkFolder(const std::string& path);

/// Removes the file or symbolic link at `path` (never a folder); true when
/// nothing is there afterwards.
bool fsdUnlinkFile(const std::string& path);
/// As fsdUnlinkFile(), for a large file: the name goes at once, and the
/// file's blocks and cached pages are given back later on a background
/// queue, so that the caller does not wait for the file system to free them.
bool fsdUnlinkLargeFile(const std::string& path);
