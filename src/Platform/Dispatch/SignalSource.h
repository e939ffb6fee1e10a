// POSIX signals delivered as ordinary handler calls on a queue.
#pragma once

#include <memory>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Values/Error.h"

namespace platform {

/// Turns each arrival of a signal into a call of a handler on a target queue.
///
/// While at least one source for a signal exists, the process catches that
/// signal with a small handler that only writes the signal number to a pipe
/// (async-signal-safe, errno preserved); a watcher thread reads the pipe and
/// enqueues the handlers. Arrivals that come while a call is still waiting to
/// run are merged into it. When the last source for a signal is cancelled,
/// the signal's previous disposition is restored.
class SignalSource {
  public:
    /// Creates a source for `signo` whose handler runs on `queue`, active at
    /// once. Returns null and fills `error` (POSIX domain) when the signal
    /// cannot be caught (SIGKILL, SIGSTOP, out of range) or the pipe or
    /// thread cannot be made.
    static std::shared_ptr<SignalSource> create(int signo, DispatchQueuePtr queue, Block handler,
                                                Error* error = nullptr);

    /// Cancels the source.
    ~SignalSource();
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    int signalNumber() const;

    /// After cancel() returns, no handler call starts any more (one already
    /// running finishes). Safe from the handler itself; idempotent.
    void cancel();
    bool isCancelled() const;

    struct State;  // internal, shared with the process-wide signal registry

  private:
    explicit SignalSource(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

using SignalSourcePtr = std::shared_ptr<SignalSource>;

}  // namespace platform
