// A list that crash-time code reads without locks while ordinary threads
// change it.
//
// Writers (append, prepend, remove, free) serialise on a spin lock and may
// allocate; they run only outside the crash path. Readers take no lock:
// they raise the reader count with set_reading(true), follow next() and
// lower the count again; this is async-signal-safe.
//
// A removed node may still be held by a reader that was inside the list when
// it was unlinked. Such a node is retired together with its value: neither is
// freed nor reused until a writer finds no reader inside; then the value is
// handed to the list's dispose function and the node becomes reusable.
#pragma once

#include <atomic>
#include <cstdlib>

template <typename V>
class fvcrash_async_list {
  public:
    struct node {
        V value;
        std::atomic<node*> next;
        std::atomic<node*> prev;
        node* pool_next;  // free or retired chain, writers only
    };
    using dispose_fn = void (*)(V value, void* context);

    /// `dispose` (may be null) is called with every value that leaves the
    /// list once no reader can see it any more.
    explicit fvcrash_async_list(dispose_fn dispose = nullptr, void* context = nullptr)
        : dispose_(dispose), dispose_context_(context) {}
    ~fvcrash_async_list() { free(); }
    fvcrash_async_list(const fvcrash_async_list&) = delete;
    fvcrash_async_list& operator=(const fvcrash_async_list&) = delete;

    /// Adds the value at the end. False when no node can be allocated.
    bool append(V value) { return insert(value, false); }
    /// Adds the value at the front.
    bool prepend(V value) { return insert(value, true); }

    /// Unlinks the node (which must be in this list).
    void remove_node(node* n) {
        lock();
        unlink(n);
        retire_or_release(n);
        unlock();
    }

    /// Unlinks the first node whose value equals `value`; false when none does.
    bool remove(V value) {
        lock();
        node* n = head_.load(std::memory_order_acquire);
        while (n && !(n->value == value)) n = n->next.load(std::memory_order_acquire);
        if (n) {
            unlink(n);
            retire_or_release(n);
        }
        unlock();
        return n != nullptr;
    }

    /// Marks (true) or unmarks (false) a reader inside the list.
    /// Async-signal-safe.
    void set_reading(bool reading) {
        readers_.fetch_add(reading ? 1 : -1, std::memory_order_seq_cst);
    }

    /// The first node (for null), or the node after `current`. Call between
    /// set_reading(true) and set_reading(false). Async-signal-safe.
    node* next(node* current) const {
        return current ? current->next.load(std::memory_order_acquire)
                       : head_.load(std::memory_order_acquire);
    }

    /// Frees every node, linked, retired and pooled, disposing of the values
    /// still in the list or retired. No reader may be inside.
    void free() {
        lock();
        node* n = head_.exchange(nullptr);
        tail_ = nullptr;
        while (n) {
            node* following = n->next.load();
            if (dispose_) dispose_(n->value, dispose_context_);
            std::free(n);
            n = following;
        }
        drain_retired();
        while (free_pool_) {
            node* following = free_pool_->pool_next;
            std::free(free_pool_);
            free_pool_ = following;
        }
        unlock();
    }

    /// Nodes kept for reuse (free) and nodes waiting for readers to leave
    /// (retired), for tests.
    size_t pooled_count() const { return count(free_pool_); }
    size_t retired_count() const { return count(retired_); }

  private:
    static size_t count(node* chain) {
        size_t n = 0;
        for (; chain; chain = chain->pool_next) ++n;
        return n;
    }

    void lock() {
        while (spin_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { spin_.clear(std::memory_order_release); }

    bool no_readers() const { return readers_.load(std::memory_order_seq_cst) < 1; }

    // Retired values become disposable, and their nodes reusable, once no
    // reader is inside: no reader can have entered the list before their
    // unlinking any more.
    void drain_retired() {
        while (retired_) {
            node* n = retired_;
            retired_ = n->pool_next;
            if (dispose_) dispose_(n->value, dispose_context_);
            n->pool_next = free_pool_;
            free_pool_ = n;
        }
    }

    bool insert(V value, bool front) {
        lock();
        if (no_readers()) drain_retired();
        node* n = free_pool_;
        if (n) {
            free_pool_ = n->pool_next;
        } else {
            n = static_cast<node*>(std::calloc(1, sizeof(node)));
            if (!n) {
                unlock();
                return false;
            }
        }
        n->value = value;
        n->next.store(nullptr, std::memory_order_relaxed);
        n->prev.store(nullptr, std::memory_order_relaxed);
        n->pool_next = nullptr;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!tail_) {
            tail_ = n;
            node* expected = nullptr;
            head_.compare_exchange_strong(expected, n, std::memory_order_release);
        } else if (front) {
            node* first = head_.load(std::memory_order_relaxed);
            n->next.store(first, std::memory_order_relaxed);
            first->prev.store(n, std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            head_.compare_exchange_strong(first, n, std::memory_order_release);
        } else {
            node* expected = nullptr;
            n->prev.store(tail_, std::memory_order_relaxed);
            tail_->next.compare_exchange_strong(expected, n, std::memory_order_release);
            tail_ = n;
        }
        unlock();
        return true;
    }

    void unlink(node* n) {
        node* before = n->prev.load(std::memory_order_relaxed);
        node* after = n->next.load(std::memory_order_relaxed);
        if (before) {
            node* expected = n;
            before->next.compare_exchange_strong(expected, after, std::memory_order_release);
        } else {
            node* expected = n;
            head_.compare_exchange_strong(expected, after, std::memory_order_release);
        }
        if (after) {
            after->prev.store(before, std::memory_order_relaxed);
        } else {
            tail_ = before;
        }
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }

    // The node keeps its own next link, so a reader standing on it can go on.
    void retire_or_release(node* n) {
        if (no_readers()) {
            drain_retired();
            if (dispose_) dispose_(n->value, dispose_context_);
            std::free(n);
        } else {
            n->pool_next = retired_;
            retired_ = n;
        }
    }

    std::atomic_flag spin_ = ATOMIC_FLAG_INIT;
    std::atomic<node*> head_{nullptr};
    node* tail_ = nullptr;
    std::atomic<int32_t> readers_{0};
    node* free_pool_ = nullptr;
    node* retired_ = nullptr;
    dispose_fn dispose_;
    void* dispose_context_;
};
