#include "Foundation/ZReadWriteLock.h"

#include <cerrno>
#include <cstdlib>

#include "Foundation/ZReadWriteLockTesting.h"

namespace {

// Holders that are to fail on this thread (tests only), and with what error.
thread_local unsigned tFailingHolds = 0;
thread_local int tFailingHoldError = 0;

pthread_key_t gLockStackKey;
pthread_once_t gLockStackOnce = PTHREAD_ONCE_INIT;
bool gLockStackKeyMade = false;

// Unlocks the mutex when the scope ends, also when the thread is cancelled
// while waiting on a condition (the wait takes the mutex back first).
class MutexUnlocker {
  public:
    explicit MutexUnlocker(pthread_mutex_t* mutex) : mutex_(mutex) {}
    ~MutexUnlocker() { pthread_mutex_unlock(mutex_); }
    MutexUnlocker(const MutexUnlocker&) = delete;
    MutexUnlocker& operator=(const MutexUnlocker&) = delete;

  private:
    pthread_mutex_t* mutex_;
};

}  // namespace

ZReadWriteLock::ZReadWriteLock() {
    pthread_mutex_init(&mutex_, nullptr);
    pthread_cond_init(&readersCondition_, nullptr);
    pthread_cond_init(&writersCondition_, nullptr);
    pthread_cond_init(&upgraderCondition_, nullptr);
    ZStHoldReadWriteLock::InitLockStackKey();
}

ZReadWriteLock::~ZReadWriteLock() {
    pthread_cond_destroy(&upgraderCondition_);
    pthread_cond_destroy(&writersCondition_);
    pthread_cond_destroy(&readersCondition_);
    pthread_mutex_destroy(&mutex_);
}

ZReadWriteLock::Snapshot ZReadWriteLock::GetSnapshot() const {
    pthread_mutex_lock(&mutex_);
    Snapshot snapshot{state_, waitingWriters_, waitingReaders_, pendingUpgrader_ != nullptr};
    pthread_mutex_unlock(&mutex_);
    return snapshot;
}

void ZReadWriteLock::WakeNext() {
    if (pendingUpgrader_ && state_ == pendingUpgrader_->ownReads_) {
        // Only the upgrader's own reads remain.
        pthread_cond_signal(&upgraderCondition_);
    } else if (state_ == 0 && waitingWriters_ > 0) {
        pthread_cond_signal(&writersCondition_);
    } else if (state_ >= 0 && waitingWriters_ == 0) {
        pthread_cond_broadcast(&readersCondition_);
    }
}

ZStHoldReadWriteLock::ZStHoldReadWriteLock(ZReadWriteLock& lock, bool write, bool tryOnly)
    : cleanup_(nullptr, this, true) {
    Take(lock, write, tryOnly);
}

void ZReadWriteLockFailNextHoldsForTesting(int error, unsigned count) {
    tFailingHoldError = error;
    tFailingHolds = count;
}

void ZStHoldReadWriteLock::Take(ZReadWriteLock& lock, bool write, bool tryOnly) {
    if (tFailingHolds > 0) {
        tFailingHolds -= 1;
        error_ = tFailingHoldError;
        return;
    }
    lockStack_ = GetLockStack();
    if (!lockStack_) {
        error_ = ENOMEM;
        return;
    }
    for (ZStHoldReadWriteLock* h = *lockStack_; h; h = h->next_) {
        if (h->lock_ == &lock) {
            ownReads_ = h->ownReads_;
            break;
        }
    }
    const std::int32_t ownReads = ownReads_;

    if (int rc = pthread_mutex_lock(&lock.mutex_)) {
        error_ = rc;
        return;
    }
    MutexUnlocker unlocker(&lock.mutex_);

    const pthread_t self = pthread_self();
    if (lock.hasWritingThread_ && pthread_equal(lock.writingThread_, self)) {
        // A nested hold, read or write, deepens the write hold.
        lock.state_ -= 1;
    } else if (write) {
        if (tryOnly && lock.state_ != ownReads) {
            error_ = kBusy;
            return;
        }
        const bool upgrade = ownReads > 0;
        if (upgrade) {
            if (lock.pendingUpgrader_) {
                error_ = kUpgradePending;
                return;
            }
            lock.pendingUpgrader_ = this;
        }
        lock.waitingWriters_ += 1;
        taking_ = &lock;
        // Stays so if the thread is cancelled in the wait.
        error_ = ECANCELED;
        {
            ZStThreadCleanup waitCleanup(upgrade ? WriteWaitCleanup2 : WriteWaitCleanup1, this,
                                         true);
            pthread_cond_t* condition =
                upgrade ? &lock.upgraderCondition_ : &lock.writersCondition_;
            int rc = 0;
            // Wait until no other thread reads; this thread's own reads may remain.
            while (lock.state_ != ownReads) {
                rc = pthread_cond_wait(condition, &lock.mutex_);
                if (rc) break;
            }
            error_ = rc;
        }
        taking_ = nullptr;
        if (error_) return;
        lock.state_ = -1;
        lock.writingThread_ = self;
        lock.hasWritingThread_ = true;
    } else {
        // A thread never waits behind writers for a lock it already reads.
        if (ownReads == 0) {
            if (tryOnly && (lock.state_ < 0 || lock.waitingWriters_ > 0)) {
                error_ = kBusy;
                return;
            }
            struct Waiting {
                std::int32_t& readers;
                ~Waiting() { readers -= 1; }
            } waiting{++lock.waitingReaders_};
            while (lock.state_ < 0 || lock.waitingWriters_ > 0) {
                if (int rc = pthread_cond_wait(&lock.readersCondition_, &lock.mutex_)) {
                    error_ = rc;
                    return;
                }
            }
        }
        lock.state_ += 1;
        ownReads_ += 1;
    }

    lock_ = &lock;
    cleanup_.SetCleanupRoutine(ReleaseLock);
    next_ = *lockStack_;
    *lockStack_ = this;
}

void ZStHoldReadWriteLock::EndWriteWait(bool upgrade) {
    ZReadWriteLock* lock = taking_;
    lock->waitingWriters_ -= 1;
    if (upgrade) lock->pendingUpgrader_ = nullptr;
    // A writer that gives up waiting (cancelled, or the wait failed) may have
    // been what kept readers or another writer waiting.
    if (error_) lock->WakeNext();
}

void ZStHoldReadWriteLock::WriteWaitCleanup1(void* holder) {
    static_cast<ZStHoldReadWriteLock*>(holder)->EndWriteWait(false);
}

void ZStHoldReadWriteLock::WriteWaitCleanup2(void* holder) {
    static_cast<ZStHoldReadWriteLock*>(holder)->EndWriteWait(true);
}

void ZStHoldReadWriteLock::Unlink() {
    // Holders end in reverse order, so this is normally the top.
    for (ZStHoldReadWriteLock** link = lockStack_; *link; link = &(*link)->next_) {
        if (*link == this) {
            *link = next_;
            break;
        }
    }
    next_ = nullptr;
}

void ZStHoldReadWriteLock::ReleaseLock(void* argument) {
    auto* holder = static_cast<ZStHoldReadWriteLock*>(argument);
    ZReadWriteLock* lock = holder->lock_;
    if (!lock) return;
    holder->Unlink();
    holder->lock_ = nullptr;
    if (pthread_mutex_lock(&lock->mutex_) != 0) return;
    if (lock->state_ > 0) {
        lock->state_ -= 1;
    } else if (lock->state_ < 0) {
        lock->state_ += 1;
        if (lock->state_ == 0) {
            // The outermost write hold ends; an upgrader keeps the reads it had.
            lock->hasWritingThread_ = false;
            lock->state_ = holder->ownReads_;
        }
    }
    lock->WakeNext();
    pthread_mutex_unlock(&lock->mutex_);
}

void ZStHoldReadWriteLock::InitLockStackKey() {
    pthread_once(&gLockStackOnce, [] {
        gLockStackKeyMade = pthread_key_create(&gLockStackKey, FreeLockStack) == 0;
    });
}

ZStHoldReadWriteLock** ZStHoldReadWriteLock::GetLockStack() {
    InitLockStackKey();
    if (!gLockStackKeyMade) return nullptr;
    void* stack = pthread_getspecific(gLockStackKey);
    if (!stack) {
        stack = std::calloc(1, sizeof(ZStHoldReadWriteLock*));
        if (!stack) return nullptr;
        if (pthread_setspecific(gLockStackKey, stack) != 0) {
            std::free(stack);
            return nullptr;
        }
    }
    return static_cast<ZStHoldReadWriteLock**>(stack);
}

void ZStHoldReadWriteLock::FreeLockStack(void* stack) { std::free(stack); }
