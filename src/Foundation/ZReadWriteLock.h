// A reader/writer lock with writer preference, recursion, upgrade from read
// to write and a try mode, taken only through the scoped holder
// ZStHoldReadWriteLock.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "Foundation/ZStThreadCleanup.h"

class ZStHoldReadWriteLock;

/// The lock itself. Writers go first: a new reader waits while any writer
/// waits, except on a thread that already reads the lock. A thread that holds
/// the lock may take it again in either mode; a thread that reads may ask to
/// write (an upgrade) and waits until every other reader has left. Only one
/// upgrade may wait at a time.
class ZReadWriteLock {
  public:
    ZReadWriteLock();
    ~ZReadWriteLock();
    ZReadWriteLock(const ZReadWriteLock&) = delete;
    ZReadWriteLock& operator=(const ZReadWriteLock&) = delete;

    /// A consistent view of the lock's counts, for diagnostics and tests.
    struct Snapshot {
        /// > 0 read holds; 0 free; < 0 write-held (-1, lower when nested).
        std::int32_t state;
        /// Threads waiting to write, a pending upgrade included.
        std::int32_t waitingWriters;
        /// Threads waiting to read.
        std::int32_t waitingReaders;
        bool upgradePending;
    };
    Snapshot GetSnapshot() const;

  private:
    friend class ZStHoldReadWriteLock;

    /// Wakes whoever may go on in the current state (caller holds mutex_).
    void WakeNext();

    mutable pthread_mutex_t mutex_;
    pthread_cond_t readersCondition_;  // readers wait here
    pthread_cond_t writersCondition_;  // writers without reads wait here
    // The pending upgrader waits alone on its own condition: were it to share
    // the writers' one, a wake-up meant for it could reach a writer that still
    // cannot go on, and the upgrader would wait for ever.
    pthread_cond_t upgraderCondition_;
    pthread_t writingThread_{};
    bool hasWritingThread_ = false;
    ZStHoldReadWriteLock* pendingUpgrader_ = nullptr;
    std::int32_t state_ = 0;
    std::int32_t waitingWriters_ = 0;
    std::int32_t waitingReaders_ = 0;  // for the snapshot only
};

/// Holds a ZReadWriteLock for reading or writing for its own lifetime.
///
/// Holders live on the taking thread (automatic variables) and end in the
/// reverse order of their making. Each thread keeps a stack of its holders, so
/// a nested holder knows how many reads its thread already has on the lock.
/// A holder also ends, releasing its hold, when its thread is cancelled.
class ZStHoldReadWriteLock {
  public:
    /// Error codes of a holder that holds nothing.
    static constexpr int kBusy = 16;            // EBUSY: try mode, the lock is not free
    static constexpr int kUpgradePending = 11;  // EAGAIN: another upgrade waits already

    /// Takes `lock` for writing or reading; with `tryOnly`, fails at once
    /// instead of waiting. Afterwards Error() is 0 and the lock is held, or it
    /// is kBusy, kUpgradePending or the error number of a failed mutex or
    /// condition operation (ENOMEM when the thread's lock stack cannot be
    /// made), and nothing is held.
    ZStHoldReadWriteLock(ZReadWriteLock& lock, bool write, bool tryOnly = false);
    ~ZStHoldReadWriteLock() = default;  // the clean-up record releases the hold
    ZStHoldReadWriteLock(const ZStHoldReadWriteLock&) = delete;
    ZStHoldReadWriteLock& operator=(const ZStHoldReadWriteLock&) = delete;

    /// 0 when the lock is held, else why not.
    int Error() const { return error_; }

    static void InitLockStackKey();
    /// The calling thread's lock stack (the word holding its top holder),
    /// made on first use; null when it cannot be made.
    static ZStHoldReadWriteLock** GetLockStack();
    static void FreeLockStack(void* stack);
    /// Gives back what `holder` holds; runs when the holder ends.
    static void ReleaseLock(void* holder);
    /// Undo a writer's wait (plain writer, upgrader) when the wait ends.
    static void WriteWaitCleanup1(void* holder);
    static void WriteWaitCleanup2(void* holder);

  private:
    friend class ZReadWriteLock;

    void Take(ZReadWriteLock& lock, bool write, bool tryOnly);
    void EndWriteWait(bool upgrade);
    void Unlink();

    ZReadWriteLock* lock_ = nullptr;    // null: holds nothing
    ZReadWriteLock* taking_ = nullptr;  // the lock being taken, while waiting
    int error_ = 0;
    ZStHoldReadWriteLock** lockStack_ = nullptr;
    ZStHoldReadWriteLock* next_ = nullptr;
    std::int32_t ownReads_ = 0;
    // Last, so it ends first, while the fields above are intact.
    ZStThreadCleanup cleanup_;
};
