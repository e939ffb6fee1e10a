// A clean-up routine that runs when its scope ends, also when the thread is
// cancelled inside that scope.
#pragma once

/// One record on the calling thread's clean-up stack. The destructor pops the
/// record and, when asked to execute, calls the routine with its argument.
///
/// Thread cancellation on Linux unwinds the cancelled thread's stack and runs
/// destructors, so a routine registered here runs whether its scope ends
/// normally or the thread is cancelled at a cancellation point inside it.
/// Records must end in the reverse order of their making, on the thread that
/// made them (automatic variables and members of automatic objects do).
class ZStThreadCleanup {
  public:
    using Routine = void (*)(void* argument);

    /// Pushes the record; a null routine is an empty one.
    ZStThreadCleanup(Routine routine, void* argument, bool execute);
    ~ZStThreadCleanup();
    ZStThreadCleanup(const ZStThreadCleanup&) = delete;
    ZStThreadCleanup& operator=(const ZStThreadCleanup&) = delete;

    /// Replaces the routine (null: the empty one).
    void SetCleanupRoutine(Routine routine) { routine_ = routine; }

    /// The top record of the calling thread's stack, or null.
    static ZStThreadCleanup* Top();

  private:
    Routine routine_;
    void* argument_;
    ZStThreadCleanup* previous_;
    bool execute_;
};
