// Changes to one file delivered as handler calls on a queue: the watch of a
// configuration file that is reloaded when it is rewritten, renamed or
// deleted.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Values/Error.h"

namespace platform {

/// Watches one file (the file itself, not the name: after a rename the same
/// file is still watched, and once it is deleted nothing more comes; a new
/// file created at the path is not picked up).
///
/// Each change that matches the mask leads to a handler call on the target
/// queue with the kinds of change seen; changes that come while a call is
/// still waiting to run are merged into it (their kinds OR-ed together).
class FileWatchSource {
  public:
    /// Kinds of change (the same bit values as the system's vnode events).
    enum Event : unsigned {
        kDelete = 0x1,
        kWrite = 0x2,
        kExtend = 0x4,  // reported together with kWrite: a write cannot be told apart
        kAttrib = 0x8,
        kRename = 0x20,
        /// A writer closed the file after writing to it: the write is
        /// complete, so a reader no longer sees it half done.
        kCloseWrite = 0x100,
    };
    using Handler = std::function<void(unsigned events)>;

    /// Starts watching the file at `path` for the kinds in `mask`. Returns null
    /// and fills `error` (POSIX domain, with the path) when the file cannot be
    /// watched (missing, no permission, out of watch resources).
    static std::shared_ptr<FileWatchSource> create(const std::string& path, unsigned mask,
                                                   DispatchQueuePtr queue, Handler handler,
                                                   Error* error = nullptr);

    /// Cancels the source.
    ~FileWatchSource();
    FileWatchSource(const FileWatchSource&) = delete;
    FileWatchSource& operator=(const FileWatchSource&) = delete;

    /// After cancel() returns, no handler call starts any more (one already
    /// running finishes) and the watch's descriptors are closed by its thread.
    /// Safe from the handler itself; idempotent.
    void cancel();
    bool isCancelled() const;

    struct State;  // internal

  private:
    explicit FileWatchSource(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

using FileWatchSourcePtr = std::shared_ptr<FileWatchSource>;

}  // namespace platform
