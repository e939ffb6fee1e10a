// File-system steps of the error folder life cycle.
//
// The error roots ("Errors", "Submissions", "CrashDumps"), their buckets and
// the temporary folders of new errors lie in folders that every user of the
// machine writes to. Every step here goes through platform::SharedFolder: a
// folder is opened once, by descriptor, and what follows is done relative to
// it; a root run writes only into folders no other user owns or can swap.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "Platform/System/SharedFolder.h"
#include "Platform/Values/Error.h"

namespace vtfolder {

using platform::SharedFolder;

std::string parentOf(std::string_view path);
std::string nameOf(std::string_view path);

/// Mode of the folders that every user of the machine writes into ("Errors",
/// "Submissions", "CrashDumps" and the bucket folders): anyone may add an
/// entry, only its owner (or the folder's) may remove or rename it.
inline constexpr mode_t kSharedFolderMode = 01777;

/// Opens the folder at `path` by descriptor: its parent with
/// SharedFolder::open, then the folder itself without following a link.
/// `trust` applies to both (Trust::Any to read or remove what another user
/// left). nullopt with the file-system error.
std::optional<SharedFolder> openFolder(const std::string& path, SharedFolder::Trust trust,
                                       platform::Error* error);

/// The bucket folder `bucket` of the error root `root` that this process
/// saves into, made (01777) when missing; `made` tells whether it was. A
/// root run never writes into a bucket another user made or swapped for a
/// link: it uses a bucket of its own beside it, "<bucket>.<6 characters>"
/// (the first such bucket of root's is used again), which the readers find
/// as they find the bucket itself. `name` receives the folder's name.
std::optional<SharedFolder> bucketForSaving(const SharedFolder& root, const std::string& bucket,
                                            std::string* name, bool* made, platform::Error* error);

/// Whether `name` is the bucket folder `bucket` or a bucket of root's beside
/// it (see bucketForSaving).
bool isBucketFolderOf(std::string_view name, std::string_view bucket);
/// Whether the error folder `current` stands where `destination`
/// (root/bucket/uuid) says: the same root and error folder name, in that
/// bucket or one of root's beside it.
bool isPlaceOf(const std::string& current, const std::string& destination);
/// The folder of the saved error `destination` (root/bucket/uuid), looked for
/// in the bucket and in the buckets beside it; nullopt when there is none.
std::optional<std::string> findErrorFolder(const std::string& destination);

/// The move of a folder entry; tests replace `rename` to inject failures.
struct MoveSteps {
    /// renameat2 with RENAME_NOREPLACE; 0 or -1 with errno.
    int (*rename)(int fromDir, const char* from, int toDir, const char* to) = nullptr;
    /// Removes a tree below a folder; 0 or the errno of the first failure.
    int (*removeTree)(const SharedFolder& folder, std::string_view name, bool force) = nullptr;
};

/// Moves the entry `name` of `from` to the new entry `toName` of `to`, never
/// replacing anything there. Across file systems the tree is copied (the
/// summary last, so that an interrupted copy is never taken for a whole
/// error) and then the original removed. False with the file-system error,
/// and then the original is where it was (a partial copy is removed). Once
/// the copy is complete the move has succeeded: the copy is kept even when
/// the original cannot be removed entirely, and what is left of it is
/// logged.
bool moveItem(const SharedFolder& from, std::string_view name, const SharedFolder& to,
              std::string_view toName, platform::Error* error, const MoveSteps& steps = {});

/// Removes the empty bucket folder `bucket` (a folder held open) from the
/// folder above it, when it is still empty and still that folder. True
/// when it went.
bool removeEmptyBucket(const SharedFolder& bucket);

/// Whether `name` may name a file inside an error folder: one path
/// component, not "." or "..", and not one of the error's own files.
bool isValidDetailIdentifier(std::string_view name);

/// The names of an error folder's own files.
inline constexpr std::string_view kSummaryFileName = "summary.vterr";
inline constexpr std::string_view kDataFileName = "data.vterr";

}  // namespace vtfolder
