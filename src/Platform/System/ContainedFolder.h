// A folder that archive extraction writes into, and the walk that keeps
// every entry inside it.
//
// Where an entry goes is decided by walking the folder as it is on disk: one
// component at a time, never following a link on the way except by reading
// it and resolving its target inside the folder the same way. A textual look
// at names cannot see that `l1 -> .` makes `l1/l1/../..` climb out; the walk
// does. Whatever the walk accepts is handed to the writer as a path with no
// link left on it.
//
// Links an extraction makes are checked when they are made: a target that
// leaves the folder now, or whose `..` follows a part that does not exist
// yet, is refused. Together with never replacing a folder by something else,
// nor a link made by the same extraction, every link left behind resolves
// inside the folder (or nowhere).
//
// One object is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/System/SharedFolder.h"

namespace platform {

class ContainedFolder {
  public:
    enum class Kind { File, Folder, SymbolicLink, HardLink };

    ContainedFolder() = default;
    ~ContainedFolder();
    ContainedFolder(const ContainedFolder&) = delete;
    ContainedFolder& operator=(const ContainedFolder&) = delete;

    /// Opens the existing folder `path`; false with `reason` when it cannot.
    bool open(const std::string& path, std::string* reason);
    /// The folder's real path (links resolved), without a trailing slash
    /// except for "/".
    const std::string& realPath() const { return realPath_; }
    /// The open folder, for writers that work relative to it.
    int descriptor() const { return root_; }

    /// Decides where the archive entry `name` of `kind` goes: for a symbolic
    /// link `link` is its target, for a hard link the entry name of the file
    /// it joins. Makes the missing folders above the entry (they count as
    /// made by this extraction). On success `path` receives the entry's path
    /// below the folder with every link on the way resolved, and for a hard
    /// link `linkPath` the path of the file it joins. False with `reason`
    /// when the entry is refused: absolute or `..` names, a way out of the
    /// folder, a link whose target leaves it, a hard link to anything but a
    /// file (a symbolic link above all), or an entry that would replace a
    /// folder or a link made by this extraction.
    bool place(std::string_view name, Kind kind, std::string_view link, std::string* path,
               std::string* linkPath, std::string* reason);
    /// Tells that the entry last placed has been written.
    void placed();
    /// Places the entry and makes it itself: a folder, an empty file, a link.
    /// Used to try an archive's layout before another program unpacks it.
    bool make(std::string_view name, Kind kind, std::string_view link, std::string* reason);

    /// Removes, newest first, everything this extraction made that did not
    /// exist before; a folder that still holds something else stays.
    void removeMade();
    /// Forgets what was made: it stays whatever happens next.
    void keepMade() { made_.clear(); }

  private:
    struct Walk;
    bool openBelow(const std::vector<std::string>& parts, int* fd) const;
    bool resolve(Walk& walk, std::vector<std::string> parts, bool allowMissing,
                 std::string* reason) const;

    int root_ = -1;
    std::string realPath_;
    std::vector<std::string> made_;
    std::set<std::pair<dev_t, ino_t>> linksMade_;
    std::string pending_;
    bool pendingExisted_ = true;
};

}  // namespace platform
