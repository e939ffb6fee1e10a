// Removal of a folder tree, even when files in it are locked.
#pragma once

/// Removes the tree at `path` without following symbolic links or entering
/// other file systems: the folder holding it is opened once and the tree is
/// walked from descriptors with unlinkat, so an entry swapped for a link
/// while the walk runs is removed as the link itself. With `force`, the immutable flag of a file or
/// folder is cleared before it is removed (a failure to clear it is ignored; the removal then fails
/// with EPERM). Files, links, FIFOs, sockets and device nodes are unlinked; folders are removed
/// after their contents. Returns 0 when the whole tree is gone, otherwise the errno of the first
/// failure (the entries removed before it stay removed).
extern "C" int PelRmDir(const char* path, bool force);
